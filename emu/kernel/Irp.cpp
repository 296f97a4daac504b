// Requests (IRPs): allocation, the stack walk of IofCallDriver and IofCompleteRequest with
// completion routines, cancellation, and the I/O manager's own completion. Each request
// carries a hidden record in front of it, where the kernel keeps what Driver Verifier
// needs: whether a driver holds the request, who gets it back at the top, and power
// sequencing calls.
#include "Internal.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <deque>
#include <map>
#include <unordered_set>
#include <vector>

namespace emu {

namespace {

constexpr uint32_t kLiveIrp = 0x49525021;  // "!PRI"
constexpr uint32_t kFreedIrp = 0x44454552; // "REED"
constexpr size_t kQuarantine = 256;

// A device whose dispatch routine got a power request, and how often it called
// PoStartNextPowerIrp for it.
struct PowerDispatch {
    PDEVICE_OBJECT device;
    int startNextCalls;
};

struct alignas(16) IrpRecord {
    uint32_t magic;
    USHORT allocatedSize;
    // Read by IoInitializeIrp/IoFreeIrp on the thread that reuses the request while the
    // completing thread may still be inside the allocator's completion routine.
    std::atomic<bool> inFlight;
    bool ioManagerOwned;
    std::function<void(PIRP)> onTopCompletion;
    // The code that allocated a driver's request (null for the world's own): the driver
    // image that must free it.
    const void* owner;
    // Power sequencing below build 6000, under powerLock(): the devices the request
    // reached, top first, and what the power manager waits for before it sends the next
    // request of the kind.
    bool sequenced;
    std::vector<PowerDispatch> powerDispatches;
    std::function<void()> onTopStartedNext;
};

std::mutex& powerLock() {
    static std::mutex* lock = new std::mutex();
    return *lock;
}

std::atomic<int64_t> g_liveIrps{0};

struct LiveIrps {
    std::mutex lock;
    std::unordered_set<IrpRecord*> records;
};

LiveIrps& liveIrpRecords() {
    static LiveIrps* live = new LiveIrps();
    return *live;
}

KIRQL initialCompletionIrql() {
    const char* level = std::getenv("RAVO_COMPLETION_IRQL");
    return level != nullptr && std::string(level) == "passive" ? PASSIVE_LEVEL : DISPATCH_LEVEL;
}
std::atomic<KIRQL> g_completionIrql{initialCompletionIrql()};
// World requests sent down a stack whose completion has not come back to the top yet.
std::atomic<int64_t> g_outstandingWorldIrps{0};

// One dispatch in progress: what the completion saw when it passed the stack location the
// dispatch routine was called for. The location is wiped as completion passes it, so the
// checks made when the routine returns need this record.
struct DispatchFrame {
    bool passed = false;
    bool pendingMarked = false;
    NTSTATUS status = 0;
};

// Dispatches in progress by request and stack location. A request passed down with its
// location skipped has several dispatches on one location.
struct DispatchFrames {
    std::mutex lock;
    std::map<std::pair<PIRP, CHAR>, std::vector<DispatchFrame*>> frames;
};

DispatchFrames& dispatchFrames() {
    static DispatchFrames* frames = new DispatchFrames();
    return *frames;
}

// Called by completion as it leaves the location: the dispatch routines still running for
// it learn whether the request was marked pending there and with what status it completed.
void notePassed(PIRP irp, PIO_STACK_LOCATION stack, CHAR location) {
    DispatchFrames& all = dispatchFrames();
    std::lock_guard<std::mutex> guard(all.lock);
    auto found = all.frames.find({irp, location});
    if (found == all.frames.end())
        return;
    for (DispatchFrame* frame : found->second) {
        if (frame->passed)
            continue;
        frame->passed = true;
        frame->pendingMarked = (stack->Control & SL_PENDING_RETURNED) != 0;
        frame->status = irp->IoStatus.Status;
    }
}

IrpRecord* recordOf(PIRP irp) {
    return reinterpret_cast<IrpRecord*>(reinterpret_cast<UCHAR*>(irp) - sizeof(IrpRecord));
}

IrpRecord* validRecord(PIRP irp, const char* operation) {
    if (irp == nullptr)
        verifierFailure("null IRP", "%s on a null request", operation);
    IrpRecord* record = recordOf(irp);
    if (record->magic == kFreedIrp)
        verifierFailure("IRP used after it was freed", "%s on request %p, already freed", operation,
                        irp);
    if (record->magic != kLiveIrp || irp->Type != IO_TYPE_IRP)
        verifierFailure("not an IRP", "%s on %p, which is not a request the kernel allocated",
                        operation, irp);
    return record;
}

// Freed requests are held back a while so that a late touch is caught by its magic.
struct Quarantine {
    std::mutex lock;
    std::deque<IrpRecord*> records;
};

Quarantine& quarantine() {
    static Quarantine* q = new Quarantine();
    return *q;
}

PIRP allocateIrp(CCHAR stackSize, const void* owner = nullptr) {
    USHORT size = IoSizeOfIrp(stackSize);
    auto* memory = static_cast<UCHAR*>(aligned_alloc(16, (sizeof(IrpRecord) + size + 15) & ~15ul));
    auto* record = new (memory) IrpRecord();
    record->magic = kLiveIrp;
    record->allocatedSize = size;
    record->owner = owner;
    PIRP irp = reinterpret_cast<PIRP>(memory + sizeof(IrpRecord));
    g_liveIrps.fetch_add(1);
    {
        std::lock_guard<std::mutex> guard(liveIrpRecords().lock);
        liveIrpRecords().records.insert(record);
    }
    IoInitializeIrp(irp, size, stackSize);
    return irp;
}

// Below build 6000 every driver a power request reached must have called
// PoStartNextPowerIrp for it once before it is back at the top; a request the top device
// never released still lets the power manager go on (the verifier has stopped by then).
void checkPowerSequencing(PIRP irp, IrpRecord* record) {
    std::function<void()> release;
    {
        std::lock_guard<std::mutex> guard(powerLock());
        if (!record->sequenced)
            return;
        for (const PowerDispatch& d : record->powerDispatches)
            if (d.startNextCalls != 1)
                verifierFailure("power request completed without PoStartNextPowerIrp",
                                "request %p came back to the power manager; device %p (driver "
                                "%p) called PoStartNextPowerIrp for it %d times, not once",
                                irp, d.device, d.device->DriverObject, d.startNextCalls);
        release = std::move(record->onTopStartedNext);
        record->onTopStartedNext = nullptr;
    }
    if (release)
        release();
}

// The I/O manager's part once completion has passed every stack location.
void completeAtTop(PIRP irp, IrpRecord* record) {
    record->inFlight = false;
    if (record->ioManagerOwned) {
        if (irp->UserIosb)
            *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        IoFreeIrp(irp);
        if (event)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    if (record->onTopCompletion) {
        checkPowerSequencing(irp, record);
        g_outstandingWorldIrps.fetch_sub(1);
        // Copied out: the callback may free the request and its record with it.
        auto callback = record->onTopCompletion;
        callback(irp);
        return;
    }
    verifierFailure("driver-allocated IRP completed to the top",
                    "request %p has no I/O manager owner; the completion routine of the driver "
                    "that allocated it must return STATUS_MORE_PROCESSING_REQUIRED",
                    irp);
}

} // namespace

PIRP allocateWorldIrp(CCHAR stackSize, std::function<void(PIRP)> onComplete) {
    PIRP irp = allocateIrp(stackSize);
    recordOf(irp)->onTopCompletion = std::move(onComplete);
    return irp;
}

PIO_STACK_LOCATION firstStackLocation(PIRP irp) {
    validRecord(irp, "firstStackLocation");
    return IoGetNextIrpStackLocation(irp);
}

void completion::setIrql(KIRQL level) {
    g_completionIrql = level;
}
KIRQL completion::irql() {
    return g_completionIrql.load();
}

void onStartNextPowerIrp(PIRP irp, std::function<void()> released) {
    IrpRecord* record = validRecord(irp, "onStartNextPowerIrp");
    std::lock_guard<std::mutex> guard(powerLock());
    record->onTopStartedNext = std::move(released);
}

int64_t liveIrps() {
    return g_liveIrps.load();
}
int64_t outstandingWorldIrps() {
    return g_outstandingWorldIrps.load();
}
void verifyWorldIrpsCompleted(const char* when) {
    int64_t left = g_outstandingWorldIrps.load();
    if (left != 0)
        verifierFailure("IRP never completed",
                        "%lld request(s) sent to a driver never came back completed %s",
                        static_cast<long long>(left), when);
}

int64_t liveIrpsOf(const ImageTest& ownedByImage) {
    std::lock_guard<std::mutex> guard(liveIrpRecords().lock);
    int64_t n = 0;
    for (IrpRecord* record : liveIrpRecords().records)
        n += record->owner != nullptr && ownedByImage(record->owner) ? 1 : 0;
    return n;
}

// Below build 6000: the device at the request's current location releases it, once.
void noteStartNextPowerIrp(PIRP irp) {
    IrpRecord* record = validRecord(irp, "PoStartNextPowerIrp");
    if (!powerSequencing())
        return; // a no-op from build 6000 on
    if (irp->CurrentLocation > irp->StackCount)
        verifierFailure("PoStartNextPowerIrp on a request no driver holds",
                        "PoStartNextPowerIrp on request %p, which is not at any device", irp);
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    std::function<void()> release;
    {
        std::lock_guard<std::mutex> guard(powerLock());
        auto& all = record->powerDispatches;
        auto found = std::find_if(all.begin(), all.end(),
                                  [&](const PowerDispatch& d) { return d.device == device; });
        if (found == all.end())
            verifierFailure("PoStartNextPowerIrp on a request that is no power request",
                            "PoStartNextPowerIrp on request %p at device %p, which got no "
                            "power request",
                            irp, device);
        if (++found->startNextCalls > 1)
            verifierFailure("PoStartNextPowerIrp called twice",
                            "device %p called PoStartNextPowerIrp for power request %p again",
                            device, irp);
        if (found == all.begin()) {
            release = std::move(record->onTopStartedNext);
            record->onTopStartedNext = nullptr;
        }
    }
    if (release)
        release();
}

// Called as a power request reaches a device: below build 6000 it must come through
// PoCallDriver.
void notePowerDispatch(PIRP irp, IrpRecord* record, PDEVICE_OBJECT device, bool viaPoCallDriver) {
    if (!powerSequencing())
        return;
    if (!viaPoCallDriver)
        verifierFailure("IoCallDriver for a power request",
                        "power request %p (minor 0x%x) sent to device %p with IoCallDriver; "
                        "below build 6000 it goes with PoCallDriver",
                        irp, IoGetCurrentIrpStackLocation(irp)->MinorFunction, device);
    std::lock_guard<std::mutex> guard(powerLock());
    record->sequenced = true;
    record->powerDispatches.push_back(PowerDispatch{device, 0});
}

thread_local bool t_viaPoCallDriver = false;

} // namespace emu

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1)
        emu::verifierFailure("invalid IRP stack size", "IoAllocateIrp with stack size %d",
                             StackSize);
    if (emu::allocationFails(IoSizeOfIrp(StackSize), emu::kIrpTag))
        return nullptr;
    return emu::allocateIrp(StackSize, __builtin_return_address(0));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    emu::IrpRecord* record = emu::recordOf(Irp);
    if (record->magic != emu::kLiveIrp)
        emu::verifierFailure("not an IRP", "IoInitializeIrp on %p, not an allocated request", Irp);
    if (record->inFlight)
        emu::verifierFailure("IRP reinitialised while a driver holds it",
                             "IoInitializeIrp on request %p before its completion came back", Irp);
    if (PacketSize > record->allocatedSize || PacketSize < IoSizeOfIrp(StackSize))
        emu::verifierFailure("IRP initialised with the wrong size",
                             "IoInitializeIrp(%p, size %u, stack %d) on a %u-byte request", Irp,
                             PacketSize, StackSize, record->allocatedSize);
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(
        reinterpret_cast<UCHAR*>(Irp) + sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
    record->ioManagerOwned = false;
    std::lock_guard<std::mutex> guard(emu::powerLock());
    record->sequenced = false;
    record->powerDispatches.clear();
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    emu::validRecord(Irp, "IoReuseIrp");
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->IoStatus.Status = Iostatus;
}

VOID IoFreeIrp(PIRP Irp) {
    emu::IrpRecord* record = emu::validRecord(Irp, "IoFreeIrp");
    if (record->inFlight)
        emu::verifierFailure("IRP freed while a driver holds it",
                             "IoFreeIrp on request %p before its completion came back", Irp);
    record->magic = emu::kFreedIrp;
    record->onTopCompletion = nullptr;
    emu::g_liveIrps.fetch_sub(1);
    {
        std::lock_guard<std::mutex> guard(emu::liveIrpRecords().lock);
        emu::liveIrpRecords().records.erase(record);
    }
    emu::Quarantine& q = emu::quarantine();
    emu::IrpRecord* evicted = nullptr;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        q.records.push_back(record);
        if (q.records.size() > emu::kQuarantine) {
            evicted = q.records.front();
            q.records.pop_front();
        }
    }
    if (evicted) {
        evicted->~IrpRecord();
        free(evicted);
    }
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    bool viaPoCallDriver = emu::t_viaPoCallDriver;
    emu::t_viaPoCallDriver = false;
    emu::IrpRecord* record = emu::validRecord(Irp, "IofCallDriver");
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    if (DeviceObject == nullptr || DeviceObject->DriverObject == nullptr)
        emu::verifierFailure("request sent to no device", "IofCallDriver(%p, %p)", DeviceObject,
                             Irp);
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        KeBugCheckEx(0x35, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0);
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    // A world request enters its first stack: from here on it is owed a completion.
    if (record->onTopCompletion && Irp->CurrentLocation == Irp->StackCount && !record->inFlight)
        emu::g_outstandingWorldIrps.fetch_add(1);
    record->inFlight = true;
    KIRQL before = KeGetCurrentIrql();
    UCHAR major = stack->MajorFunction;
    if (major == IRP_MJ_POWER)
        emu::notePowerDispatch(Irp, record, DeviceObject, viaPoCallDriver);
    const std::pair<PIRP, CHAR> key{Irp, Irp->CurrentLocation};
    emu::DispatchFrame frame;
    emu::DispatchFrames& frames = emu::dispatchFrames();
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        frames.frames[key].push_back(&frame);
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    bool pendingMarked;
    {
        std::lock_guard<std::mutex> guard(frames.lock);
        auto& list = frames.frames[key];
        list.erase(std::find(list.begin(), list.end(), &frame));
        if (list.empty())
            frames.frames.erase(key);
        // Not passed yet: the request still sits at this location, and completion cannot
        // leave it while the lock is held.
        pendingMarked =
            frame.passed ? frame.pendingMarked : (stack->Control & SL_PENDING_RETURNED) != 0;
    }
    if (KeGetCurrentIrql() != before)
        emu::verifierFailure("dispatch routine changed the IRQL",
                             "major function 0x%x returned at IRQL %d; it was called at %d", major,
                             KeGetCurrentIrql(), before);
    if (status == STATUS_PENDING && !pendingMarked)
        emu::verifierFailure("STATUS_PENDING returned for a request not marked pending",
                             "major function 0x%x returned STATUS_PENDING for request %p "
                             "without IoMarkIrpPending",
                             major, Irp);
    if (status != STATUS_PENDING && pendingMarked)
        emu::verifierFailure("IRP marked pending but returned with another status",
                             "major function 0x%x marked request %p pending and returned "
                             "0x%08X, not STATUS_PENDING",
                             major, Irp, static_cast<unsigned>(status));
    if (status != STATUS_PENDING && frame.passed && status != frame.status)
        emu::verifierFailure("returned status differs from the completed status",
                             "major function 0x%x completed request %p with status 0x%08X and "
                             "returned 0x%08X",
                             major, Irp, static_cast<unsigned>(frame.status),
                             static_cast<unsigned>(status));
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    emu::IrpRecord* record = emu::validRecord(Irp, "IofCompleteRequest");
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount)
        emu::verifierFailure("IRP completed twice",
                             "IofCompleteRequest on request %p, which no driver holds: it was "
                             "completed already (or never sent)",
                             Irp);
    // IoCancelIrp may exchange the routine at the same moment on another processor.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        emu::verifierFailure("IRP completed with a cancel routine set",
                             "IofCompleteRequest on request %p while its cancel routine %p is "
                             "still set",
                             Irp, reinterpret_cast<void*>(Irp->CancelRoutine));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        emu::verifierFailure("IRP completed with STATUS_PENDING",
                             "IofCompleteRequest on request %p with status STATUS_PENDING", Irp);

    // The walk of the real kernel: each location is popped in turn, its routine run
    // with the device of the location above it, until the top is passed.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    do {
        emu::notePassed(Irp, stack, static_cast<CHAR>(Irp->CurrentLocation - 1));
        Irp->PendingReturned = stack->Control & SL_PENDING_RETURNED;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) &&
                       (stack->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && stack->CompletionRoutine) {
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            memset(stack, 0, sizeof *stack);
            bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
            PDEVICE_OBJECT device =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            // The routine at the top is the allocator's own: the request is back with it as
            // soon as that routine runs, and another thread it signals may reuse the request
            // before the routine has returned. Nothing below touches the request after an
            // STATUS_MORE_PROCESSING_REQUIRED from it.
            if (atTop)
                record->inFlight = false;
            // Raised to DISPATCH_LEVEL, the level routines must be ready for, unless the
            // world runs them at their completer's IRQL.
            KIRQL old;
            const KIRQL level = std::max(KeGetCurrentIrql(), emu::completion::irql());
            KeRaiseIrql(level, &old);
            NTSTATUS result = routine(device, Irp, context);
            if (KeGetCurrentIrql() != level)
                emu::verifierFailure("completion routine changed the IRQL",
                                     "completion routine %p returned at IRQL %d",
                                     reinterpret_cast<void*>(routine), KeGetCurrentIrql());
            KeLowerIrql(old);
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return; // back with whoever set the routine; at the top, with the allocator
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
                IoMarkIrpPending(Irp);
            memset(stack, 0, sizeof *stack);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        ++stack;
    } while (Irp->CurrentLocation <= Irp->StackCount + 1);
    emu::completeAtTop(Irp, record);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    emu::validRecord(Irp, "IoCancelIrp");
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Completion reads the flag without the cancel lock, as in the real kernel.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    int held = emu::heldSpinLocks();
    routine(device, Irp);
    if (emu::heldSpinLocks() >= held)
        emu::verifierFailure("cancel routine kept the cancel spin lock",
                             "cancel routine %p returned without IoReleaseCancelSpinLock",
                             reinterpret_cast<void*>(routine));
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    emu::requireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (emu::allocationFails(IoSizeOfIrp(DeviceObject->StackSize), emu::kIrpTag))
        return nullptr;
    PIRP irp = emu::allocateIrp(DeviceObject->StackSize, __builtin_return_address(0));
    emu::recordOf(irp)->ioManagerOwned = true;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    return irp;
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    emu::noteStartNextPowerIrp(Irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    emu::t_viaPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}

} // extern "C"
