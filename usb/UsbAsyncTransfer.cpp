// Asynchronous transfers: each one is built in the caller's UsbTransferContext, with the
// caller's request and URB memory, so that any number can be outstanding; the completion
// routines hand the outcome to the caller's callback and give the request back.
#include "platform/Diagnostics.h"
#include "usb/CUsbInterface.h"

NTSTATUS CUsbInterface::UsbAsyncIo(ULONG pipe_num, UCHAR interface_num, PVOID buffer, ULONG length,
                                   UsbTransferContext* context) {
    PUSBD_PIPE_INFORMATION pipe = getPipeInfo(interface_num, pipe_num);
    if (surpriseRemoved()) {
        RAVO_ERROR("CUsbInterface::UsbCall_GSPN() : Device Surprise Removal!!\n");
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (pipe == nullptr) {
        RAVO_ERROR("UsbAsyncIo on invalid pipe, interface = %x, pipe = %x\n", interface_num,
                   pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    switch (pipe->PipeType) {
        case UsbdPipeTypeIsochronous:
            return UsbAsyncIo_ISO(pipe_num, interface_num, buffer, length, context);
        case UsbdPipeTypeBulk:
        case UsbdPipeTypeInterrupt:
            return UsbAsyncIo_BULK(pipe_num, interface_num, buffer, length, context);
        default:
            return UsbAsyncIo_BULK_SYNC(pipe_num, interface_num, buffer, length, context);
    }
}

// A transfer is built only in memory the caller really provided: a request whose stack
// reaches the receiver's device object and a URB area of at least urb_bytes.
BOOLEAN CUsbInterface::asyncContextFits(UsbTransferContext* context, ULONG urb_bytes) {
    if (context == nullptr || context->irp == nullptr || context->urb == nullptr) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo: no request or URB memory in the context\n");
        return FALSE;
    }
    if (context->irp->Size < IoSizeOfIrp(_p_pdo->StackSize)) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo: request of %d bytes too small for stack %d\n",
                   (ULONG)context->irp->Size, (LONG)_p_pdo->StackSize);
        return FALSE;
    }
    if (context->urb_size < urb_bytes) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo: URB needs %d bytes, urb_size is %d\n", urb_bytes,
                   context->urb_size);
        return FALSE;
    }
    return TRUE;
}

void CUsbInterface::startAsyncIrp(UsbTransferContext* context, PIO_COMPLETION_ROUTINE routine) {
    context->generation = pipeGeneration();
    // Counted until its completion routine runs, so that a port reset can wait for it.
    __atomic_add_fetch(&_transfers_out, 1, __ATOMIC_ACQ_REL);
    PIRP irp = context->irp;
    IoInitializeIrp(irp, irp->Size, _p_pdo->StackSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = context->urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
}

NTSTATUS CUsbInterface::UsbAsyncIo_BULK(ULONG pipe_num, UCHAR interface_num, PVOID buffer,
                                        ULONG length, UsbTransferContext* context) {
    if (ioError()) {
        RAVO_ERROR("UsbAsyncIo_BULK() : device IO error occured before!!\n");
        NTSTATUS r = asyncRecovery(
            pipe_num, interface_num,
            "CUsbInterface::UsbAsyncIo_BULK, Failed to abort firmware download pipe %x\n",
            "CUsbInterface::UsbAsyncIo_BULK, Failed to reset firmware download pipe %x\n");
        if (!NT_SUCCESS(r))
            return STATUS_DEVICE_DATA_ERROR;
    }
    PUSBD_PIPE_INFORMATION pipe = getPipeInfo(interface_num, pipe_num);
    if (pipe == nullptr) {
        RAVO_ERROR("UsbAsyncIo_BULK: Invalid pipe; interface = %x, pipe = %x\n", interface_num,
                   pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) {
        RAVO_ERROR("UsbAsyncIo_BULK: Invalid pipe type; interface = %x, pipe = %x\n", interface_num,
                   pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    if (pipe->PipeHandle == nullptr) {
        RAVO_ERROR("UsbAsyncIo_BULK: Invalid pipe handle; interface = %x, pipe = %x\n",
                   interface_num, pipe_num);
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    if (!asyncContextFits(context, size))
        return STATUS_INVALID_PARAMETER;

    PURB urb = context->urb;
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe->PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = nullptr;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags =
        USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress)
            ? (USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN)
            : USBD_SHORT_TRANSFER_OK;
    urb->UrbBulkOrInterruptTransfer.UrbLink = nullptr;

    context->usb = this;
    context->pipe_num = pipe_num;
    context->interface_num = interface_num;
    context->length = length;

    startAsyncIrp(context, static_UsbReadComplete);
    return IofCallDriver(_p_pdo, context->irp);
}

NTSTATUS CUsbInterface::UsbAsyncIo_ISO(ULONG pipe_num, UCHAR interface_num, PVOID buffer,
                                       ULONG length, UsbTransferContext* context) {
    if (ioError()) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo_ISO() : device IO error occured before, need to "
                   "reset device!!");
        NTSTATUS r = asyncRecovery(
            pipe_num, interface_num,
            "CUsbInterface::UsbAsyncIo_ISO, Failed to abort firmware download pipe %x\n",
            "CUsbInterface::UsbAsyncIo_ISO, Failed to reset firmware download pipe %x\n");
        if (!NT_SUCCESS(r))
            return STATUS_DEVICE_DATA_ERROR;
    }
    PUSBD_PIPE_INFORMATION pipe = getPipeInfo(interface_num, pipe_num);
    if (pipe == nullptr) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo_ISO(): Invalid Interface Info");
        return STATUS_UNSUCCESSFUL;
    }
    if (pipe->PipeType != UsbdPipeTypeIsochronous) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo_ISO(): Invalid Pipe Type");
        return STATUS_UNSUCCESSFUL;
    }
    if (pipe->PipeHandle == nullptr) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo_ISO(): Invalid pipe handle or no memory");
        return STATUS_UNSUCCESSFUL;
    }

    // Whole packets only; a pipe without a packet size, or a length below one packet, has
    // none, and a URB whose size does not fit its 16-bit Length cannot be described.
    ULONG packet_size = pipe->MaximumPacketSize;
    ULONG packets = packet_size != 0 ? length / packet_size : 0;
    if (packets == 0) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo_ISO(): no whole packet in %d bytes, packet size %d\n",
                   length, packet_size);
        return STATUS_INVALID_PARAMETER;
    }
    ULONGLONG urb_bytes = GET_ISO_URB_SIZE((ULONGLONG)packets);
    if (urb_bytes > 0xFFFF) {
        RAVO_ERROR("CUsbInterface::UsbAsyncIo_ISO(): %d packets do not fit one URB\n", packets);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG size = (ULONG)urb_bytes;
    if (!asyncContextFits(context, size))
        return STATUS_INVALID_PARAMETER;

    PURB urb = context->urb;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb->UrbHeader.Status = 0;
    struct _URB_ISOCH_TRANSFER* iso = &urb->UrbIsochronousTransfer;
    iso->PipeHandle = pipe->PipeHandle;
    iso->TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;
    if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress))
        iso->TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    iso->TransferBufferLength = packets * packet_size;
    iso->TransferBuffer = buffer;
    iso->TransferBufferMDL = nullptr;
    iso->StartFrame = 0;
    iso->NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) {
        iso->IsoPacket[i].Offset = i * packet_size;
        iso->IsoPacket[i].Length = packet_size;
    }

    context->usb = this;
    context->pipe_num = pipe_num;
    context->interface_num = interface_num;
    context->length = packets * packet_size;

    startAsyncIrp(context, static_UsbIsoComplete);
    return IofCallDriver(_p_pdo, context->irp);
}

NTSTATUS CUsbInterface::UsbAsyncIo_BULK_SYNC(ULONG pipe_num, UCHAR interface_num, PVOID buffer,
                                             ULONG length, UsbTransferContext* context) {
    if (ioError()) {
        RAVO_ERROR("UsbAsyncIo_BULK_SYNC() : device IO error occured before!!\n");
        return STATUS_DEVICE_DATA_ERROR;
    }
    NTSTATUS status = UsbSendMcCmd(pipe_num, interface_num, buffer, length);
    if (context != nullptr && context->callback != nullptr)
        context->callback(context->callback_context, status, length, context);
    return status;
}

NTSTATUS CUsbInterface::UsbReadComplete(PIRP irp, UsbTransferContext* context) {
    transferEnded();
    ULONG moved = context->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    // Never more than was asked for reaches the caller, whatever the bus reports.
    if (moved > context->length)
        moved = context->length;
    irp->IoStatus.Information = moved;
    NTSTATUS status = irp->IoStatus.Status;
    if (status == STATUS_DEVICE_DATA_ERROR) {
        setIoError(1);
        RAVO_ERROR("CUsbInterface::UsbReadComplete() : STATUS_DEVICE_DATA_ERROR\n");
    }
    if (context->callback != nullptr)
        context->callback(context->callback_context, status, moved, context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUsbInterface::UsbIsoComplete(PIRP irp, UsbTransferContext* context) {
    transferEnded();
    struct _URB_ISOCH_TRANSFER* iso = &context->urb->UrbIsochronousTransfer;
    // The packet table ends where the URB built for this transfer ends.
    const ULONG table = FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket);
    ULONG urb_length = iso->Hdr.Length;
    ULONG room = urb_length > table ? (urb_length - table) / sizeof(USBD_ISO_PACKET_DESCRIPTOR) : 0;
    ULONG packets = iso->NumberOfPackets < room ? iso->NumberOfPackets : room;

    ULONGLONG total = 0;
    USBD_STATUS status = 0;
    for (ULONG i = 0; i < packets; ++i) {
        USBD_STATUS packet = iso->IsoPacket[i].Status;
        if (USBD_SUCCESS(packet) || packet == USBD_STATUS_DATA_UNDERRUN ||
            packet == USBD_STATUS_NOT_ACCESSED) {
            total += iso->IsoPacket[i].Length;
        } else {
            status = packet;
            break;
        }
    }
    if (total > context->length)
        total = context->length;
    irp->IoStatus.Information = (ULONG_PTR)total;
    if (context->callback != nullptr)
        context->callback(context->callback_context, status, (ULONG)total, context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUsbInterface::static_UsbReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    auto* transfer = static_cast<UsbTransferContext*>(context);
    return transfer->usb->UsbReadComplete(irp, transfer);
}

NTSTATUS CUsbInterface::static_UsbIsoComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    auto* transfer = static_cast<UsbTransferContext*>(context);
    return transfer->usb->UsbIsoComplete(irp, transfer);
}
