// System threads, their handles and their thread objects. A thread object is a dispatcher
// object that becomes signalled when the thread ends; it lives while a handle or a
// reference holds it.
#include "Internal.h"

#include <map>
#include <thread>

namespace emu {

namespace {

std::atomic<int64_t> g_liveThreadObjects{0};
std::atomic<int64_t> g_runningThreads{0};
std::atomic<NTSTATUS> g_failNextCreate{STATUS_SUCCESS};
std::atomic<NTSTATUS> g_failNextReference{STATUS_SUCCESS};

struct OpenHandle {
    struct _KTHREAD* thread;
    const void* opener;
};

struct HandleTable {
    std::mutex lock;
    std::map<HANDLE, OpenHandle> handles;
    // Threads created and still running, for the unload check of their creator's image.
    std::map<struct _KTHREAD*, const void*> running;
    uintptr_t next = 0x80000004;
};

HandleTable& handleTable() {
    static HandleTable* table = new HandleTable();
    return *table;
}

// Threads that the kernel did not create (a test's main thread, say) still need an
// identity for mutex ownership.
thread_local struct _KTHREAD t_foreignThread {};

void dereference(struct _KTHREAD* thread) {
    if (thread->references.fetch_sub(1) == 1) {
        delete thread;
        g_liveThreadObjects.fetch_sub(1);
    }
}

void threadMain(struct _KTHREAD* thread) {
    ThreadState& state = currentThread();
    state.systemThread = thread;
    jmp_buf terminate;
    state.terminateJump = &terminate;
    if (setjmp(terminate) == 0) {
        thread->routine(thread->context);
        thread->exitStatus = STATUS_SUCCESS;
    }
    if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld != 0)
        verifierFailure("system thread ended at raised IRQL",
                        "a system thread ended at IRQL %d holding %d spin lock(s)", state.irql,
                        state.spinLocksHeld);
    state.terminateJump = nullptr;
    state.systemThread = nullptr;
    {
        std::lock_guard<std::mutex> guard(handleTable().lock);
        handleTable().running.erase(thread);
    }
    g_runningThreads.fetch_sub(1);
    // The thread's own reference goes in the same step that signals the object, so that a
    // waiter that wakes finds the thread completely gone.
    bool last;
    {
        std::lock_guard<std::mutex> guard(dispatcherLock());
        thread->Header.SignalState = 1;
        dispatcherCondition().notify_all();
        last = thread->references.fetch_sub(1) == 1;
    }
    if (last) {
        delete thread;
        g_liveThreadObjects.fetch_sub(1);
    }
}

} // namespace

int64_t liveThreadObjects() {
    return g_liveThreadObjects.load();
}
int64_t runningSystemThreads() {
    return g_runningThreads.load();
}
namespace threads {
void failNextCreate(NTSTATUS status) {
    g_failNextCreate.store(status);
}
void failNextReference(NTSTATUS status) {
    g_failNextReference.store(status);
}
} // namespace threads

int64_t openHandles() {
    std::lock_guard<std::mutex> guard(handleTable().lock);
    return static_cast<int64_t>(handleTable().handles.size());
}

int64_t runningThreadsOf(const ImageTest& ownedByImage) {
    std::lock_guard<std::mutex> guard(handleTable().lock);
    int64_t n = 0;
    for (const auto& [thread, creator] : handleTable().running)
        n += ownedByImage(creator) ? 1 : 0;
    return n;
}

int64_t openHandlesOf(const ImageTest& ownedByImage) {
    std::lock_guard<std::mutex> guard(handleTable().lock);
    int64_t n = 0;
    for (const auto& [handle, open] : handleTable().handles)
        n += ownedByImage(open.opener) ? 1 : 0;
    return n;
}

} // namespace emu

extern "C" {

PKTHREAD KeGetCurrentThread(void) {
    emu::ThreadState& state = emu::currentThread();
    return state.systemThread ? state.systemThread : &emu::t_foreignThread;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    (void)DesiredAccess;
    (void)ProcessHandle;
    (void)ClientId;
    emu::requireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    // Without OBJ_KERNEL_HANDLE the handle lands in whatever process the caller runs in,
    // where user code could close or use it.
    if (ObjectAttributes == nullptr || (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0)
        emu::verifierFailure("thread handle not a kernel handle",
                             "PsCreateSystemThread without OBJ_KERNEL_HANDLE in its attributes");
    NTSTATUS injected = emu::g_failNextCreate.exchange(STATUS_SUCCESS);
    if (!NT_SUCCESS(injected))
        return injected;
    auto* thread = new struct _KTHREAD();
    thread->Header.Type = emu::kThread;
    thread->Header.Size = emu::kDispatcherSizeMark;
    thread->Header.SignalState = 0;
    thread->references = 2; // the handle and the running thread
    thread->routine = StartRoutine;
    thread->context = StartContext;
    thread->exitStatus = STATUS_PENDING;
    thread->creator = __builtin_return_address(0);
    emu::g_liveThreadObjects.fetch_add(1);
    {
        emu::HandleTable& table = emu::handleTable();
        std::lock_guard<std::mutex> guard(table.lock);
        HANDLE handle = reinterpret_cast<HANDLE>(table.next);
        table.next += 4;
        table.handles[handle] = emu::OpenHandle{thread, thread->creator};
        table.running[thread] = thread->creator;
        *ThreadHandle = handle;
    }
    emu::g_runningThreads.fetch_add(1);
    std::thread(emu::threadMain, thread).detach();
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    emu::ThreadState& state = emu::currentThread();
    if (state.systemThread == nullptr || state.terminateJump == nullptr)
        emu::verifierFailure(
            "PsTerminateSystemThread outside a system thread",
            "PsTerminateSystemThread called by a thread the kernel did not create");
    emu::requireIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
    state.systemThread->exitStatus = ExitStatus;
    longjmp(*state.terminateJump, 1);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    (void)DesiredAccess;
    (void)ObjectType;
    (void)AccessMode;
    (void)HandleInformation;
    emu::requireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    NTSTATUS injected = emu::g_failNextReference.exchange(STATUS_SUCCESS);
    if (!NT_SUCCESS(injected)) {
        *Object = nullptr;
        return injected;
    }
    emu::HandleTable& table = emu::handleTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.handles.find(Handle);
    if (found == table.handles.end()) {
        *Object = nullptr;
        return STATUS_INVALID_HANDLE;
    }
    found->second.thread->references.fetch_add(1);
    *Object = found->second.thread;
    return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    auto* thread = static_cast<struct _KTHREAD*>(Object);
    if (thread->Header.Type != emu::kThread || thread->references.load() <= 0)
        emu::verifierFailure("object dereferenced too often",
                             "ObDereferenceObject on %p, which holds no reference", Object);
    long left = thread->references.load() - 1;
    emu::dereference(thread);
    return left;
}

NTSTATUS ZwClose(HANDLE Handle) {
    emu::requireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    struct _KTHREAD* thread = nullptr;
    {
        emu::HandleTable& table = emu::handleTable();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.handles.find(Handle);
        if (found == table.handles.end())
            emu::verifierFailure("invalid handle", "ZwClose on %p, which is not an open handle",
                                 Handle);
        thread = found->second.thread;
        table.handles.erase(found);
    }
    emu::dereference(thread);
    return STATUS_SUCCESS;
}

} // extern "C"
