// Each rule the emulated kernel enforces stops the process with a message naming it, as
// Driver Verifier stops the machine: one row per rule.
#include "emu/kernel/Kernel.h"
#include "tests/usbbus/BusHarness.h"

#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace {

constexpr ULONG kTestTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);

VOID neverCalled(PDEVICE_OBJECT, PIRP) {}

// One device of a test driver whose dispatch routine the row supplies.
struct TestDevice {
    explicit TestDevice(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> routine)
        : dispatch(std::move(routine)), driver(emu::createDriverObject("test")) {
        for (auto& slot : driver->MajorFunction)
            slot = [](PDEVICE_OBJECT d, PIRP irp) {
                return (*static_cast<TestDevice**>(d->DeviceExtension))->dispatch(d, irp);
            };
        device = emu::createDeviceObject(driver, sizeof(TestDevice*));
        *static_cast<TestDevice**>(device->DeviceExtension) = this;
    }
    // A request the world sends it, freed when its completion arrives.
    NTSTATUS send(PIRP irp = emu::allocateWorldIrp(1, [](PIRP done) { IoFreeIrp(done); })) {
        emu::firstStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        return IofCallDriver(device, irp);
    }
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch;
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT device;
};

NTSTATUS completeAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct Rule {
    const char* name;
    void (*breakIt)();
    const char* message;
};

const Rule kRules[] = {
    {"IrpCompletedTwice",
     [] {
         PIRP held = nullptr;
         TestDevice bottom([&](PDEVICE_OBJECT d, PIRP irp) {
             held = irp;
             return completeAtOnce(d, irp);
         });
         // The world keeps the request after completion, so the second completion finds it.
         bottom.send(emu::allocateWorldIrp(1, [](PIRP) {}));
         IofCompleteRequest(held, IO_NO_INCREMENT);
     },
     "IRP completed twice"},
    {"IrpCompletedWithItsCancelRoutineSet",
     [] {
         TestDevice bottom([](PDEVICE_OBJECT d, PIRP irp) {
             KIRQL irql;
             IoAcquireCancelSpinLock(&irql);
             IoSetCancelRoutine(irp, neverCalled);
             IoReleaseCancelSpinLock(irql);
             return completeAtOnce(d, irp);
         });
         bottom.send();
     },
     "IRP completed with a cancel routine set"},
    {"DriverAllocatedIrpCompletedToTheTop",
     [] {
         TestDevice bottom(completeAtOnce);
         IofCallDriver(bottom.device, IoAllocateIrp(1, FALSE));
     },
     "driver-allocated IRP completed to the top"},
    {"IrpReinitialisedWhileALowerDriverHoldsIt",
     [] {
         TestDevice bottom([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return STATUS_PENDING;
         });
         PIRP irp = IoAllocateIrp(1, FALSE);
         IofCallDriver(bottom.device, irp);
         IoInitializeIrp(irp, IoSizeOfIrp(1), 1);
     },
     "IRP reinitialised while a driver holds it"},
    {"BlockingWaitAtDispatchLevel",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         emu::ScopedIrql dispatch(DISPATCH_LEVEL);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     },
     "blocking wait at DISPATCH_LEVEL"},
    {"SpinLockReleasedAtTheWrongIrql",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock), ignored;
         KeRaiseIrql(HIGH_LEVEL, &ignored);
         KeReleaseSpinLock(&lock, old);
     },
     "spin lock released at the wrong IRQL"},
    {"SpinLockReleasedByAnotherThread",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
         std::thread([&] {
             KIRQL raised;
             KeRaiseIrql(DISPATCH_LEVEL, &raised);
             KeReleaseSpinLock(&lock, raised);
         }).join();
     },
     "spin lock released by a thread that does not hold it"},
    {"SpinLockAcquiredRecursively",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
     },
     "spin lock acquired recursively"},
    {"PoolFreedTwice",
     [] {
         void* p = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
         ExFreePool(p);
         ExFreePool(p);
     },
     "pool freed twice"},
    {"FreeOfMemoryNotFromThePool",
     [] {
         static char notPool[16];
         ExFreePool(notPool);
     },
     "pool freed that is not from the pool"},
#if !defined(__SANITIZE_ADDRESS__) // ASan reports the write itself first
    {"WritePastAPoolBlock",
     [] {
         auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTestTag));
         p[10] = 0;
         ExFreePool(p);
     },
     "pool block overrun"},
#endif
    {"MutexReleasedByANonOwner",
     [] {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 1);
         KeReleaseMutex(&mutex, FALSE);
     },
     "mutex released by a thread that does not own it"},
    {"RemoveLockReleasedWithAForeignTag",
     [] {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLockEx(&lock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
         int tag = 0, other = 0;
         IoAcquireRemoveLock(&lock, &tag);
         IoReleaseRemoveLock(&lock, &other);
     },
     "remove lock released with a tag it does not hold"},
    {"PortResetWithIoPending",
     [] {
         emu::usb::VirtualReceiver bus;
         std::vector<uint8_t> config;
         bustest::selectFirst(bus, config);
         bustest::Request read(bus.pdo()), reset(bus.pdo());
         UCHAR data[8];
         bustest::bulkUrb(read.urb(), bus.pipeHandle(0x81), data, sizeof data, true);
         read.submit();
         reset.send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
     },
     "port reset with I/O pending"},
    {"WaitOnMemoryThatIsNoDispatcherObject",
     [] {
         void* p = ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTestTag);
         LARGE_INTEGER zero{};
         KeWaitForSingleObject(p, Executive, KernelMode, FALSE, &zero);
     },
     "uninitialized dispatcher object"},
};

class VerifierDeathTest : public ::testing::TestWithParam<Rule> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(VerifierDeathTest, BreakingTheRuleStopsTheRunNamingIt) {
    EXPECT_DEATH(GetParam().breakIt(), std::string("DRIVER VERIFIER: ") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Rules, VerifierDeathTest, ::testing::ValuesIn(kRules),
                         [](const ::testing::TestParamInfo<Rule>& info) {
                             return std::string(info.param.name);
                         });

TEST(FailFastDeathTest, NamesACorruptListEntry) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(__fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY),
                 "fail-fast.*code 3 \\(corrupt list entry\\)");
}

} // namespace
