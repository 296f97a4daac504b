// State shared by the parts of the emulated kernel.
#pragma once

#include "Kernel.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <condition_variable>
#include <csetjmp>
#include <functional>
#include <mutex>
#include <string>

namespace emu {

// Dispatcher object types, as DISPATCHER_HEADER.Type holds them.
enum DispatcherType : UCHAR {
    kNotificationEvent = 0,
    kSynchronizationEvent = 1,
    kMutant = 2,
    kThread = 6,
};

// Written into DISPATCHER_HEADER.Size by the initialisers, so that a wait on memory that
// was never initialised as a dispatcher object is caught.
constexpr UCHAR kDispatcherSizeMark = sizeof(KEVENT) / sizeof(LONG);

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = 0;
    struct _KTHREAD* systemThread = nullptr;
    jmp_buf* terminateJump = nullptr;
};

ThreadState& currentThread();

// The one lock that guards every dispatcher object's state, as in the real kernel, and the
// condition every waiter sleeps on.
std::mutex& dispatcherLock();
std::condition_variable& dispatcherCondition();
void wakeWaiters();

// Waits on the dispatcher condition until satisfied() or the kernel-time deadline.
// Called with the dispatcher lock held; returns false on time-out.
bool dispatcherWait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& satisfied,
                    const LONGLONG* deadline);

namespace clock {
std::chrono::nanoseconds realTimeUntil(LONGLONG deadline);
void enterTimedWait();
void leaveTimedWait();
} // namespace clock

LONGLONG deadlineFromTimeout(const LARGE_INTEGER* timeout);

void requireIrqlAtMost(KIRQL level, const char* operation);

// Counts one allocation of nonpaged memory (pool, or an IRP the driver allocates) against
// the pool's fault injection; true: this one is to fail.
bool allocationFails(size_t bytes, ULONG tag);
// The tag IRP allocations are counted under ("Irp ", as the I/O manager's lookaside lists).
constexpr ULONG kIrpTag = 'I' | ('r' << 8) | ('p' << 16) | (' ' << 24);

// Pool allocation on behalf of the code at owner (the caller of ExAllocatePoolWithTag, or
// of the kernel routine that allocates for it).
void* allocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* owner);
std::string poolTagText(ULONG tag);

// What the code of one driver image still holds, for the unload check: ownedByImage tells
// whether an allocating caller's address lies in the image.
using ImageTest = std::function<bool(const void*)>;
void findLivePoolOf(const ImageTest& ownedByImage, uint64_t& blocks, uint64_t& bytes,
                    ULONG& firstTag, size_t& firstBytes);
int64_t liveIrpsOf(const ImageTest& ownedByImage);
int64_t runningThreadsOf(const ImageTest& ownedByImage);
int64_t openHandlesOf(const ImageTest& ownedByImage);

// The build number RtlGetVersion reports.
ULONG osBuildNumber();
// Below this build every power request is sequenced: PoStartNextPowerIrp and PoCallDriver.
constexpr ULONG kFirstBuildWithoutPowerSequencing = 6000;
inline bool powerSequencing() {
    return osBuildNumber() < kFirstBuildWithoutPowerSequencing;
}

// Formats like the Windows kernel's printf (LLP64: %lx is 32 bits, %p is 16 hex digits).
void formatWindowsInto(std::string& out, const char* format, va_list args);

} // namespace emu

struct _KTHREAD {
    DISPATCHER_HEADER Header;
    std::atomic<long> references;
    PKSTART_ROUTINE routine;
    PVOID context;
    NTSTATUS exitStatus;
    const void* creator; // the code that called PsCreateSystemThread
};
