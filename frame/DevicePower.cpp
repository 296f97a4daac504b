// Power: the transfer stops before the receiver leaves the working state and starts again
// once it is back. Every power request goes on down the stack.
#include "decode/IrControl.h"
#include "frame/Device.h"
#include "frame/MinidriverExtension.h"
#include "platform/Diagnostics.h"
#include "transfer/DataTransfer.h"

namespace {

bool usesPowerSequencing(const Device* device) {
    return device->getOSBuildNumber() < DEVICE_FIRST_BUILD_WITHOUT_POWER_SEQUENCING;
}

NTSTATUS callPowerDriver(const Device* device, PDEVICE_OBJECT lower, PIRP irp) {
    return usesPowerSequencing(device) ? PoCallDriver(lower, irp) : IofCallDriver(lower, irp);
}

// No Device (its creation failed): the request still has to reach the bus driver, which
// owns the receiver's power state. Both calls are correct on every build.
NTSTATUS passDownWithoutDevice(PDEVICE_OBJECT fdo, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension)->NextDeviceObject,
                        irp);
}

} // namespace

NTSTATUS Device::static_power(PDEVICE_OBJECT fdo, PIRP irp) {
    RAVO_TRACE("Device::static_power IRP=%p\n", irp);
    MinidriverExtension* extension = minidriverExtension(fdo);
    NTSTATUS status = IoAcquireRemoveLock(&extension->_remove_lock, irp);
    if (!NT_SUCCESS(status)) {
        RAVO_ERROR("Received Power IRP after device was removed (status=%x).", status);
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    Device* device = extension->_p_device;
    if (device == nullptr) {
        status = passDownWithoutDevice(fdo, irp);
        IoReleaseRemoveLock(&extension->_remove_lock, irp);
        return status;
    }

    PDEVICE_OBJECT lower = device->nextDevice();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool device_set_power = stack->MinorFunction == IRP_MN_SET_POWER &&
                            stack->Parameters.Power.Type == DevicePowerState;
    DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;

    if (device_set_power && target == PowerDeviceD0) {
        RAVO_NOTICE("Power up...\n");
        // The transfer restarts on a worker thread once the lower drivers are done: their
        // completion may come at DISPATCH_LEVEL, where no thread can be created. The
        // request keeps the remove lock until its completion routine has queued the
        // restart, which then holds it itself, so the Device outlives both.
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, static_powerUpCompletion, device, TRUE, TRUE, TRUE);
        (void)callPowerDriver(device, lower, irp);
        return STATUS_PENDING;
    }
    if (device_set_power && (target == PowerDeviceD3 || target == PowerDeviceD2)) {
        RAVO_NOTICE("Power down...\n");
        device->powerDown();
        if (usesPowerSequencing(device))
            PoStartNextPowerIrp(irp);
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        (void)callPowerDriver(device, lower, irp);
        status = STATUS_PENDING;
    } else if (!usesPowerSequencing(device)) {
        RAVO_TRACE("Other Power Minor Function=0x%x \n", stack->MinorFunction);
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, static_otherPowerCompletion, extension, TRUE, TRUE, TRUE);
        (void)IofCallDriver(lower, irp);
        status = STATUS_PENDING;
    } else {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        status = PoCallDriver(lower, irp);
    }
    IoReleaseRemoveLock(&extension->_remove_lock, irp);
    return status;
}

void Device::powerDown() {
    RAVO_TRACE("Device::powerDown\n");
    lockObjects();
    // A restart still queued by the power-up before this request finds it and stays away.
    InterlockedExchange(&_power_target, PowerDeviceD3);
    if (_p_data_transfer != nullptr)
        _p_data_transfer->stop();
    _power_state = PowerDeviceD3;
    unlockObjects();
}

void Device::powerUp() {
    RAVO_TRACE("Device::powerUp\n");
    lockObjects();
    // Overtaken by a power-down, or already done for an earlier power-up: the transfer is
    // where the latest request wants it.
    if (InterlockedCompareExchange(&_power_target, PowerDeviceD0, PowerDeviceD0) != PowerDeviceD0 ||
        _power_state == PowerDeviceD0) {
        unlockObjects();
        return;
    }
    _power_state = PowerDeviceD0;
    // Only while no parse thread runs, which alone touches the key translation otherwise: a
    // power-up that followed no power-down has no held key to forget.
    if (_p_ir_control != nullptr &&
        (_p_data_transfer == nullptr || _p_data_transfer->stopRequested()))
        _p_ir_control->_last_key = IR_KEY_RELEASE;
    if (_p_data_transfer != nullptr)
        (void)_p_data_transfer->start();
    unlockObjects();
}

NTSTATUS Device::static_powerUpCompletion(PDEVICE_OBJECT fdo, PIRP irp, PVOID context) {
    RAVO_TRACE("Device::static_powerUpCompletion IRP=%p\n", irp);
    auto* device = static_cast<Device*>(context);
    MinidriverExtension* extension = minidriverExtension(fdo);
    InterlockedExchange(&device->_power_target, PowerDeviceD0);
    // The Device's own item, allocated with it, so a power-up never lacks one. Still queued
    // for an earlier power-up, it restarts for this one too.
    if (InterlockedCompareExchange(&device->_power_up_queued, 1, 0) == 0) {
        if (NT_SUCCESS(IoAcquireRemoveLock(&extension->_remove_lock, device->_power_up_work)))
            IoQueueWorkItem(device->_power_up_work, static_powerUpWork, DelayedWorkQueue, device);
        else
            InterlockedExchange(&device->_power_up_queued, 0); // being removed: no restart
    }
    PoStartNextPowerIrp(irp);
    // Taken by the power dispatch with the request as its tag.
    IoReleaseRemoveLock(&extension->_remove_lock, irp);
    return irp->IoStatus.Status;
}

VOID Device::static_powerUpWork(PDEVICE_OBJECT fdo, PVOID context) {
    auto* device = static_cast<Device*>(context);
    MinidriverExtension* extension = minidriverExtension(fdo);
    // Cleared first: a power-up completed from here on queues the item again.
    InterlockedExchange(&device->_power_up_queued, 0);
    device->powerUp();
    // Taken by the completion routine with the work item as its tag.
    IoReleaseRemoveLock(&extension->_remove_lock, device->_power_up_work);
}

NTSTATUS static_otherPowerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    RAVO_TRACE("(DevObj=%p,p_irp=%p,Context=%p,Status=%x)", device, irp, context,
               irp->IoStatus.Status);
    if (irp->IoStatus.Status == STATUS_MORE_PROCESSING_REQUIRED)
        return STATUS_MORE_PROCESSING_REQUIRED;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}
