#include "hid/RequestCount.h"

#include "platform/Diagnostics.h"

RequestCount::RequestCount() : _outstanding(0) {
    KeInitializeEvent(&_idle_event, NotificationEvent, TRUE);
    KeInitializeSpinLock(&_event_lock);
}

// Called by whichever thread made a 0->1 or 1->0 transition. A completion that takes the
// count to 0 and a new request that takes it back to 1 can reach the event in either
// order; whoever comes last under the lock sees the latest count, so a stale "idle" never
// survives while a request is outstanding (which would let a removal free the queue under
// a completer's feet).
void RequestCount::updateIdleEvent() {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_event_lock);
    if (InterlockedCompareExchange(&_outstanding, 0, 0) == 0)
        KeSetEvent(&_idle_event, IO_NO_INCREMENT, FALSE);
    else
        KeClearEvent(&_idle_event);
    KeReleaseSpinLock(&_event_lock, irql);
}

void RequestCount::increment() {
    LONG count = InterlockedIncrement(&_outstanding);
    if (count == 1)
        updateIdleEvent();
    RAVO_INFO("Request Count incremented to %d\n", count);
}

void RequestCount::decrement() {
    LONG count = InterlockedDecrement(&_outstanding);
    RAVO_ASSERT(count >= 0, "RequestCount");
    RAVO_INFO("Request Count decremented to %d\n", count);
    if (count == 0) {
        RAVO_TRACE("last request completed, signalling event\n");
        updateIdleEvent();
    }
}

void RequestCount::wait() {
    for (;;) {
        // An alert or an APC ends the wait early without the count having reached 0.
        NTSTATUS status = KeWaitForSingleObject(&_idle_event, Executive, KernelMode, TRUE, nullptr);
        if (status == STATUS_ALERTED || status == STATUS_USER_APC)
            continue;
        // The thread that signalled may still be inside _event_lock; the caller frees this
        // object as soon as we return, so let that thread leave first.
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&_event_lock);
        bool idle = InterlockedCompareExchange(&_outstanding, 0, 0) == 0;
        KeReleaseSpinLock(&_event_lock, irql);
        if (idle)
            return;
    }
}
