#include "hid/ReadReportQueue.h"

#include "frame/MinidriverExtension.h"
#include "platform/Diagnostics.h"
#include "platform/CheckedList.h"

ReadReportQueue::ReadReportQueue() {
    KeInitializeSpinLock(&_lock);
    CheckedList::init(&_list);
    _count = 0;
    _open = true;
}

void ReadReportQueue::initCancelLock(PDEVICE_OBJECT fdo) {
    KeInitializeSpinLock(&minidriverExtension(fdo)->_cancel_lock);
}

NTSTATUS ReadReportQueue::queueRead(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->UserBuffer;
    ULONG size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    RAVO_TRACE("ReportBuffer = 0x%x, ReportTotalSize = 0x%x\n", (ULONG)(ULONG_PTR)buffer, size);
    if (size == 0 || buffer == nullptr)
        return STATUS_INVALID_PARAMETER;

    _request_count.increment();
    irp->Tail.Overlay.DriverContext[0] = this;
    // Pending before any completer can see it: it may be completed before we return.
    irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(irp);

    // Completers take a request from the list before they clear its routine, so it must
    // never be in the list without its routine: both happen in one hold of the cancel lock.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Closed by a stop after the device's state test let the request in: nobody would
    // complete it before the next start.
    bool refused = !pushRequest(irp);
    bool cancelledEarly = false;
    if (!refused) {
        (void)IoSetCancelRoutine(irp, static_cancelRead);
        // A request cancelled before its routine was in place found nothing to call; left
        // in the list, it would wait for a key or a flush while its canceller waits for it.
        cancelledEarly = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
        if (cancelledEarly) {
            // A report may have popped it meanwhile; that completer will find the routine
            // cleared and leave the request to us.
            removeRequest(irp);
        }
    }
    IoReleaseCancelSpinLock(irql);

    if (refused || cancelledEarly) {
        irp->IoStatus.Status = refused ? STATUS_NO_SUCH_DEVICE : STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        _request_count.decrement();
    }
    // Marked pending: whatever became of it, the dispatch returns STATUS_PENDING.
    return STATUS_PENDING;
}

void ReadReportQueue::sendReport(const void* report, ULONG length) {
    for (;;) {
        PIRP irp = popRequest();
        if (irp == nullptr)
            return; // nobody is waiting: the report is dropped

        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        // A request being cancelled belongs to its cancel routine. The report goes to the
        // next request instead: dropping the release that follows a key report would leave
        // the key held down at the host.
        if (routine == nullptr)
            continue;

        ULONG capacity =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        if (capacity < length) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
            irp->IoStatus.Information = 0;
        } else {
            RtlCopyMemory(irp->UserBuffer, report, length);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = length;
        }
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        _request_count.decrement();
        return;
    }
}

VOID ReadReportQueue::static_cancelRead(PDEVICE_OBJECT device, PIRP irp) {
    auto* queue = static_cast<ReadReportQueue*>(irp->Tail.Overlay.DriverContext[0]);
    if (queue != nullptr) {
        queue->cancelRead(device, irp);
        return;
    }
    // Never installed without a queue; should it happen, the request is still ours and
    // must neither keep the cancel spin lock nor be left hanging.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void ReadReportQueue::cancelRead(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);

    PKSPIN_LOCK cancelLock =
        device != nullptr ? &minidriverExtension(device)->_cancel_lock : nullptr;
    KIRQL irql = 0;
    if (cancelLock != nullptr)
        irql = KeAcquireSpinLockRaiseToDpc(cancelLock);
    // A completer may have taken it from the list already and then lost the race for the
    // routine; either way the request is ours to complete.
    removeRequest(irp);
    if (cancelLock != nullptr)
        KeReleaseSpinLock(cancelLock, irql);

    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    _request_count.decrement();
}

void ReadReportQueue::flushReads() {
    for (PIRP irp = popRequest(); irp != nullptr; irp = popRequest()) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        if (routine == nullptr)
            continue; // its cancel routine completes it
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        _request_count.decrement();
    }
}

void ReadReportQueue::drain() {
    close();
    _request_count.wait();
}

void ReadReportQueue::close() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    _open = false;
    KeReleaseSpinLock(&_lock, irql);
    // Every request pushed before the close is in the list now, and none comes after it.
    flushReads();
}

void ReadReportQueue::open() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    _open = true;
    KeReleaseSpinLock(&_lock, irql);
}

bool ReadReportQueue::pushRequest(PIRP irp) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    bool accepted = _open;
    if (accepted) {
        CheckedList::insertTail(&_list, &irp->Tail.Overlay.ListEntry);
        _count++;
    }
    KeReleaseSpinLock(&_lock, irql);
    return accepted;
}

PIRP ReadReportQueue::popRequest() {
    PIRP irp = nullptr;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    PLIST_ENTRY entry = CheckedList::removeHead(&_list);
    if (entry != nullptr) {
        irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        _count--;
    }
    KeReleaseSpinLock(&_lock, irql);
    return irp;
}

bool ReadReportQueue::removeRequest(PIRP irp) {
    bool found = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    PLIST_ENTRY target = &irp->Tail.Overlay.ListEntry;
    for (PLIST_ENTRY entry = _list.Flink; entry != &_list; entry = entry->Flink) {
        if (entry == target) {
            CheckedList::removeEntry(entry);
            _count--;
            found = true;
            break;
        }
    }
    KeReleaseSpinLock(&_lock, irql);
    return found;
}
