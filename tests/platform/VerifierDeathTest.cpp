// Each rule the emulated kernel enforces stops the process with a message naming it, as
// Driver Verifier stops the machine.
#include "KernelFixture.h"

#include <thread>

using namespace ktest;

namespace {

class VerifierDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The bottom driver completes every request at once.
void completeAtOnce(DeviceStack& stack) {
    stack.at(0).dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
}

VOID neverCalled(PDEVICE_OBJECT, PIRP) {}

constexpr ULONG kTestTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);
constexpr ULONG kDriverTag = 'W' | ('e' << 8) | ('m' << 16) | ('b' << 24);

} // namespace

TEST_F(VerifierDeathTest, IrpCompletedTwice) {
    auto run = [] {
        DeviceStack stack(1);
        PIRP held = nullptr;
        stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            held = irp;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
        // The world keeps the request after completion, so the second completion finds it
        // intact and with no driver holding it.
        PIRP irp = emu::allocateWorldIrp(1, [](PIRP) {});
        IofCallDriver(stack.top().device, irp);
        IofCompleteRequest(held, IO_NO_INCREMENT);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: IRP completed twice");
}

TEST_F(VerifierDeathTest, IrpCompletedWhileItsCancelRoutineIsSet) {
    auto run = [] {
        DeviceStack stack(1);
        stack.at(0).dispatch = [](PDEVICE_OBJECT, PIRP irp) {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, neverCalled);
            IoReleaseCancelSpinLock(irql);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
        WorldResult result;
        IofCallDriver(stack.top().device, worldRequest(1, IRP_MJ_READ, &result));
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: IRP completed with a cancel routine set");
}

TEST_F(VerifierDeathTest, DriverAllocatedIrpMustNotCompleteToTheTop) {
    auto run = [] {
        DeviceStack stack(1);
        completeAtOnce(stack);
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IofCallDriver(stack.top().device, irp);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: driver-allocated IRP completed to the top");
}

TEST_F(VerifierDeathTest, IrpReinitialisedWhileTheLowerDriverHoldsIt) {
    auto run = [] {
        DeviceStack stack(1);
        stack.at(0).dispatch = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        };
        PIRP irp = IoAllocateIrp(1, FALSE);
        IofCallDriver(stack.top().device, irp);
        IoInitializeIrp(irp, IoSizeOfIrp(1), 1);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: IRP reinitialised while a driver holds it");
}

TEST_F(VerifierDeathTest, BlockingWaitAtDispatchLevel) {
    auto run = [] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        KeReleaseSpinLock(&lock, old);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: blocking wait at DISPATCH_LEVEL");
}

TEST_F(VerifierDeathTest, SpinLockReleasedAtTheWrongIrql) {
    auto run = [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        KIRQL ignored;
        KeRaiseIrql(HIGH_LEVEL, &ignored);
        KeReleaseSpinLock(&lock, old);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: spin lock released at the wrong IRQL");
}

TEST_F(VerifierDeathTest, SpinLockReleasedByAThreadThatDoesNotHoldIt) {
    auto run = [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        std::thread other([&] {
            KIRQL raised;
            KeRaiseIrql(DISPATCH_LEVEL, &raised);
            KeReleaseSpinLock(&lock, raised);
        });
        other.join();
        KeReleaseSpinLock(&lock, old);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: spin lock released by a thread that does not hold it");
}

TEST_F(VerifierDeathTest, SpinLockAcquiredRecursively) {
    auto run = [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: spin lock acquired recursively");
}

TEST_F(VerifierDeathTest, PoolFreedTwice) {
    auto run = [] {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
        ExFreePool(p);
        ExFreePool(p);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: pool freed twice");
}

TEST_F(VerifierDeathTest, PoolFreedThatIsNotFromThePool) {
    auto run = [] {
        static char notPool[16];
        ExFreePool(notPool);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: pool freed that is not from the pool");
}

TEST_F(VerifierDeathTest, PoolOfTheDriversTagLiveAtTeardown) {
    auto run = [] {
        ExAllocatePoolWithTag(NonPagedPool, 24, kDriverTag);
        emu::pool::verifyNoLeaks(kDriverTag, "when the driver was unloaded");
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: pool leaked at teardown.*\n.*tag 'Wemb'");
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(VerifierDeathTest, WritePastTheEndOfAPoolBlock) {
    auto run = [] {
        auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTestTag));
        p[10] = 0;
        ExFreePool(p);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: pool block overrun");
}
#endif

TEST_F(VerifierDeathTest, MutexReleasedByANonOwner) {
    auto run = [] {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 1);
        KeReleaseMutex(&mutex, FALSE);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: mutex released by a thread that does not own it");
}

TEST_F(VerifierDeathTest, RemoveLockReleasedWithATagItDoesNotHold) {
    auto run = [] {
        IO_REMOVE_LOCK lock;
        IoInitializeRemoveLockEx(&lock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
        int tag = 0, other = 0;
        IoAcquireRemoveLock(&lock, &tag);
        IoReleaseRemoveLock(&lock, &other);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: remove lock released with a tag it does not hold");
}

TEST_F(VerifierDeathTest, WaitOnMemoryThatIsNoDispatcherObject) {
    auto run = [] {
        void* p = ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTestTag);
        LARGE_INTEGER zero{};
        KeWaitForSingleObject(p, Executive, KernelMode, FALSE, &zero);
    };
    EXPECT_DEATH(run(), "DRIVER VERIFIER: uninitialized dispatcher object");
}

TEST_F(VerifierDeathTest, FailFastNamesACorruptListEntry) {
    EXPECT_DEATH(__fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY),
                 "fail-fast.*code 3 \\(corrupt list entry\\)");
}
