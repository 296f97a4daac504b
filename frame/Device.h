// One receiver as the driver sees it: the per-device objects, their life through Plug and
// Play and power, and the dispatch routines the driver registers.
#pragma once

#include "hid/ReadReportQueue.h"
#include "platform/platform.h"

class CUsbInterface;
class IR_Control;
class RLC_parse;
class IR_Protocol;
class DataTransfer;

enum DeviceState : ULONG {
    NotStarted = 1,
    Starting = 2,
    Started = 3,
    Stopping = 4,
    Stopped = 5,
    Removed = 6,
};

// The decoder the driver runs: NEC.
#define DEVICE_PROTOCOL_NUMBER 2
// Build numbers from here on pass power requests with IofCallDriver.
#define DEVICE_FIRST_BUILD_WITHOUT_POWER_SEQUENCING 6000

class Device {
public:
    explicit Device(PDEVICE_OBJECT fdo);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    static NTSTATUS static_add(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo);

    NTSTATUS init();
    void unInit();
    IR_Protocol* createProtocolObject(ULONG protocol);
    void setOSBuildNumber(ULONG build) { _os_build_number = build; }
    ULONG getOSBuildNumber() const { return _os_build_number; }

    // Plug and Play
    static NTSTATUS static_pnp(PDEVICE_OBJECT fdo, PIRP irp);
    NTSTATUS start(PIRP irp);
    NTSTATUS stop(PIRP irp);
    static NTSTATUS static_passIrpDown(PDEVICE_OBJECT lower, PIRP irp);
    NTSTATUS passIrpDownSync(PIRP irp);
    static NTSTATUS static_syncIrpCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    // Power
    static NTSTATUS static_power(PDEVICE_OBJECT fdo, PIRP irp);
    void powerDown();
    void powerUp();
    static NTSTATUS static_powerUpCompletion(PDEVICE_OBJECT fdo, PIRP irp, PVOID context);
    static VOID static_powerUpWork(PDEVICE_OBJECT fdo, PVOID context);

    // Create/close, system control, internal device control
    static NTSTATUS static_CreateClose(PDEVICE_OBJECT fdo, PIRP irp);
    static NTSTATUS static_SystemControl(PDEVICE_OBJECT fdo, PIRP irp);
    static NTSTATUS static_internalDeviceControl(PDEVICE_OBJECT fdo, PIRP irp);
    NTSTATUS internalDeviceControl(PIRP irp);

    // Written by Plug and Play while other processors read it.
    DeviceState state() const { return (DeviceState)__atomic_load_n(&_state, __ATOMIC_ACQUIRE); }
    void setState(DeviceState state) { __atomic_store_n(&_state, (ULONG)state, __ATOMIC_RELEASE); }

    PDEVICE_OBJECT nextDevice() const;
    PDEVICE_OBJECT physicalDevice() const;

    ULONG _state;
    PDEVICE_OBJECT _p_fdo;
    ReadReportQueue _read_queue;
    IR_Control* _p_ir_control;
    RLC_parse* _p_rlc_parse;
    IR_Protocol* _p_protocol;
    CUsbInterface* _p_usb;
    DataTransfer* _p_data_transfer;
    ULONG _power_state;
    ULONG _os_build_number;
    // The power-up's restart: its work item, allocated with the Device and freed with it;
    // whether it is queued; the device state the latest set-power request asked for, which
    // the restart obeys.
    PIO_WORKITEM _power_up_work;
    LONG _power_up_queued;
    LONG _power_target;
    // Plug and Play and the power-up work item both start and stop the transfer and create
    // and delete the objects it uses; this keeps them from doing so at the same time.
    KMUTEX _objects_mutex;

private:
    void lockObjects();
    void unlockObjects();
    // unInit with _objects_mutex already held.
    void deleteObjects();
};

// The power-request completion for every request but set-power D0 on newer builds.
NTSTATUS static_otherPowerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
