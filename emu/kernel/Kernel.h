// The emulated kernel's own interface, for the emulated world, tools and tests: the
// controls and the inspection points that a real kernel offers through its debugger and
// Driver Verifier. Driver code never includes this header.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace emu {

// ---------------------------------------------------------------------------------------
// Verifier: a broken kernel rule stops the process with a message that names the rule.

[[noreturn]] void verifierFailure(const char* rule, const char* detailFormat, ...)
    __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------------------------------
// Clock. Kernel time in 100-nanosecond units. By default it follows real time; a scale
// makes every time-out pass that many times faster; manual mode freezes it so that tests
// move it with advance() and time-outs expire exactly when they say.

namespace clock {
// 2026-01-01 00:00 UTC in 100 ns units since 1601-01-01: where the clock starts.
constexpr LONGLONG kSystemTimeAtStart = 134116992000000000LL;
LONGLONG now();
void useRealTime(double scale = 1.0);
void useManualTime();
bool isManual();
void advance(LONGLONG hundredNanoseconds);
// Threads blocked in a wait that has a time-out (manual or scaled time alike).
int timedWaiters();
// Blocks the caller (in real time, at most realTimeoutMs) until at least n threads are in
// a timed wait; returns whether they are.
bool waitForTimedWaiters(int n, int realTimeoutMs = 5000);
} // namespace clock

// ---------------------------------------------------------------------------------------
// Pool: per-tag accounting and fault injection.

struct PoolTagStats {
    uint64_t liveBlocks = 0;
    uint64_t liveBytes = 0;
    uint64_t highWaterBytes = 0;
    uint64_t totalAllocations = 0;
    uint64_t failedAllocations = 0;
};

namespace pool {
PoolTagStats stats(ULONG tag);
// Every allocation made so far: pool of any tag, and the IRPs that IoAllocateIrp and
// IoBuildDeviceIoControlRequest allocate for the driver (the world allocates its own
// requests apart). The fault injection counts against this number.
uint64_t allocationCount();
// Fails the nth allocation from now on (1 = the next one), once.
void failNthAllocation(uint64_t n);
// Fails every allocation of exactly this many bytes until cleared.
void failAllocationsOfSize(size_t bytes);
// Fails every allocation from now on until cleared.
void failAllAllocations(bool fail);
// Driver Verifier's low resources simulation: from now on until cleared, each allocation
// fails with a chance of 1 in oneIn, decided by the seed and the allocation's number counted
// from this call, so that the same seed fails the same allocations of the same run.
void failRandomly(uint64_t oneIn, uint64_t seed);
void clearFaults();
// Allocations the fault injection failed so far, of every tag.
uint64_t failedAllocations();
// The tag and size of the last allocation the fault injection failed; false if none did.
bool lastFailure(ULONG& tag, size_t& bytes);
// Stops with a verifier failure when blocks of the tag are still live.
void verifyNoLeaks(ULONG tag, const char* when);
bool isPoolBlock(const void* p);
// Charges a live block to the code at callerAddress: the kernel and the USBD library
// allocate for a driver blocks that are the driver's to free.
void attributeTo(const void* block, const void* callerAddress);
} // namespace pool

// The unload check of a driver image (addressInImage: any code address in it, such as its
// DriverEntry): stops naming the first of pool of any tag allocated by or for the image,
// requests it allocated, handles it opened, and system threads it created that still run.
void verifyImageReleasedAll(const void* addressInImage, const char* when);

// ---------------------------------------------------------------------------------------
// Debug output: DbgPrint calls are assembled into lines and kept in a bounded ring.

struct DebugLine {
    uint64_t sequence;
    LONGLONG time;
    std::string text;
};

namespace debuglog {
// Sequence number of the next line; pass it to linesSince() to read what follows.
uint64_t mark();
std::vector<DebugLine> linesSince(uint64_t mark);
std::vector<std::string> textSince(uint64_t mark);
// Lines (and text not yet ended by a line feed) since the mark that contain the fragment.
size_t count(const std::string& fragment, uint64_t since = 0);
bool contains(const std::string& fragment, uint64_t since = 0);
void clear();
void setEcho(bool echo);
// Invoked for every completed line, on the printing thread (the replay tool's output).
void setLineSink(std::function<void(const DebugLine&)> sink);
size_t capacity();
uint64_t droppedLines();
} // namespace debuglog

struct AssertionRecord {
    std::string expression;
    std::string source;
    ULONG line;
};

std::vector<AssertionRecord> assertions();
void clearAssertions();
uint64_t debuggerBreaks();

// ---------------------------------------------------------------------------------------
// Operating system version that RtlGetVersion reports.

void setOsVersion(ULONG major, ULONG minor, ULONG build, USHORT servicePackMajor = 0,
                  USHORT servicePackMinor = 0);

// ---------------------------------------------------------------------------------------
// IRQL of the calling thread, for tests that play the part of a caller at raised IRQL.

class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL level);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL _previous;
};

// Spin locks the calling thread holds right now.
int heldSpinLocks();

// ---------------------------------------------------------------------------------------
// Driver and device objects of the emulated world.

PDRIVER_OBJECT createDriverObject(const char* name);
// Whether a dispatch-table slot still holds what the I/O manager put there.
bool isDefaultDispatch(PDRIVER_DISPATCH routine);
void deleteDriverObject(PDRIVER_OBJECT driver);
PDEVICE_OBJECT createDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize);
// Puts upper on top of lower: requests sent to upper need one more stack location.
void attachDevice(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);
void deleteDeviceObject(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------------------
// Requests that the emulated world originates (the PnP manager, the HID class driver).
// When completion reaches the top, onComplete runs (on the completing thread) instead of
// the I/O manager's own completion; it owns the request from then on and frees it with
// IoFreeIrp.

PIRP allocateWorldIrp(CCHAR stackSize, std::function<void(PIRP)> onComplete);
// Readies a world request for dispatch to the top of a device stack: the first stack
// location is set as current, as the I/O manager does before it calls the top driver.
PIO_STACK_LOCATION firstStackLocation(PIRP irp);
// Power sequencing below build 6000 (the power manager's view): released runs once, when
// the top device of the world's power request has called PoStartNextPowerIrp for it, or
// when the request comes back to the top.
void onStartNextPowerIrp(PIRP irp, std::function<void()> released);
// Requests allocated and not yet freed (all origins).
int64_t liveIrps();
// World requests sent to a driver whose completion has not reached the top yet; the
// verifier check stops the process ("IRP never completed") when any is left.
int64_t outstandingWorldIrps();
void verifyWorldIrpsCompleted(const char* when);

// ---------------------------------------------------------------------------------------
// The IRQL of completion. Windows runs a completion routine at the IRQL of whoever
// completes the request: DISPATCH_LEVEL for a bus driver completing from its DPC,
// PASSIVE_LEVEL for one completing from a thread of its own, and a driver must be ready
// for both. DISPATCH_LEVEL (the default): every routine runs raised to it, and the emulated
// bus completes from its thread at it. PASSIVE_LEVEL: every routine runs at its completer's
// own IRQL, and the bus completes at PASSIVE_LEVEL. RAVO_COMPLETION_IRQL=passive in the
// environment sets PASSIVE_LEVEL for a whole process.

namespace completion {
void setIrql(KIRQL level);
KIRQL irql();
} // namespace completion

// ---------------------------------------------------------------------------------------
// Work items queued and not yet finished, and a wait until none is left.

// Items run later on worker threads, never at once: each waits a short real time after it
// is queued, and none starts while a test holds them.
namespace workitems {
int queued();
bool waitIdle(int realTimeoutMs = 5000);
// Holds are counted; queued items start again when the last is released.
void hold();
void release();
} // namespace workitems

// ---------------------------------------------------------------------------------------
// System threads.

// Alerts: a thread in an alertable wait (KeWaitForSingleObject or KeDelayExecutionThread
// with Alertable TRUE) that is alerted returns STATUS_ALERTED, as a kernel-mode alertable
// wait does on Windows, so that code which takes that status for a signal is caught.
namespace threads {
// Alerts every thread that is in an alertable wait now; returns how many there were.
int alertWaiters();
int alertableWaiters();
// Blocks (real time, at most realTimeoutMs) until n threads are in an alertable wait.
bool waitForAlertableWaiters(int n, int realTimeoutMs = 5000);
// Waits that system threads have come back from (KeWaitForSingleObject and
// KeDelayExecutionThread), whatever ended them: how often driver threads wake up.
uint64_t systemThreadWakeUps();
// The next PsCreateSystemThread, or ObReferenceObjectByHandle, fails with the status.
void failNextCreate(NTSTATUS status);
void failNextReference(NTSTATUS status);
} // namespace threads

int64_t liveThreadObjects();
int64_t runningSystemThreads();
int64_t openHandles();

} // namespace emu
