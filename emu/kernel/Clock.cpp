// Kernel time. Waits with a time-out measure it in 100 ns units; tests either scale it or
// drive it by hand, so that the driver's 5 s and 100 s waits cost milliseconds.
#include "Internal.h"

#include <chrono>
#include <thread>

namespace emu {
namespace clock {

namespace {

using Steady = std::chrono::steady_clock;

struct ClockState {
    std::mutex lock;
    bool manual = false;
    double scale = 1.0;
    // System time as Windows keeps it (100 ns units since 1601), so that an absolute
    // time-out written by mistake as a small positive count lies in the past, as there.
    LONGLONG base = kSystemTimeAtStart;
    Steady::time_point realBase = Steady::now();
    std::atomic<int> timedWaiters{0};
};

ClockState& state() {
    static ClockState* s = new ClockState();
    return *s;
}

LONGLONG scaledNowLocked(ClockState& s) {
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - s.realBase);
    return s.base + static_cast<LONGLONG>(static_cast<double>(elapsed.count()) / 100.0 * s.scale);
}

} // namespace

LONGLONG now() {
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.manual ? s.base : scaledNowLocked(s);
}

void useRealTime(double scale) {
    ClockState& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.base = s.manual ? s.base : scaledNowLocked(s);
        s.realBase = Steady::now();
        s.scale = scale > 0 ? scale : 1.0;
        s.manual = false;
    }
    wakeWaiters();
}

void useManualTime() {
    ClockState& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.manual)
            s.base = scaledNowLocked(s);
        s.manual = true;
    }
    wakeWaiters();
}

bool isManual() {
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.manual;
}

void advance(LONGLONG hundredNanoseconds) {
    ClockState& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.manual)
            verifierFailure("clock misuse", "advance() needs the manual clock (useManualTime)");
        s.base += hundredNanoseconds;
    }
    wakeWaiters();
}

int timedWaiters() {
    return state().timedWaiters.load();
}

bool waitForTimedWaiters(int n, int realTimeoutMs) {
    auto until = Steady::now() + std::chrono::milliseconds(realTimeoutMs);
    while (state().timedWaiters.load() < n) {
        if (Steady::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Real time left until the kernel-time deadline, for a scaled clock.
std::chrono::nanoseconds realTimeUntil(LONGLONG deadline) {
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    LONGLONG left = deadline - scaledNowLocked(s);
    if (left <= 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(
        static_cast<long long>(static_cast<double>(left) * 100.0 / s.scale));
}

void enterTimedWait() {
    state().timedWaiters.fetch_add(1);
}
void leaveTimedWait() {
    state().timedWaiters.fetch_sub(1);
}

} // namespace clock

LONGLONG deadlineFromTimeout(const LARGE_INTEGER* timeout) {
    // Negative: relative to now. Positive: an absolute kernel time.
    return timeout->QuadPart < 0 ? clock::now() - timeout->QuadPart : timeout->QuadPart;
}

bool dispatcherWait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& satisfied,
                    const LONGLONG* deadline) {
    if (deadline == nullptr) {
        while (!satisfied())
            dispatcherCondition().wait(lock);
        return true;
    }
    struct TimedWaitScope {
        TimedWaitScope() { clock::enterTimedWait(); }
        ~TimedWaitScope() { clock::leaveTimedWait(); }
    } scope;
    while (!satisfied()) {
        if (clock::now() >= *deadline)
            return false;
        if (clock::isManual()) {
            dispatcherCondition().wait(lock);
        } else {
            // Bounded steps keep a change of scale from leaving a waiter asleep too long.
            auto step = clock::realTimeUntil(*deadline);
            if (step > std::chrono::milliseconds(50))
                step = std::chrono::milliseconds(50);
            dispatcherCondition().wait_for(lock, step);
        }
    }
    return true;
}

} // namespace emu
