// Recovery after a device I/O error: while one is pending, transfers are held back until
// the pipes or the port have been reset, and a device found gone is marked surprise-removed.
#include "platform/Diagnostics.h"
#include "usb/CUsbInterface.h"

namespace {

// How long a recovery waits for the transfers it aborted before it resets the port.
const ULONG kTransfersBackMs = 5000;

struct PipeRecoveryMessages {
    ULONG pipe;
    PCSTR abort_failed;
    PCSTR reset_failed;
};

// Roles by position in interface 0.
const PipeRecoveryMessages kCmdIn = {
    0, "CUsbInterface::UsbCall_GSPN, Failed to abort cmd IN pipe %x\n",
    "CUsbInterface::UsbCall_GSPN, Failed to reset cmd IN pipe %x\n"};
const PipeRecoveryMessages kCmdOut = {
    1, "CUsbInterface::UsbCall_GSPN, Failed to abort cmd OUT pipe %x\n",
    "CUsbInterface::UsbCall_GSPN, Failed to reset cmd OUT pipe %x\n"};
const PipeRecoveryMessages kFirmwareDownload = {
    2, "CUsbInterface::UsbCall_GSPN, Failed to abort firmware download pipe %x\n",
    "CUsbInterface::UsbCall_GSPN, Failed to reset firmware download pipe %x\n"};

} // namespace

NTSTATUS CUsbInterface::UsbCall_GSPN(PURB urb) {
    if (surpriseRemoved()) {
        RAVO_ERROR("CUsbInterface::UsbCall_GSPN() : Device Surprise Removal!!\n");
        return STATUS_DEVICE_DATA_ERROR;
    }
    // Every request, and every step of a recovery, waits for the bus: none can be made above
    // PASSIVE_LEVEL, so refuse before the policy starts one.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return STATUS_UNSUCCESSFUL;
    if (!ioError())
        return UsbSubmitUrb(urb);

    USHORT function = urb->UrbHeader.Function;
    if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        function != URB_FUNCTION_ISOCH_TRANSFER && function != URB_FUNCTION_CONTROL_TRANSFER &&
        function != URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
        RAVO_ERROR(
            "CUsbInterface::UsbCall_GSPN() : Func(%d) Allowed, device IO error occured before!!\n",
            function);
        return UsbSubmitUrb(urb);
    }
    RAVO_ERROR(
        "CUsbInterface::UsbCall_GSPN() : Func(%d) Rejecting, device IO error occured before!!\n",
        function);

    NTSTATUS r = STATUS_SUCCESS;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        // The outcome is that of the last reset made: a later success forgets an earlier
        // failure, and a pipe that needed no reset changes nothing.
        const PipeRecoveryMessages* pipes[] = {&kCmdIn, &kCmdOut, &kFirmwareDownload};
        for (const PipeRecoveryMessages* pipe : pipes) {
            BOOLEAN reset_made = FALSE;
            NTSTATUS result =
                UsbPipeRecovery(pipe->pipe, 0, pipe->abort_failed, pipe->reset_failed, &reset_made);
            if (reset_made)
                r = result;
        }
    } else if (function == URB_FUNCTION_ISOCH_TRANSFER) {
        r = UsbPipeRecovery(kFirmwareDownload.pipe, 0, kFirmwareDownload.abort_failed,
                            kFirmwareDownload.reset_failed, nullptr);
    } else {
        r = ResetDevice();
    }

    if (!NT_SUCCESS(r)) {
        if (r == STATUS_DEVICE_NOT_CONNECTED || r == STATUS_NO_SUCH_DEVICE) {
            RAVO_ERROR("CUsbInterface::UsbCall_GSPN, Setting surprise removal flag\n");
            setSurpriseRemoved();
        }
        NTSTATUS r2 = ResetDevice();
        if (!NT_SUCCESS(r2)) {
            RAVO_ERROR("CUsbInterface::UsbCall_GSPN, Failed to reset Device %x\n", r2);
            return STATUS_DEVICE_DATA_ERROR;
        }
        RAVO_INFO("CUsbInterface::UsbCall_GSPN, Successfully reset the pipes and Device\n");
    } else {
        RAVO_INFO("CUsbInterface::UsbCall_GSPN, Successfully reset the pipes\n");
    }

    setIoError(0);
    // After the surprise-removal flag was set this refuses, with its message.
    return UsbSubmitUrb(urb);
}

NTSTATUS CUsbInterface::asyncRecovery(ULONG pipe_num, UCHAR interface_num, PCSTR abort_failed,
                                      PCSTR reset_failed) {
    // The transfer that failed halted the host's side of the pipe: it is reset whatever
    // GET_STATUS says, and the abort before the reset brings back the transfers that wait
    // on the halted pipe.
    NTSTATUS r =
        UsbPipeRecovery(pipe_num, interface_num, abort_failed, reset_failed, nullptr, TRUE);
    // A port the error disabled fails the pipe's requests too: once it is reset, the pipe
    // is worth another try. The transfers the pipe recovery aborted must be back first.
    if (!NT_SUCCESS(r) && waitForTransfers(kTransfersBackMs) && NT_SUCCESS(ResetDevice()))
        r = UsbPipeRecovery(pipe_num, interface_num, abort_failed, reset_failed, nullptr, TRUE);
    // Recovered: as on the synchronous path the error is over. Left set, it would make
    // every later read repeat the recovery, with its status request and its message.
    if (NT_SUCCESS(r))
        setIoError(0);
    return r;
}

NTSTATUS CUsbInterface::ResetDevice() {
    RAVO_INFO("CUsbInterface:ResetDevice - begins\n");
    ULONG port_status = 0;
    NTSTATUS status = GetPortStatus(&port_status);
    if (NT_SUCCESS(status) && !(port_status & USBD_PORT_ENABLED) &&
        (port_status & USBD_PORT_CONNECTED))
        status = ResetParentPort();
    RAVO_INFO("CUsbInterface:ResetDevice - ends\n");
    return status;
}

NTSTATUS CUsbInterface::GetPortStatus(PULONG port_status) {
    *port_status = 0;
    RAVO_INFO("CUsbInterface:GetPortStatus - begins\n");
    NTSTATUS status = sendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, port_status,
                                      "CUsbInterface:GetPortStatus- memory alloc for irp failed\n");
    RAVO_INFO("CUsbInterface:GetPortStatus - ends\n");
    return status;
}

NTSTATUS CUsbInterface::ResetParentPort() {
    RAVO_INFO("CUsbInterface:ResetParentPort - begins\n");
    // Windows' documentation of IOCTL_INTERNAL_USB_RESET_PORT: all I/O to the device is
    // cancelled, and has completed, before the port is reset.
    LONG out = transfersOut();
    if (out != 0) {
        RAVO_ERROR("CUsbInterface:ResetParentPort - not with %d transfer(s) at the bus\n", out);
        return STATUS_DEVICE_BUSY;
    }
    NTSTATUS status =
        sendPortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr,
                        "CUsbInterface:ResetParentPort - memory alloc for irp failed\n");
    // The hub restores the configuration with its pipes opened afresh.
    if (NT_SUCCESS(status))
        __atomic_add_fetch(&_pipe_generation, 1, __ATOMIC_RELEASE);
    RAVO_INFO("CUsbInterface:ResetParentPort - ends\n");
    return status;
}

void CUsbInterface::transferEnded() {
    if (__atomic_sub_fetch(&_transfers_out, 1, __ATOMIC_ACQ_REL) == 0)
        KeSetEvent(&_transfers_back, IO_NO_INCREMENT, FALSE);
}

BOOLEAN CUsbInterface::waitForTransfers(ULONG ms) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return transfersOut() == 0;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    // The count decides; the event only ends the wait once it may have reached 0.
    while (transfersOut() != 0) {
        KeClearEvent(&_transfers_back);
        if (transfersOut() == 0)
            break;
        if (KeWaitForSingleObject(&_transfers_back, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT)
            return transfersOut() == 0;
    }
    return TRUE;
}

// One port request, built and freed by the platform. The event and the status block stay
// alive on this stack: the wait below has no time-out.
NTSTATUS CUsbInterface::sendPortRequest(ULONG ioctl, PVOID argument,
                                        const char* allocation_failed) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return STATUS_UNSUCCESSFUL;
    KEVENT event;
    IO_STATUS_BLOCK io_status;
    RtlZeroMemory(&io_status, sizeof io_status);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ioctl, _p_pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &io_status);
    if (irp == nullptr) {
        RAVO_INFO("%s", allocation_failed);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IofCallDriver(_p_pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = io_status.Status;
    }
    return status;
}
