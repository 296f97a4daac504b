// What the emulated Windows checks on every request and wait, shown with a minidriver
// small enough to break each rule on purpose: registration checks of the class driver,
// the verifier's rules on pending marks, returned statuses, requests never completed and
// what a driver must give back at unload, power sequencing below build 6000, alertable
// waits, absolute time-outs and the I/O manager's completion of requests built with
// IoBuildDeviceIoControlRequest.
#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

// How the toy minidriver misbehaves; one setting per test.
struct Toy {
    HID_MINIDRIVER_REGISTRATION record{};
    bool fillPnp = true;
    bool setAddDevice = true;
    // Internal requests: 0 complete at once, 1 return STATUS_PENDING unmarked and keep,
    // 2 complete with success but return an error, 3 mark pending and keep, 4 mark pending
    // and complete, 5 leak an IRP, 6 leave a thread running, 7 leave it running with its
    // handle open, 8 leak the USBD library's configuration request.
    int ioctl = 0;
    PIRP kept = nullptr;
    // Power requests: 0 skip and IoCallDriver, 1 PoStartNextPowerIrp and PoCallDriver,
    // 2 PoCallDriver alone, 3 PoStartNextPowerIrp twice, 4 keep device requests pending
    // (the test completes them) and pass the others as 1.
    int power = 0;
} g_toy;

// The device power requests the toy keeps (power mode 4), in arrival order.
PIRP g_held[2];
std::atomic<int> g_heldCount{0};

bool heldAtLeast(int n) {
    for (int i = 0; i < 1000 && g_heldCount.load() < n; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return g_heldCount.load() >= n;
}

IO_STATUS_BLOCK g_iosb;
KEVENT g_done;
bool g_seenEarly = false;

PDEVICE_OBJECT lowerOf(PDEVICE_OBJECT fdo) {
    return static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension)->NextDeviceObject;
}

NTSTATUS toyPassDown(PDEVICE_OBJECT fdo, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lowerOf(fdo), irp);
}

NTSTATUS toyPower(PDEVICE_OBJECT fdo, PIRP irp) {
    int mode = g_toy.power;
    if (mode == 4 && IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == DevicePowerState) {
        IoMarkIrpPending(irp);
        g_held[g_heldCount.load()] = irp;
        g_heldCount++;
        return STATUS_PENDING;
    }
    static const int kStartNextCalls[] = {0, 1, 0, 2, 1};
    for (int calls = kStartNextCalls[mode]; calls > 0; calls--)
        PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return mode == 0 ? IofCallDriver(lowerOf(fdo), irp) : PoCallDriver(lowerOf(fdo), irp);
}

VOID toyThread(PVOID) {
    LARGE_INTEGER hour;
    hour.QuadPart = -3600LL * 10000000;
    KeDelayExecutionThread(KernelMode, FALSE, &hour);
}

void toyLeak(int what) {
    if (what == 5) {
        IoAllocateIrp(2, FALSE);
    } else if (what == 6 || what == 7) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle;
        PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, toyThread, nullptr);
        if (what == 6)
            ZwClose(handle);
    } else if (what == 8) {
        static auto set = emu::usb::mceReceiverDescriptorBytes().configurations[0];
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + 9), nullptr}, {}};
        USBD_CreateConfigurationRequestEx(
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), list);
    }
}

NTSTATUS toyIoctl(PDEVICE_OBJECT, PIRP irp) {
    switch (g_toy.ioctl) {
        case 1:
            g_toy.kept = irp;
            return STATUS_PENDING;
        case 2:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        case 3:
            IoMarkIrpPending(irp);
            g_toy.kept = irp;
            return STATUS_PENDING;
        case 4:
            IoMarkIrpPending(irp);
            break;
        default:
            toyLeak(g_toy.ioctl);
            break;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS toyAdd(PDRIVER_OBJECT, PDEVICE_OBJECT) {
    return STATUS_SUCCESS;
}

NTSTATUS toyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    if (g_toy.fillPnp) {
        driver->MajorFunction[IRP_MJ_PNP] = toyPassDown;
        driver->MajorFunction[IRP_MJ_POWER] = toyPower;
    }
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = toyIoctl;
    driver->DriverExtension->AddDevice = g_toy.setAddDevice ? toyAdd : nullptr;
    HID_MINIDRIVER_REGISTRATION record = g_toy.record;
    record.DriverObject = driver;
    record.RegistryPath = path;
    return HidRegisterMinidriver(&record);
}

Toy goodToy() {
    Toy toy;
    toy.record.Revision = HID_REVISION;
    toy.record.DeviceExtensionSize = 136;
    toy.record.DevicesArePolled = FALSE;
    return toy;
}

struct RegistrationCase {
    const char* name;
    void (*spoil)(Toy&);
    NTSTATUS status;
    const char* reason;
};

class RegistrationTest : public ::testing::TestWithParam<RegistrationCase> {};

// A toy device over a virtual receiver, started; then one internal request that the toy
// answers in the chosen wrong way, and the class driver's unload checks (at once, with the
// request still held, when unloadAtOnce).
void toyStackWithIoctl(int behaviour, bool unloadAtOnce = false) {
    g_toy = goodToy();
    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass(toyEntry);
    hidclass.load();
    hidclass.addDevice(receiver.pdo());
    hidclass.pnp().pnp(IRP_MN_START_DEVICE);
    g_toy.ioctl = behaviour;
    UCHAR buffer[9];
    auto setup = [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
        stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof buffer;
        irp->UserBuffer = buffer;
    };
    if (!unloadAtOnce) {
        emu::sendAndWait(hidclass.fdo(), setup, "read", 200);
        return;
    }
    PIRP irp = emu::allocateWorldIrp(hidclass.fdo()->StackSize, [](PIRP done) { IoFreeIrp(done); });
    setup(irp, emu::firstStackLocation(irp));
    IofCallDriver(hidclass.fdo(), irp);
    hidclass.unload();
}

// A toy device over a virtual receiver on the build, its power requests passed as the mode
// says; one device power request.
void toyStackWithPower(ULONG build, int mode) {
    emu::setOsVersion(build < 6000 ? 5 : 10, 1, build);
    g_toy = goodToy();
    g_toy.power = mode;
    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass(toyEntry);
    hidclass.load();
    hidclass.addDevice(receiver.pdo());
    hidclass.pnp().setDevicePower(PowerDeviceD3);
}

struct DeathCase {
    const char* name;
    void (*run)();
    const char* rule;
};

class VerifierRuleDeathTest : public ::testing::TestWithParam<DeathCase> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

} // namespace

TEST_P(RegistrationTest, ClassDriverRefusesWhatHidclassRefusesAndSaysWhy) {
    g_toy = goodToy();
    GetParam().spoil(g_toy);
    emu::hid::ClassDriver hidclass(toyEntry);
    EXPECT_EQ(GetParam().status, hidclass.load()) << hidclass.lastError();
    EXPECT_EQ(GetParam().status, hidclass.registration().status);
    EXPECT_NE(std::string::npos, hidclass.registration().refusal.find(GetParam().reason))
        << "refusal: " << hidclass.registration().refusal;
}

INSTANTIATE_TEST_SUITE_P(
    Records, RegistrationTest,
    ::testing::Values(RegistrationCase{"Accepted", [](Toy&) {}, STATUS_SUCCESS, ""},
                      RegistrationCase{"Revision2", [](Toy& t) { t.record.Revision = 2; },
                                       STATUS_REVISION_MISMATCH, "Revision 2"},
                      RegistrationCase{"ExtensionOf88",
                                       [](Toy& t) { t.record.DeviceExtensionSize = 88; },
                                       STATUS_INVALID_PARAMETER, "DeviceExtensionSize 88"},
                      RegistrationCase{"Polled", [](Toy& t) { t.record.DevicesArePolled = TRUE; },
                                       STATUS_INVALID_PARAMETER, "DevicesArePolled"},
                      RegistrationCase{"NoPnpRoutine", [](Toy& t) { t.fillPnp = false; },
                                       STATUS_INVALID_PARAMETER, "IRP_MJ_PNP"},
                      RegistrationCase{"NoAddDevice", [](Toy& t) { t.setAddDevice = false; },
                                       STATUS_INVALID_PARAMETER, "AddDevice"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(VerifierRuleDeathTest, StopsWithTheRuleNamed) {
    EXPECT_DEATH(GetParam().run(), GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, VerifierRuleDeathTest,
    ::testing::Values(
        DeathCase{"PendingNotMarked", [] { toyStackWithIoctl(1); },
                  "DRIVER VERIFIER: STATUS_PENDING returned for a request not marked pending"},
        DeathCase{"ReturnedStatusDiffers", [] { toyStackWithIoctl(2); },
                  "DRIVER VERIFIER: returned status differs from the completed status"},
        DeathCase{"RequestNeverCompleted", [] { toyStackWithIoctl(3); },
                  "DRIVER VERIFIER: request never completed"},
        DeathCase{"OwedRequestAtUnload", [] { toyStackWithIoctl(3, true); },
                  "DRIVER VERIFIER: IRP never completed"},
        DeathCase{"MarkedPendingButCompletedAtOnce", [] { toyStackWithIoctl(4); },
                  "DRIVER VERIFIER: IRP marked pending but returned with another status"},
        DeathCase{"DriverIrpAtUnload", [] { toyStackWithIoctl(5); },
                  "DRIVER VERIFIER: driver IRP not freed at teardown"},
        DeathCase{"DriverThreadAtUnload", [] { toyStackWithIoctl(6); },
                  "DRIVER VERIFIER: driver thread still running at teardown"},
        DeathCase{"DriverHandleAtUnload", [] { toyStackWithIoctl(7); },
                  "DRIVER VERIFIER: driver handle left open at teardown"},
        DeathCase{"UsbdConfigurationRequestAtUnload", [] { toyStackWithIoctl(8); },
                  "DRIVER VERIFIER: pool leaked at teardown.*\n.*'USBD'.*after DriverUnload"},
        DeathCase{"PowerWithIoCallDriverOnXp", [] { toyStackWithPower(2600, 0); },
                  "DRIVER VERIFIER: IoCallDriver for a power request"},
        DeathCase{"PowerWithoutStartNextOnXp", [] { toyStackWithPower(2600, 2); },
                  "DRIVER VERIFIER: power request completed without PoStartNextPowerIrp"},
        DeathCase{"StartNextTwiceOnXp", [] { toyStackWithPower(5999, 3); },
                  "DRIVER VERIFIER: PoStartNextPowerIrp called twice"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KernelRulesTest, AnAlertEndsOnlyAlertableWaitsWithStatusAlerted) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS alertable = STATUS_PENDING, plain = STATUS_PENDING, delay = STATUS_PENDING;
    std::thread a(
        [&] { alertable = KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, nullptr); });
    std::thread p(
        [&] { plain = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    std::thread d([&] {
        LARGE_INTEGER interval;
        interval.QuadPart = -3600LL * 10000000; // an hour: only the alert can end it
        delay = KeDelayExecutionThread(KernelMode, TRUE, &interval);
    });
    ASSERT_TRUE(emu::threads::waitForAlertableWaiters(2)) << "both alertable waits must be waiting";
    EXPECT_EQ(2, emu::threads::alertWaiters());
    a.join();
    d.join();
    EXPECT_EQ(STATUS_ALERTED, alertable);
    EXPECT_EQ(STATUS_ALERTED, delay);
    EXPECT_EQ(STATUS_PENDING, plain) << "a wait that is not alertable ignores the alert";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    p.join();
    EXPECT_EQ(STATUS_SUCCESS, plain);
}

TEST(KernelRulesTest, ASmallPositiveTimeOutIsAnAbsoluteTimeLongPast) {
    EXPECT_GE(emu::clock::now(), emu::clock::kSystemTimeAtStart) << "system time from 2026 on";
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER meantAsFiveSeconds;
    meantAsFiveSeconds.QuadPart = 5LL * 10000000; // positive: an instant in 1601
    EXPECT_EQ(STATUS_TIMEOUT,
              KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &meantAsFiveSeconds));
}

TEST(KernelRulesTest, BuiltRequestsGetTheirStatusBlockAndEventOnlyAfterEveryCompletionRoutine) {
    g_toy = goodToy();
    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass(toyEntry);
    ASSERT_EQ(STATUS_SUCCESS, hidclass.load());
    ASSERT_EQ(STATUS_SUCCESS, hidclass.addDevice(receiver.pdo()));
    KeInitializeEvent(&g_done, NotificationEvent, FALSE);
    g_iosb.Status = 0x7EADBEEF;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_HID_ACTIVATE_DEVICE, hidclass.fdo(), nullptr, 0,
                                             nullptr, 0, TRUE, &g_done, &g_iosb);
    auto lookAtIosb = [](PDEVICE_OBJECT, PIRP done, PVOID) {
        g_seenEarly = g_iosb.Status != 0x7EADBEEF || KeReadStateEvent(&g_done) != 0;
        return done->IoStatus.Status;
    };
    IoSetCompletionRoutine(irp, lookAtIosb, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(hidclass.fdo(), irp));
    EXPECT_FALSE(g_seenEarly) << "status block or event written before the completion routine";
    EXPECT_EQ(STATUS_SUCCESS, g_iosb.Status);
    EXPECT_NE(0, KeReadStateEvent(&g_done));
}

// Below build 6000 the next device power request goes once the top driver has called
// PoStartNextPowerIrp for the previous one, even while that one is still pending; from
// 6000 once it is back. System requests are sequenced apart from device requests.
class PowerSequencingTest : public ::testing::TestWithParam<ULONG> {};

TEST_P(PowerSequencingTest, TheNextDeviceRequestWaitsForThePreviousToBeReleased) {
    const ULONG build = GetParam();
    emu::setOsVersion(build < 6000 ? 5 : 10, 1, build);
    g_toy = goodToy();
    g_toy.power = 4;
    g_heldCount = 0;
    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass(toyEntry);
    ASSERT_EQ(STATUS_SUCCESS, hidclass.load());
    ASSERT_EQ(STATUS_SUCCESS, hidclass.addDevice(receiver.pdo()));
    auto first = hidclass.pnp().sendPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    ASSERT_TRUE(heldAtLeast(1));
    auto second = hidclass.pnp().sendPower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(STATUS_SUCCESS, hidclass.pnp().setSystemPower(PowerSystemWorking).status)
        << "a system request passes a held device request";
    EXPECT_EQ(1, g_heldCount.load()) << "the D0 request waits for the D3 request's release";
    auto complete = [](PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    };
    PoStartNextPowerIrp(g_held[0]);
    if (build >= 6000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(1, g_heldCount.load()) << "PoStartNextPowerIrp releases nothing from 6000";
        complete(g_held[0]);
    }
    ASSERT_TRUE(heldAtLeast(2)) << "released (below 6000 while still pending)";
    if (build < 6000)
        complete(g_held[0]);
    EXPECT_EQ(STATUS_SUCCESS, first.get().status);
    PoStartNextPowerIrp(g_held[1]);
    complete(g_held[1]);
    EXPECT_EQ(STATUS_SUCCESS, second.get().status);
    emu::setOsVersion(10, 0, 19045);
}

INSTANTIATE_TEST_SUITE_P(Builds, PowerSequencingTest, ::testing::Values(2600u, 19045u));
