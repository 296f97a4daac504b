// Events, the mutex, waits and time-outs on the controllable clock, IRQL and spin locks,
// system threads and the remove lock.
#include "KernelFixture.h"

#include <atomic>
#include <thread>

namespace {

class ManualClock : public ::testing::Test {
protected:
    void SetUp() override { emu::clock::useManualTime(); }
    void TearDown() override { emu::clock::useRealTime(); }
};

LARGE_INTEGER relative(LONGLONG hundredNs) {
    LARGE_INTEGER t;
    t.QuadPart = -hundredNs;
    return t;
}

constexpr LONGLONG kSecond = 10 * 1000 * 1000;

} // namespace

TEST(EventTest, NotificationEventStaysSignalledAndSetReportsThePreviousState) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero))
        << "a satisfied wait leaves a notification event signalled";
    KeClearEvent(&event);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
}

TEST(EventTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
}

TEST(EventTest, PollingWithZeroTimeoutIsAllowedAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    emu::ScopedIrql dispatch(DISPATCH_LEVEL);
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
}

using TimeoutTest = ManualClock;

TEST_F(TimeoutTest, RelativeTimeoutExpiresExactlyWhenTheClockPassesIt) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER fiveSeconds = relative(5 * kSecond);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &fiveSeconds);
    });
    ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
    emu::clock::advance(5 * kSecond - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(STATUS_PENDING, result.load()) << "one tick before the deadline the wait goes on";
    emu::clock::advance(1);
    waiter.join();
    EXPECT_EQ(STATUS_TIMEOUT, result.load());
}

TEST_F(TimeoutTest, SignalBeforeTheDeadlineEndsTheWaitWithSuccess) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER hundredSeconds = relative(100 * kSecond);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, &hundredSeconds);
    });
    ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
    emu::clock::advance(99 * kSecond);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(STATUS_SUCCESS, result.load());
}

TEST(ScaledClockTest, ScaleMakesAHundredSecondWaitShort) {
    emu::clock::useRealTime(100000.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER hundredSeconds = relative(100 * kSecond);
    EXPECT_EQ(STATUS_TIMEOUT,
              KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &hundredSeconds));
    emu::clock::useRealTime();
}

TEST(MutexTest, OwnerMayReacquireAndOthersWaitUntilTheLastRelease) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 1);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    KeReleaseMutex(&mutex, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(acquired.load()) << "one release of two acquisitions keeps the mutex owned";
    KeReleaseMutex(&mutex, FALSE);
    other.join();
    EXPECT_TRUE(acquired.load());
}

TEST(SpinLockTest, AcquireRaisesToDispatchAndReleaseRestoresTheCallersLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(1, emu::heldSpinLocks());
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(0, emu::heldSpinLocks());
}

TEST(SpinLockConcurrencyTest, MutualExclusionAcrossThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                counter++;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(80000, counter);
}

namespace {
struct ThreadProbe {
    std::atomic<int> ran{0};
    KIRQL irql = HIGH_LEVEL;
    bool terminateExplicitly = false;
};

VOID probeRoutine(PVOID context) {
    auto* probe = static_cast<ThreadProbe*>(context);
    probe->irql = KeGetCurrentIrql();
    probe->ran++;
    if (probe->terminateExplicitly) {
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
}
} // namespace

TEST(SystemThreadTest, ThreadObjectIsSignalledAtTheEndAndFreedWithItsLastReference) {
    for (bool terminate : {false, true}) {
        int64_t objectsBefore = emu::liveThreadObjects();
        ThreadProbe probe;
        probe.terminateExplicitly = terminate;
        HANDLE handle = nullptr;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes,
                                                       nullptr, nullptr, probeRoutine, &probe));
        PVOID thread = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr,
                                                            KernelMode, &thread, nullptr));
        ZwClose(handle);
        EXPECT_EQ(STATUS_SUCCESS,
                  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
        EXPECT_EQ(1, probe.ran.load());
        EXPECT_EQ(PASSIVE_LEVEL, probe.irql) << "system threads start at PASSIVE_LEVEL";
        ObDereferenceObject(thread);
        EXPECT_EQ(objectsBefore, emu::liveThreadObjects()) << "terminate=" << terminate;
    }
}

TEST(RemoveLockTest, AcquireFailsOnceRemovalStartedAndTheWaitEndsWithTheLastRelease) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLockEx(&lock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    int tagA = 0, tagB = 0, tagRemove = 0;
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagB));
    IoReleaseRemoveLock(&lock, &tagB);
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagRemove));
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, &tagRemove);
        removed = true;
    });
    while (!lock.Common.Removed)
        std::this_thread::yield();
    EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &tagB));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(removed.load()) << "the holder of tag A still holds the lock";
    IoReleaseRemoveLock(&lock, &tagA);
    remover.join();
    EXPECT_TRUE(removed.load());
}

TEST(VersionTest, ReportsTheConfiguredBuildInTheExtendedRecord) {
    for (ULONG build : {5999u, 6000u, 22631u}) {
        emu::setOsVersion(6, 0, build, 2, 1);
        RTL_OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_EQ(STATUS_SUCCESS, RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)));
        EXPECT_EQ(build, info.dwBuildNumber);
        EXPECT_EQ(6u, info.dwMajorVersion);
        EXPECT_EQ(2, info.wServicePackMajor);
        EXPECT_EQ(1, info.wServicePackMinor);
    }
    emu::setOsVersion(10, 0, 19045);
}
