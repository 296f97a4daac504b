// Work items: a driver queues a routine that the system runs later at PASSIVE_LEVEL on a
// worker thread. Never at once: an item waits a short real time before a worker takes it,
// and a test can hold every queued item back, so that whatever the driver does between
// queueing an item and its routine (the next request, a power-down, a removal) can come
// first, as it can on a busy system. The item keeps its device object's driver in memory
// while it waits, so queueing one twice, freeing one that is still queued, or ending a
// routine at raised IRQL are verifier failures, as they are on Windows.
#include "Internal.h"

#include <deque>
#include <thread>

namespace {

constexpr ULONG kWorkItemTag = 'I' | ('o' << 8) | ('W' << 16) | ('k' << 24);
constexpr ULONG kWorkItemMark = 0x6B576F49;
// How long a queued item waits at least before a worker takes it.
constexpr auto kDelay = std::chrono::microseconds(500);

struct Pending {
    struct _IO_WORKITEM* item;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    std::chrono::steady_clock::time_point due;
};

// Never destroyed: a worker may still be waiting while the process exits.
struct Queue {
    std::mutex lock;
    std::condition_variable changed;
    std::condition_variable idle;
    std::deque<Pending> items;
    int queued = 0; // queued and not yet finished
    int holds = 0;
    int idleWorkers = 0;
};
Queue& queue() {
    static Queue* q = new Queue();
    return *q;
}

} // namespace

struct _IO_WORKITEM {
    ULONG mark;
    PDEVICE_OBJECT device;
    std::atomic<bool> queued;
};

namespace emu::workitems {

int queued() {
    std::lock_guard<std::mutex> guard(queue().lock);
    return queue().queued;
}

bool waitIdle(int realTimeoutMs) {
    std::unique_lock<std::mutex> guard(queue().lock);
    return queue().idle.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                                 [] { return queue().queued == 0; });
}

void hold() {
    std::lock_guard<std::mutex> guard(queue().lock);
    queue().holds++;
}

void release() {
    {
        std::lock_guard<std::mutex> guard(queue().lock);
        if (queue().holds == 0)
            emu::verifierFailure("work items released without a hold",
                                 "emu::workitems::release without emu::workitems::hold");
        queue().holds--;
    }
    queue().changed.notify_all();
}

} // namespace emu::workitems

namespace {

_IO_WORKITEM* validItem(PIO_WORKITEM item, const char* operation) {
    if (item == nullptr || item->mark != kWorkItemMark)
        emu::verifierFailure("invalid work item", "%s on %p, which is not a work item", operation,
                             static_cast<void*>(item));
    return item;
}

void runItem(const Pending& work) {
    // The item may be freed by its own routine, which is the usual way to dispose of it.
    work.item->queued.store(false);
    work.routine(work.item->device, work.context);
    emu::ThreadState& state = emu::currentThread();
    if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld != 0)
        emu::verifierFailure("work item ended at raised IRQL",
                             "a work item routine returned at IRQL %d holding %d spin lock(s)",
                             state.irql, state.spinLocksHeld);
}

// A worker thread of the system's pool: takes the oldest item once it is due and no hold
// is in force. Workers stay for the process; one more is started whenever an item is
// queued while none is idle, so a routine that waits for another item cannot stall it.
void worker() {
    Queue& q = queue();
    std::unique_lock<std::mutex> guard(q.lock);
    for (;;) {
        q.idleWorkers++;
        for (;;) {
            if (q.holds == 0 && !q.items.empty()) {
                auto due = q.items.front().due;
                if (std::chrono::steady_clock::now() >= due)
                    break;
                q.changed.wait_until(guard, due);
            } else {
                q.changed.wait(guard);
            }
        }
        q.idleWorkers--;
        Pending work = q.items.front();
        q.items.pop_front();
        guard.unlock();
        runItem(work);
        guard.lock();
        if (--q.queued == 0)
            q.idle.notify_all();
    }
}

} // namespace

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    // The driver's to free, whatever the tag.
    void* memory = emu::allocatePool(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag,
                                     __builtin_return_address(0));
    if (memory == nullptr)
        return nullptr;
    auto* item = new (memory) _IO_WORKITEM();
    item->mark = kWorkItemMark;
    item->device = DeviceObject;
    item->queued.store(false);
    return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    (void)QueueType;
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    _IO_WORKITEM* item = validItem(IoWorkItem, "IoQueueWorkItem");
    if (item->queued.exchange(true))
        emu::verifierFailure("work item queued twice",
                             "IoQueueWorkItem on %p, which is already queued",
                             static_cast<void*>(item));
    Queue& q = queue();
    bool another;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        ++q.queued;
        q.items.push_back(
            Pending{item, WorkerRoutine, Context, std::chrono::steady_clock::now() + kDelay});
        // One idle worker for each waiting item, so that routines that wait on each other
        // never run out of workers.
        another = q.idleWorkers < static_cast<int>(q.items.size());
    }
    if (another)
        std::thread(worker).detach();
    q.changed.notify_all();
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    _IO_WORKITEM* item = validItem(IoWorkItem, "IoFreeWorkItem");
    if (item->queued.load())
        emu::verifierFailure("work item freed while queued",
                             "IoFreeWorkItem on %p, whose routine has not run yet",
                             static_cast<void*>(item));
    item->mark = 0;
    item->~_IO_WORKITEM();
    ExFreePool(item);
}

} // extern "C"
