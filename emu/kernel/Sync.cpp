// IRQL, spin locks, events, the mutex and waits. A spin lock raises the holder to
// DISPATCH_LEVEL and records who holds it, so that the rules Driver Verifier checks (no
// blocking wait at DISPATCH_LEVEL, release by the holder at DISPATCH_LEVEL, no recursion)
// stop the process with the rule's name.
#include "Internal.h"

#include <thread>

namespace emu {

namespace {
thread_local ThreadState t_state;
KSPIN_LOCK g_cancelSpinLock = 0;

ULONG_PTR ownerToken() {
    return reinterpret_cast<ULONG_PTR>(&t_state);
}

void requireDispatcherObject(PVOID object, const char* operation) {
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    bool known = header->Type == kNotificationEvent || header->Type == kSynchronizationEvent ||
                 header->Type == kMutant || header->Type == kThread;
    if (!known || header->Size != kDispatcherSizeMark)
        verifierFailure("uninitialized dispatcher object",
                        "%s on %p, which was never initialised as an event, mutex or thread",
                        operation, object);
}

bool isSignalled(DISPATCHER_HEADER* header) {
    if (header->Type == kMutant) {
        auto* mutex = reinterpret_cast<PKMUTEX>(header);
        return header->SignalState > 0 || mutex->OwnerThread == KeGetCurrentThread();
    }
    return header->SignalState > 0;
}

// Called under the dispatcher lock when a wait is satisfied.
void consumeSignal(DISPATCHER_HEADER* header) {
    if (header->Type == kSynchronizationEvent) {
        header->SignalState = 0;
    } else if (header->Type == kMutant) {
        auto* mutex = reinterpret_cast<PKMUTEX>(header);
        header->SignalState--;
        mutex->OwnerThread = KeGetCurrentThread();
    }
}

} // namespace

ThreadState& currentThread() {
    return t_state;
}

std::mutex& dispatcherLock() {
    static std::mutex* lock = new std::mutex();
    return *lock;
}

std::condition_variable& dispatcherCondition() {
    static std::condition_variable* condition = new std::condition_variable();
    return *condition;
}

void wakeWaiters() {
    // Taking the lock orders the notification after any state change a waiter checks.
    std::lock_guard<std::mutex> guard(dispatcherLock());
    dispatcherCondition().notify_all();
}

void requireIrqlAtMost(KIRQL level, const char* operation) {
    if (t_state.irql > level)
        verifierFailure("IRQL too high", "%s called at IRQL %d; it requires IRQL %d or lower",
                        operation, t_state.irql, level);
}

ScopedIrql::ScopedIrql(KIRQL level) {
    KeRaiseIrql(level, &_previous);
}
ScopedIrql::~ScopedIrql() {
    KeLowerIrql(_previous);
}

int heldSpinLocks() {
    return t_state.spinLocksHeld;
}

namespace threads {

namespace {
// Guarded by the dispatcher lock: an alert moves it on, and every alertable waiter that
// saw the older value returns STATUS_ALERTED.
uint64_t g_alertGeneration = 0;
int g_alertableWaiters = 0;
} // namespace

int alertWaiters() {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    g_alertGeneration++;
    dispatcherCondition().notify_all();
    return g_alertableWaiters;
}

namespace {
std::atomic<uint64_t> g_systemThreadWakeUps{0};
} // namespace

uint64_t systemThreadWakeUps() {
    return g_systemThreadWakeUps.load();
}

void noteWakeUp() {
    if (t_state.systemThread != nullptr)
        g_systemThreadWakeUps.fetch_add(1, std::memory_order_relaxed);
}

int alertableWaiters() {
    std::lock_guard<std::mutex> guard(dispatcherLock());
    return g_alertableWaiters;
}

bool waitForAlertableWaiters(int n, int realTimeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
    while (alertableWaiters() < n) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A wait under the dispatcher lock that an alert ends when alertable. Returns
// STATUS_SUCCESS (satisfied), STATUS_TIMEOUT or STATUS_ALERTED.
NTSTATUS alertableWait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& satisfied,
                       const LONGLONG* deadline, bool alertable) {
    struct CountWakeUp {
        ~CountWakeUp() { noteWakeUp(); }
    } countOnReturn;
    if (!alertable)
        return dispatcherWait(lock, satisfied, deadline) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    uint64_t generation = g_alertGeneration;
    g_alertableWaiters++;
    bool alerted = false;
    bool done = dispatcherWait(
        lock,
        [&] {
            if (satisfied())
                return true;
            alerted = g_alertGeneration != generation;
            return alerted;
        },
        deadline);
    g_alertableWaiters--;
    if (alerted)
        return STATUS_ALERTED;
    return done ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

} // namespace threads

} // namespace emu

using emu::t_state;

extern "C" {

// ---------------------------------------------------------------------------------------
// IRQL

KIRQL KeGetCurrentIrql(void) {
    return t_state.irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < t_state.irql)
        emu::verifierFailure("IRQL_NOT_GREATER_OR_EQUAL",
                             "KeRaiseIrql to %d from the higher IRQL %d", NewIrql, t_state.irql);
    *OldIrql = t_state.irql;
    t_state.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_state.irql)
        emu::verifierFailure("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %d from the lower IRQL %d",
                             NewIrql, t_state.irql);
    if (NewIrql < DISPATCH_LEVEL && t_state.spinLocksHeld > 0)
        emu::verifierFailure("spin lock held below DISPATCH_LEVEL",
                             "KeLowerIrql to %d while holding %d spin lock(s)", NewIrql,
                             t_state.spinLocksHeld);
    t_state.irql = NewIrql;
}

// ---------------------------------------------------------------------------------------
// Spin locks

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (t_state.irql < DISPATCH_LEVEL)
        emu::verifierFailure("spin lock acquired below DISPATCH_LEVEL",
                             "KeAcquireSpinLockAtDpcLevel at IRQL %d", t_state.irql);
    ULONG_PTR me = emu::ownerToken();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me)
        emu::verifierFailure("spin lock acquired recursively",
                             "the thread already holds spin lock %p; this deadlocks", SpinLock);
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        if (spins > 64)
            std::this_thread::yield();
    }
    t_state.spinLocksHeld++;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    if (t_state.irql > DISPATCH_LEVEL)
        emu::verifierFailure("IRQL too high", "spin lock %p acquired at IRQL %d", SpinLock,
                             t_state.irql);
    KIRQL old = t_state.irql;
    t_state.irql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != emu::ownerToken())
        emu::verifierFailure("spin lock released by a thread that does not hold it",
                             "spin lock %p released by a thread that does not hold it", SpinLock);
    if (t_state.irql != DISPATCH_LEVEL)
        emu::verifierFailure("spin lock released at the wrong IRQL",
                             "spin lock %p released at IRQL %d instead of DISPATCH_LEVEL", SpinLock,
                             t_state.irql);
    t_state.spinLocksHeld--;
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    if (NewIrql > DISPATCH_LEVEL)
        emu::verifierFailure("spin lock released at the wrong IRQL",
                             "KeReleaseSpinLock to IRQL %d, above DISPATCH_LEVEL", NewIrql);
    KeLowerIrql(NewIrql);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KeAcquireSpinLockRaiseToDpc(&emu::g_cancelSpinLock);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&emu::g_cancelSpinLock, Irql);
}

// ---------------------------------------------------------------------------------------
// Events and the mutex

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> guard(emu::dispatcherLock());
    memset(Event, 0, sizeof *Event);
    Event->Header.Type =
        Type == SynchronizationEvent ? emu::kSynchronizationEvent : emu::kNotificationEvent;
    Event->Header.Size = emu::kDispatcherSizeMark;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    emu::requireDispatcherObject(Event, "KeSetEvent");
    std::lock_guard<std::mutex> guard(emu::dispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    emu::dispatcherCondition().notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    emu::requireDispatcherObject(Event, "KeClearEvent");
    std::lock_guard<std::mutex> guard(emu::dispatcherLock());
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    emu::requireDispatcherObject(Event, "KeResetEvent");
    std::lock_guard<std::mutex> guard(emu::dispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    emu::requireDispatcherObject(Event, "KeReadStateEvent");
    std::lock_guard<std::mutex> guard(emu::dispatcherLock());
    return Event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level;
    std::lock_guard<std::mutex> guard(emu::dispatcherLock());
    memset(Mutex, 0, sizeof *Mutex);
    Mutex->Header.Type = emu::kMutant;
    Mutex->Header.Size = emu::kDispatcherSizeMark;
    Mutex->Header.SignalState = 1;
    Mutex->Header.WaitListHead.Flink = &Mutex->Header.WaitListHead;
    Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    (void)Wait;
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    emu::requireDispatcherObject(Mutex, "KeReleaseMutex");
    std::lock_guard<std::mutex> guard(emu::dispatcherLock());
    if (Mutex->OwnerThread != KeGetCurrentThread() || Mutex->Header.SignalState > 0)
        emu::verifierFailure("mutex released by a thread that does not own it",
                             "KeReleaseMutex on %p by a thread that does not own it", Mutex);
    LONG previous = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        emu::dispatcherCondition().notify_all();
    }
    return previous;
}

// ---------------------------------------------------------------------------------------
// Waits

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    bool blocking = Timeout == nullptr || Timeout->QuadPart != 0;
    if (blocking && t_state.irql >= DISPATCH_LEVEL)
        emu::verifierFailure("blocking wait at DISPATCH_LEVEL",
                             "KeWaitForSingleObject on %p at IRQL %d with %s", Object, t_state.irql,
                             Timeout ? "a non-zero time-out" : "no time-out");
    emu::requireDispatcherObject(Object, "KeWaitForSingleObject");
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    LONGLONG deadline = 0;
    if (Timeout)
        deadline = emu::deadlineFromTimeout(Timeout);
    std::unique_lock<std::mutex> lock(emu::dispatcherLock());
    NTSTATUS status = emu::threads::alertableWait(
        lock, [header] { return emu::isSignalled(header); }, Timeout ? &deadline : nullptr,
        Alertable != FALSE);
    if (status == STATUS_SUCCESS)
        emu::consumeSignal(header);
    return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    (void)WaitMode;
    emu::requireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    LONGLONG deadline = emu::deadlineFromTimeout(Interval);
    std::unique_lock<std::mutex> lock(emu::dispatcherLock());
    NTSTATUS status = emu::threads::alertableWait(
        lock, [] { return false; }, &deadline, Alertable != FALSE);
    return status == STATUS_ALERTED ? STATUS_ALERTED : STATUS_SUCCESS;
}

} // extern "C"
