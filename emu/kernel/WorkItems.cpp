// Work items: a driver queues a routine that the system runs later at PASSIVE_LEVEL on a
// worker thread. The item keeps its device object's driver in memory while it waits, so
// queueing one twice, freeing one that is still queued, or ending a routine at raised IRQL
// are verifier failures, as they are on Windows.
#include "Internal.h"

#include <thread>

namespace {

constexpr ULONG kWorkItemTag = 'I' | ('o' << 8) | ('W' << 16) | ('k' << 24);
constexpr ULONG kWorkItemMark = 0x6B576F49;

// Never destroyed: a detached worker may still be finishing while the process exits.
struct Queue {
    std::mutex lock;
    std::condition_variable idle;
    int queued = 0;
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

} // namespace emu::workitems

namespace {

_IO_WORKITEM* validItem(PIO_WORKITEM item, const char* operation) {
    if (item == nullptr || item->mark != kWorkItemMark)
        emu::verifierFailure("invalid work item", "%s on %p, which is not a work item", operation,
                             static_cast<void*>(item));
    return item;
}

void runItem(_IO_WORKITEM* item, PIO_WORKITEM_ROUTINE routine, PVOID context) {
    // The item may be freed by its own routine, which is the usual way to dispose of it.
    item->queued.store(false);
    routine(item->device, context);
    emu::ThreadState& state = emu::currentThread();
    if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld != 0)
        emu::verifierFailure("work item ended at raised IRQL",
                             "a work item routine returned at IRQL %d holding %d spin lock(s)",
                             state.irql, state.spinLocksHeld);
    std::lock_guard<std::mutex> guard(queue().lock);
    if (--queue().queued == 0)
        queue().idle.notify_all();
}

} // namespace

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag);
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
    {
        std::lock_guard<std::mutex> guard(queue().lock);
        ++queue().queued;
    }
    std::thread(runItem, item, WorkerRoutine, Context).detach();
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
