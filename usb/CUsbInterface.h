// The driver's whole view of one USB receiver: its configuration, its pipes, the shared
// synchronous request, the recovery after device I/O errors and the asynchronous transfers
// that carry the IR data.
#pragma once

#include "platform/platform.h"
#include "usb/UsbTransferContext.h"

class CUsbInterface {
public:
    explicit CUsbInterface(PDEVICE_OBJECT pdo);
    virtual ~CUsbInterface();

    CUsbInterface(const CUsbInterface&) = delete;
    CUsbInterface& operator=(const CUsbInterface&) = delete;

    // Configuration, once per object, at PASSIVE_LEVEL.
    NTSTATUS InitDevice();
    NTSTATUS ConfigDevice();
    NTSTATUS UnConfigDevice();
    NTSTATUS UsbDeviceGetDescriptor();
    NTSTATUS UsbConfigGetDescriptor(UCHAR count);
    NTSTATUS UsbConfigSelect(ULONG index);

    // Trace-level dumps of the records the configuration keeps.
    void UsbDumpConfigDescriptor(PUSB_CONFIGURATION_DESCRIPTOR descriptor);
    void UsbDumpDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR descriptor);
    void UsbDumpInterfaceInformation(PUSBD_INTERFACE_INFORMATION information);
    void UsbDumpPipeInformation(PUSBD_PIPE_INFORMATION information);

    // Pipe lookup: (interface number, pipe number).
    PUSBD_PIPE_INFORMATION getPipeInfo(UCHAR interface_num, ULONG pipe_num);
    BOOLEAN isValidInterface(UCHAR interface_num);
    BOOLEAN isValidPipe(UCHAR interface_num, ULONG pipe_num);

    // Synchronous requests, PASSIVE_LEVEL only: (pipe number, interface number).
    NTSTATUS UsbSubmitUrb(PURB urb);
    NTSTATUS UsbAbortPipe(ULONG pipe_num, UCHAR interface_num);
    NTSTATUS UsbResetPipe(ULONG pipe_num, UCHAR interface_num);
    // The request's status; with endpoint_status, the two status bytes the endpoint sent.
    NTSTATUS GetStatusPipe(ULONG pipe_num, UCHAR interface_num, PUSHORT endpoint_status = nullptr);
    NTSTATUS UsbSendMcCmd(ULONG pipe_num, UCHAR interface_num, PVOID buffer, ULONG length);
    static NTSTATUS static_UsbSyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    // Status, then abort and reset when the status request fails, the endpoint reports its
    // Halt feature set, or a transfer on the pipe failed on the wire (which halts the host's
    // side of the pipe, and no status shows). The result is that of the reset when one was
    // made, else 0; *p_reset_made tells which.
    NTSTATUS UsbPipeRecovery(ULONG pipe_num, UCHAR interface_num, PCSTR abort_failed,
                             PCSTR reset_failed, BOOLEAN* p_reset_made,
                             BOOLEAN transfer_failed = FALSE);
    // The recovery before an asynchronous transfer after one failed: the pipe's, and when
    // that fails the port's (once the aborted transfers are back), then the pipe's again.
    NTSTATUS asyncRecovery(ULONG pipe_num, UCHAR interface_num, PCSTR abort_failed,
                           PCSTR reset_failed);

    // Submission under the device I/O error policy, and the port requests it may need.
    NTSTATUS UsbCall_GSPN(PURB urb);
    NTSTATUS ResetDevice();
    NTSTATUS GetPortStatus(PULONG port_status);
    // Refused with STATUS_DEVICE_BUSY while an asynchronous transfer is at the bus: the port
    // is reset only once every transfer is aborted and back.
    NTSTATUS ResetParentPort();

    // Asynchronous transfers sent and not yet completed.
    LONG transfersOut() const { return __atomic_load_n(&_transfers_out, __ATOMIC_ACQUIRE); }
    // Waits (PASSIVE_LEVEL, at most ms) until no asynchronous transfer is at the bus.
    BOOLEAN waitForTransfers(ULONG ms);
    // Counts the restarts of the pipes (pipe resets, port resets): a transfer sent before
    // the last one failed on the pipe as it was, which says nothing of the pipe as it is.
    ULONG pipeGeneration() const { return __atomic_load_n(&_pipe_generation, __ATOMIC_ACQUIRE); }

    // Asynchronous transfers on caller-owned request and URB memory.
    NTSTATUS UsbAsyncIo(ULONG pipe_num, UCHAR interface_num, PVOID buffer, ULONG length,
                        UsbTransferContext* context);
    NTSTATUS UsbAsyncIo_BULK(ULONG pipe_num, UCHAR interface_num, PVOID buffer, ULONG length,
                             UsbTransferContext* context);
    NTSTATUS UsbAsyncIo_ISO(ULONG pipe_num, UCHAR interface_num, PVOID buffer, ULONG length,
                            UsbTransferContext* context);
    NTSTATUS UsbAsyncIo_BULK_SYNC(ULONG pipe_num, UCHAR interface_num, PVOID buffer, ULONG length,
                                  UsbTransferContext* context);
    NTSTATUS UsbReadComplete(PIRP irp, UsbTransferContext* context);
    NTSTATUS UsbIsoComplete(PIRP irp, UsbTransferContext* context);
    static NTSTATUS static_UsbReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static NTSTATUS static_UsbIsoComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    // The two flags are written by completion routines on any processor while other threads
    // read them without a lock: single untorn accesses, no ordering needed.
    UCHAR ioError() const { return __atomic_load_n(&_io_error, __ATOMIC_RELAXED); }
    void setIoError(UCHAR value) { __atomic_store_n(&_io_error, value, __ATOMIC_RELAXED); }
    ULONG surpriseRemoved() const { return __atomic_load_n(&_surprise_removed, __ATOMIC_RELAXED); }
    void setSurpriseRemoved() { __atomic_store_n(&_surprise_removed, 1u, __ATOMIC_RELAXED); }

    PDEVICE_OBJECT _p_pdo;
    USB_DEVICE_DESCRIPTOR _device_descriptor;
    PUSB_CONFIGURATION_DESCRIPTOR* _p_configs;
    ULONG _config_index;
    PUSBD_INTERFACE_INFORMATION* _p_interfaces;
    USBD_CONFIGURATION_HANDLE _config_handle;
    UCHAR _io_error;
    PIRP _p_irp;
    KEVENT _sync_event;
    ULONG _initialized;
    KMUTEX _sync_mutex;
    ULONG _surprise_removed;
    // Entries of the two owned arrays, kept apart from the descriptors that sized them: a
    // descriptor read again later must not change how much is walked or released.
    ULONG _config_count;
    ULONG _interface_count;
    LONG _transfers_out;
    KEVENT _transfers_back; // set when _transfers_out falls to 0
    ULONG _pipe_generation;

private:
    // A synchronous submission without the refusal of a surprise-removed device.
    NTSTATUS sendUrb(PURB urb);
    void transferEnded();
    // Abort or reset of one pipe: a 40-byte pipe request sent straight to the bus.
    NTSTATUS submitPipeRequest(USHORT function, USBD_PIPE_HANDLE pipe_handle);
    // A port status or port reset request, waited for without a time-out.
    NTSTATUS sendPortRequest(ULONG ioctl, PVOID argument, const char* allocation_failed);
    void releaseInterfaces();
    void releaseConfigs();
    BOOLEAN asyncContextFits(UsbTransferContext* context, ULONG urb_bytes);
    void startAsyncIrp(UsbTransferContext* context, PIO_COMPLETION_ROUTINE routine);
};
