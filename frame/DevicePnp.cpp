// Plug and Play: the start, stop and remove requests drive the Device through its life;
// every other request goes down the stack untouched.
#include "frame/Device.h"
#include "frame/MinidriverExtension.h"
#include "platform/Diagnostics.h"
#include "transfer/DataTransfer.h"

NTSTATUS Device::static_pnp(PDEVICE_OBJECT fdo, PIRP irp) {
    RAVO_TRACE("Device::static_pnp IRP=%p\n", irp);
    MinidriverExtension* extension = minidriverExtension(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    NTSTATUS status = IoAcquireRemoveLock(&extension->_remove_lock, irp);
    if (!NT_SUCCESS(status)) {
        RAVO_ERROR("Received PNP IRP after device was removed (status=%x).", status);
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    Device* device = extension->_p_device;
    if (device == nullptr) {
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&extension->_remove_lock, irp);
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT lower = device->nextDevice();

    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            RAVO_TRACE("IRP_MN_START_DEVICE\n");
            status = device->start(irp);
            break;
        case IRP_MN_REMOVE_DEVICE:
            RAVO_TRACE("IRP_MN_REMOVE_DEVICE\n");
            // Power, system-control and internal requests in flight hold the lock and use
            // the Device: wait for them, and refuse every later one, before it goes.
            IoReleaseRemoveLockAndWait(&extension->_remove_lock, irp);
            delete device;
            extension->_p_device = nullptr;
            return static_passIrpDown(lower, irp);
        case IRP_MN_STOP_DEVICE:
            RAVO_TRACE("IRP_MN_STOP_DEVICE\n");
            device->stop(irp);
            status = static_passIrpDown(lower, irp);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            RAVO_TRACE("IRP_MN_SURPRISE_REMOVAL\n");
            // The receiver is gone: stop the transfer and fail the held read-report
            // requests now. A class driver that waits for its reads before it sends the
            // remove request (Wine's does not cancel them) would otherwise wait forever.
            device->stop(irp);
            status = static_passIrpDown(lower, irp);
            break;
        default:
            RAVO_TRACE("Other Minor Function=0x%x \n", stack->MinorFunction);
            status = static_passIrpDown(lower, irp);
            break;
    }
    IoReleaseRemoveLock(&extension->_remove_lock, irp);
    return status;
}

NTSTATUS Device::start(PIRP irp) {
    RAVO_TRACE("Device::start IRP=%p\n", irp);
    setState(Starting);
    NTSTATUS status = passIrpDownSync(irp);
    if (!NT_SUCCESS(status)) {
        RAVO_ERROR("IRP_MN_START_DEVICE get error status from next device stack, "
                   "status=0x%x\n ",
                   status);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    // Before the state lets read-report requests in again.
    _read_queue.open();
    lockObjects();
    status = init();
    if (!NT_SUCCESS(status)) {
        RAVO_ERROR("Device configuration failed!\n");
        setState(NotStarted);
    } else {
        RAVO_TRACE("Device was configured!\n");
        status = _p_data_transfer->start();
        setState(Started);
    }
    unlockObjects();
    if (!NT_SUCCESS(status))
        RAVO_NOTICE("data tansfer start status unsuccessful,  status=0x%x\n", status);

    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS Device::stop(PIRP irp) {
    RAVO_TRACE("Device::stop IRP=%p\n", irp);
    if (state() == NotStarted)
        return STATUS_SUCCESS;
    setState(Stopping);
    lockObjects();
    if (_p_data_transfer != nullptr)
        _p_data_transfer->stop();
    _read_queue.close();
    unInit();
    unlockObjects();
    setState(Stopped);
    return STATUS_SUCCESS;
}

NTSTATUS Device::static_passIrpDown(PDEVICE_OBJECT lower, PIRP irp) {
    RAVO_TRACE("Device::static_passIrpDown IRP=%p\n", irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

NTSTATUS Device::passIrpDownSync(PIRP irp) {
    RAVO_TRACE("Device::passIrpDownSync IRP=%p\n", irp);
    RAVO_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL, "device");
    PIO_STACK_LOCATION next_stack = IoGetNextIrpStackLocation(irp);
    RAVO_ASSERT(next_stack != NULL, "device");
    IoCopyCurrentIrpStackLocationToNext(irp);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, static_syncIrpCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(nextDevice(), irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (NT_SUCCESS(status))
        status = irp->IoStatus.Status;
    return status;
}

NTSTATUS Device::static_syncIrpCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    RAVO_TRACE("Device::static_syncIrpCompletion IRP=%p\n", irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The request goes back to the waiting caller, which completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}
