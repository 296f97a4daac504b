// The hand-over point between the read completions and the parse thread: completed
// TransferBuffers go in at the tail, the parse thread (and the stop path) take them from
// the head. The event is set while the queue holds buffers, and by signal().
#pragma once

#include "platform/platform.h"
#include "transfer/TransferBuffer.h"

class BufferQueue {
public:
    BufferQueue();
    BufferQueue(const BufferQueue&) = delete;
    BufferQueue& operator=(const BufferQueue&) = delete;

    // Callable at up to DISPATCH_LEVEL. A buffer already in the queue stays where it is.
    void putBuffer(TransferBuffer* buffer);
    // The oldest buffer, or null when the queue is empty.
    TransferBuffer* getBuffer();
    // Sets the event without touching the list, to end a waiter's wait at once.
    void signal();
    // Takes back a signal() that found nothing to hand over: clears the event unless the
    // queue holds buffers, so that the next waitForBuffer really waits.
    void clearSignalIfEmpty();
    // Waits (PASSIVE_LEVEL) until the event is set or ms milliseconds have passed; the
    // caller looks at the queue again either way.
    void waitForBuffer(ULONG ms);

    KSPIN_LOCK _lock; // guards the three members below and every buffer's _queued
    LIST_ENTRY _list;
    ULONG _count;
    KEVENT _event; // notification event: set from the first put into an empty queue
};
