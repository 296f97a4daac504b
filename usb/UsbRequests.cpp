// The interface object itself, its pipe lookup and the synchronous requests that share one
// request object: submission with its time-out, abort, reset, status and bulk transfer.
#include "platform/Diagnostics.h"
#include "usb/CUsbInterface.h"

namespace {

// Relative 5 seconds in 100-nanosecond units.
const LONGLONG kSyncTimeout = -50000000LL;
// Bit 0 of an endpoint's GET_STATUS answer (USB 2.0, 9.4.5).
const USHORT kEndpointHalt = 0x0001;

ULONG bulkTransferFlags(PUSBD_PIPE_INFORMATION pipe) {
    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress))
        flags |= USBD_TRANSFER_DIRECTION_IN;
    return flags;
}

} // namespace

CUsbInterface::CUsbInterface(PDEVICE_OBJECT pdo)
    : _p_pdo(pdo), _p_configs(nullptr), _config_index(0), _p_interfaces(nullptr),
      _config_handle(nullptr), _io_error(0), _p_irp(nullptr), _initialized(0), _surprise_removed(0),
      _config_count(0), _interface_count(0), _transfers_out(0), _pipe_generation(0) {
    RtlZeroMemory(&_device_descriptor, sizeof _device_descriptor);
    KeInitializeEvent(&_sync_event, NotificationEvent, FALSE);
    KeInitializeEvent(&_transfers_back, NotificationEvent, TRUE);
    KeInitializeMutex(&_sync_mutex, 1);

    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof version);
    USBD_GetUSBDIVersion(&version);
    RAVO_INFO("CUsbInterface::CUsbInterface() USBDI_Version(0x%x) Supported_USB_Version(0x%x)\n",
              version.USBDI_Version, version.Supported_USB_Version);
}

BOOLEAN CUsbInterface::isValidInterface(UCHAR interface_num) {
    if (_p_interfaces != nullptr && interface_num < _interface_count &&
        _p_interfaces[interface_num] != nullptr)
        return TRUE;
    RAVO_ERROR("Invalid USB interface %x\n", interface_num);
    return FALSE;
}

BOOLEAN CUsbInterface::isValidPipe(UCHAR interface_num, ULONG pipe_num) {
    if (_p_interfaces == nullptr)
        return FALSE;
    if (!isValidInterface(interface_num))
        return FALSE;
    return pipe_num < _p_interfaces[interface_num]->NumberOfPipes ? TRUE : FALSE;
}

PUSBD_PIPE_INFORMATION CUsbInterface::getPipeInfo(UCHAR interface_num, ULONG pipe_num) {
    if (!isValidPipe(interface_num, pipe_num))
        return nullptr;
    return &_p_interfaces[interface_num]->Pipes[pipe_num];
}

NTSTATUS CUsbInterface::static_UsbSyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    // The request goes back to the interface, which reuses it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUsbInterface::UsbSubmitUrb(PURB urb) {
    if (surpriseRemoved()) {
        RAVO_ERROR("CUsbInterface::UsbCall_GSPN() : Device Surprise Removal!!\n");
        return STATUS_DEVICE_DATA_ERROR;
    }
    return sendUrb(urb);
}

NTSTATUS CUsbInterface::sendUrb(PURB urb) {
    if (_p_irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return STATUS_UNSUCCESSFUL;

    KeWaitForSingleObject(&_sync_mutex, Executive, KernelMode, FALSE, nullptr);

    IoInitializeIrp(_p_irp, _p_irp->Size, _p_pdo->StackSize);
    KeClearEvent(&_sync_event);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(_p_irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(_p_irp, static_UsbSyncComplete, &_sync_event, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(_p_pdo, _p_irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kSyncTimeout;
        NTSTATUS wait = KeWaitForSingleObject(&_sync_event, Executive, KernelMode, FALSE, &timeout);
        if (wait == STATUS_TIMEOUT) {
            // The bus still holds the request, the caller's URB and whatever buffer that
            // points to. Cancel it and wait for it to come back however long that takes:
            // returning earlier would free memory under the bus and reinitialise a request
            // it still owns.
            IoCancelIrp(_p_irp);
            KeWaitForSingleObject(&_sync_event, Executive, KernelMode, FALSE, nullptr);
            status = STATUS_IO_TIMEOUT;
        } else {
            status = _p_irp->IoStatus.Status;
        }
    }

    // Only these three failures point at the device and arm the recovery; any other
    // failure belongs to this request alone, and its caller sees it as it is.
    if (status == STATUS_DEVICE_DATA_ERROR || status == STATUS_IO_TIMEOUT ||
        status == STATUS_DEVICE_NOT_CONNECTED) {
        setIoError(1);
        RAVO_ERROR("CUsbInterface::UsbCall_GSPN : Error Status = %x!!\n", status);
    }

    KeReleaseMutex(&_sync_mutex, FALSE);
    return status;
}

NTSTATUS CUsbInterface::UsbAbortPipe(ULONG pipe_num, UCHAR interface_num) {
    RAVO_ALWAYS("usbabortpipe\n");
    PUSBD_PIPE_INFORMATION pipe = getPipeInfo(interface_num, pipe_num);
    if (pipe == nullptr) {
        RAVO_ERROR("UsbAbortPipe on invalid pipe, interface = %x, pipe = %x\n", interface_num,
                   pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    return submitPipeRequest(URB_FUNCTION_ABORT_PIPE, pipe->PipeHandle);
}

NTSTATUS CUsbInterface::UsbResetPipe(ULONG pipe_num, UCHAR interface_num) {
    PUSBD_PIPE_INFORMATION pipe = getPipeInfo(interface_num, pipe_num);
    if (pipe == nullptr) {
        RAVO_ERROR("UsbResetPipe on invalid pipe, interface = %x, pipe = %x\n", interface_num,
                   pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    return submitPipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe->PipeHandle);
}

// Straight to the bus, not through the I/O error policy: aborts and resets are what a
// recovery sends while that policy holds other requests back. An abort goes out even for a
// device known to be gone: it is the host's own business, and the only way the reads that
// wait at the bus come back to a stop.
NTSTATUS CUsbInterface::submitPipeRequest(USHORT function, USBD_PIPE_HANDLE pipe_handle) {
    auto* request = new struct _URB_PIPE_REQUEST;
    if (request == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(request, sizeof *request);
    request->Hdr.Length = sizeof *request;
    request->Hdr.Function = function;
    request->PipeHandle = pipe_handle;
    PURB urb = reinterpret_cast<PURB>(request);
    NTSTATUS status = function == URB_FUNCTION_ABORT_PIPE ? sendUrb(urb) : UsbSubmitUrb(urb);
    delete request;
    if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && NT_SUCCESS(status))
        __atomic_add_fetch(&_pipe_generation, 1, __ATOMIC_RELEASE);
    return status;
}

NTSTATUS CUsbInterface::GetStatusPipe(ULONG pipe_num, UCHAR interface_num,
                                      PUSHORT endpoint_status) {
    PUSBD_PIPE_INFORMATION pipe = getPipeInfo(interface_num, pipe_num);
    if (pipe == nullptr) {
        RAVO_ERROR("GetStatusPipe on invalid pipe, interface = %x, pipe = %x\n", interface_num,
                   pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    auto* request = new struct _URB_CONTROL_GET_STATUS_REQUEST;
    if (request == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(request, sizeof *request);
    USHORT status_word = 0;
    request->Hdr.Length = sizeof *request;
    request->Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    request->Reserved = pipe->PipeHandle;
    request->TransferBuffer = &status_word;
    request->TransferBufferLength = sizeof status_word;
    request->TransferBufferMDL = nullptr;
    request->Index = pipe->EndpointAddress;
    request->UrbLink = nullptr;
    NTSTATUS status = UsbCall_GSPN(reinterpret_cast<PURB>(request));
    delete request;
    if (endpoint_status != nullptr)
        *endpoint_status = status == STATUS_SUCCESS ? status_word : 0;
    return status;
}

NTSTATUS CUsbInterface::UsbSendMcCmd(ULONG pipe_num, UCHAR interface_num, PVOID buffer,
                                     ULONG length) {
    PUSBD_PIPE_INFORMATION pipe = getPipeInfo(interface_num, pipe_num);
    RAVO_ALWAYS("CUsbInterface::UsbSendMcCmd:interface_num=%d,pip_num=%d\n", interface_num,
                pipe_num);
    if (surpriseRemoved()) {
        RAVO_ERROR("CUsbInterface::UsbCall_GSPN() : Device Surprise Removal!!\n");
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (pipe == nullptr) {
        RAVO_ERROR("UsbSendMcCmd on invalid pipe, interface = %x, pipe = %x\n", interface_num,
                   pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) {
        RAVO_ERROR("UsbSendMcCmd: invalid pipe type.  Pipe type = %x\n", (ULONG)pipe->PipeType);
        return STATUS_UNSUCCESSFUL;
    }
    if (pipe->PipeHandle == nullptr) {
        RAVO_ERROR("UsbSendMcCmd: invalid pipe handle.\n");
        return STATUS_UNSUCCESSFUL;
    }
    auto* request = new struct _URB_BULK_OR_INTERRUPT_TRANSFER;
    if (request == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(request, sizeof *request);
    request->Hdr.Length = sizeof *request;
    request->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    request->PipeHandle = pipe->PipeHandle;
    request->TransferFlags = bulkTransferFlags(pipe);
    request->TransferBufferLength = length;
    request->TransferBuffer = buffer;
    request->TransferBufferMDL = nullptr;
    request->UrbLink = nullptr;
    NTSTATUS status = UsbCall_GSPN(reinterpret_cast<PURB>(request));
    delete request;
    return status;
}

NTSTATUS CUsbInterface::UsbPipeRecovery(ULONG pipe_num, UCHAR interface_num, PCSTR abort_failed,
                                        PCSTR reset_failed, BOOLEAN* p_reset_made,
                                        BOOLEAN transfer_failed) {
    NTSTATUS r = STATUS_SUCCESS;
    BOOLEAN reset_made = FALSE;
    // A halted endpoint answers GET_STATUS with its Halt bit: the request succeeds, and
    // the pipe still fails every transfer until it is reset.
    USHORT endpoint_status = 0;
    if (GetStatusPipe(pipe_num, interface_num, &endpoint_status) != STATUS_SUCCESS ||
        (endpoint_status & kEndpointHalt) != 0 || transfer_failed) {
        r = UsbAbortPipe(pipe_num, interface_num);
        if (!NT_SUCCESS(r))
            RAVO_ERROR(abort_failed, r);
        // The abort's outcome only decides its message; the reset's is the result.
        r = UsbResetPipe(pipe_num, interface_num);
        reset_made = TRUE;
        if (!NT_SUCCESS(r))
            RAVO_ERROR(reset_failed, r);
    }
    if (p_reset_made != nullptr)
        *p_reset_made = reset_made;
    return r;
}
