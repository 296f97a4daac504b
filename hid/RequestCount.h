// The number of read-report requests the driver holds (accepted, not yet completed), so
// that the removal of a device can wait until none is left.
#pragma once

#include "platform/platform.h"

class RequestCount {
public:
    RequestCount();
    RequestCount(const RequestCount&) = delete;
    RequestCount& operator=(const RequestCount&) = delete;

    // Once for every accepted request, before it becomes visible to any completer.
    void increment();
    // Once for every counted request after it has been completed.
    void decrement();
    // Blocks (PASSIVE_LEVEL) until no request is outstanding.
    void wait();

    LONG volatile _outstanding;
    KEVENT _idle_event; // notification event, set exactly while _outstanding is 0
    // Orders the event updates of racing 0->1 and 1->0 transitions, so that the event's
    // last word always matches the count.
    KSPIN_LOCK _event_lock;

private:
    void updateIdleEvent();
};
