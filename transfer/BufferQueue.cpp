#include "transfer/BufferQueue.h"

#include "platform/CheckedList.h"

BufferQueue::BufferQueue() {
    KeInitializeSpinLock(&_lock);
    CheckedList::init(&_list);
    KeInitializeEvent(&_event, NotificationEvent, FALSE);
    _count = 0;
}

void BufferQueue::putBuffer(TransferBuffer* buffer) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    // A submission that failed after its completion already queued the buffer puts it a
    // second time; linking it twice would tie the list into a knot.
    if (buffer->_queued == 1) {
        KeReleaseSpinLock(&_lock, irql);
        return;
    }
    CheckedList::insertTail(&_list, &buffer->_link);
    if (++_count == 1)
        KeSetEvent(&_event, IO_NO_INCREMENT, FALSE);
    buffer->_queued = 1;
    KeReleaseSpinLock(&_lock, irql);
}

TransferBuffer* BufferQueue::getBuffer() {
    TransferBuffer* buffer = nullptr;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    if (!CheckedList::isEmpty(&_list)) {
        PLIST_ENTRY entry = CheckedList::removeHead(&_list);
        buffer = CONTAINING_RECORD(entry, TransferBuffer, _link);
        // Cleared under the lock, so the event always matches the count (except after signal).
        if (--_count == 0)
            KeClearEvent(&_event);
        buffer->_queued = 0;
    }
    KeReleaseSpinLock(&_lock, irql);
    return buffer;
}

void BufferQueue::signal() {
    KeSetEvent(&_event, IO_NO_INCREMENT, FALSE);
}

void BufferQueue::clearSignalIfEmpty() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_lock);
    if (_count == 0)
        KeClearEvent(&_event);
    KeReleaseSpinLock(&_lock, irql);
}

void BufferQueue::waitForBuffer(ULONG ms) {
    // Relative time-outs are negative counts of 100 ns. The product is taken in 64 bits:
    // in 32 bits anything above 429496 ms would wrap round to a much shorter wait.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(static_cast<ULONGLONG>(ms) * 10000);
    KeWaitForSingleObject(&_event, Executive, KernelMode, TRUE, &timeout);
}
