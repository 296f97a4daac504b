// The driver under the emulated HID class driver, on the emulated USB bus: button presses
// become the exact reports the class driver receives, every Plug and Play and power request
// reaches the bus, and those requests and faults of the receiver take the stack apart and
// back together without a leak, a hang or an unclear status. (Every allocation failed in
// turn is the fault sweep's, tools/ravo_faults.)
#include "StackFixture.h"

#include <thread>

using namespace stack;

namespace {

struct KeyRow {
    const char* name;
    uint8_t command;
    Bytes report;
};

class KeyReportTest : public StackTest, public ::testing::WithParamInterface<KeyRow> {};

PDRIVER_DISPATCH g_busPnp = nullptr;
PDEVICE_OBJECT g_fdo = nullptr;
NTSTATUS g_duringStart = STATUS_PENDING;
bool g_failStart = false;
std::thread g_lowerStart;

// A lower driver's start: while it runs the device is Starting, and the class driver asks
// for the HID descriptor already. It comes back later, on a thread of its own, as a bus
// driver's start may: the driver must wait for it and take its status from the request.
NTSTATUS busPnpWithSlowStart(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_START_DEVICE)
        return g_busPnp(device, irp);
    HID_DESCRIPTOR descriptor;
    g_duringStart =
        emu::sendAndWait(
            g_fdo,
            [&](PIRP ioctl, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_GET_DEVICE_DESCRIPTOR;
                stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof descriptor;
                ioctl->UserBuffer = &descriptor;
            },
            "descriptor during start")
            .status;
    IoMarkIrpPending(irp);
    g_lowerStart = std::thread([device, irp] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!g_failStart) {
            g_busPnp(device, irp);
            return;
        }
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

class StartTest : public StackTest, public ::testing::WithParamInterface<bool> {};
class PowerTest : public StackTest,
                  public ::testing::WithParamInterface<std::tuple<ULONG, DEVICE_POWER_STATE>> {};

} // namespace

TEST_P(KeyReportTest, AButtonPressReachesTheClassDriverAsItsReportThenARelease) {
    up();
    press(GetParam().command);
    EXPECT_EQ((std::vector<Bytes>{GetParam().report, kRelease}), reports());
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, KeyReportTest,
    ::testing::Values(KeyRow{"Digit2", 0x16, {1, 0, 0, 0x1F, 0, 0, 0, 0, 0}},
                      KeyRow{"CtrlAltF12", 0x1C, {1, 0x05, 0, 0x45, 0, 0, 0, 0, 0}},
                      KeyRow{"ShiftPlus", 0x09, {1, 0x02, 0, 0x2E, 0, 0, 0, 0, 0}},
                      KeyRow{"EmptyConsumer", 0x4A, {2, 0, 0, 0}},
                      KeyRow{"NotInKeyMap", 0x33, {2, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StackTest, TheFirstDataPacketAfterAStartCountsAsARelease) {
    up();
    uint64_t mark = emu::debuglog::mark();
    press(0x16, false); // no end-of-signal marker anywhere
    EXPECT_EQ(1u, emu::debuglog::count("Current key is released", mark));
    press(0x16, false);
    EXPECT_EQ(2u, reports().size()) << "the same key again without a release is not new";
}

TEST_F(StackTest, AHeldArrowRepeatsAtArrivalsOneFiveAndNine) {
    up();
    const Bytes right = {1, 0, 0, 0x4F, 0, 0, 0, 0, 0};
    std::vector<LONGLONG> arrivals;
    for (int i = 1; i <= 9; i++) {
        press(0x07, i == 9);
        for (auto& key : hidclass->keys().take())
            if (!key.release())
                arrivals.push_back(i);
        emu::clock::advance(irkit::kNecPeriodUs * 10);
    }
    EXPECT_EQ((std::vector<LONGLONG>{1, 5, 9}), arrivals);
    press(0x07);
    EXPECT_EQ((std::vector<Bytes>{right, kRelease}), reports()) << "after the let-go: a new key";
}

TEST_F(StackTest, StopAndStartAgainRecreateEveryObject) {
    up();
    press(0x16); // the parse thread has taken its sample buffer by then
    reports();
    const uint64_t startedBlocks = emu::pool::stats(RAVO_POOL_TAG).liveBlocks;
    const size_t selects = receiver->countUrbs(URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(STATUS_SUCCESS, hidclass->stop().status);
    EXPECT_TRUE(waitForNoSystemThread()) << "the parse thread ended";
    EXPECT_TRUE(receiver->waitUntilIdle());
    EXPECT_EQ(0u, receiver->outstandingRequests()) << "no read left with the bus";
    EXPECT_LT(emu::pool::stats(RAVO_POOL_TAG).liveBlocks, startedBlocks) << "objects deleted";
    const size_t reads = receiver->countUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(STATUS_SUCCESS, hidclass->start()) << hidclass->lastError();
    ASSERT_TRUE(receiver->waitForWaitingTransfers(kReads));
    EXPECT_EQ(reads + kReads, receiver->countUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER))
        << "one read per buffer, and no more buffers than the most the transfer keeps";
    EXPECT_EQ(selects + 1, receiver->countUrbs(URB_FUNCTION_SELECT_CONFIGURATION));
    press(0x16);
    EXPECT_EQ(2u, reports().size());
    EXPECT_EQ(startedBlocks, emu::pool::stats(RAVO_POOL_TAG).liveBlocks) << "the same objects";
}

TEST_F(StackTest, SurpriseRemovalDuringTrafficThenRemove) {
    up();
    std::vector<irkit::UsbPacket> packets = frame(0x16);
    send({packets.begin(), packets.begin() + packets.size() / 2});
    receiver->surpriseRemove();
    EXPECT_EQ(STATUS_SUCCESS, hidclass->surpriseRemove().status);
    // Wine's class driver sends the removal only once its reads are back.
    EXPECT_EQ(0u, hidclass->reads()->pending()) << "the held reads fail with the surprise removal";
    EXPECT_EQ(STATUS_SUCCESS, hidclass->remove().status);
    EXPECT_TRUE(waitForNoSystemThread());
    EXPECT_TRUE(receiver->waitUntilIdle());
    EXPECT_EQ(0u, receiver->outstandingRequests());
    EXPECT_EQ(0u, emu::pool::stats(RAVO_POOL_TAG).liveBlocks) << "the Device is gone";
}

TEST_F(StackTest, RemoveWithoutStopWhileACancellationIsInFlight) {
    up();
    std::thread canceller([&] { hidclass->cancelReads(); });
    emu::RequestOutcome removed = hidclass->pnp().pnp(IRP_MN_REMOVE_DEVICE);
    canceller.join();
    EXPECT_EQ(STATUS_SUCCESS, removed.status);
    EXPECT_EQ(0u, hidclass->reads()->pending()) << "drained before the request went down";
    EXPECT_TRUE(waitForNoSystemThread());
}

TEST_P(StartTest, InternalRequestsWhileStartingAreRefusedAndAFailedLowerStartIsReturned) {
    g_failStart = GetParam();
    ASSERT_EQ(STATUS_SUCCESS, hidclass->load());
    ASSERT_EQ(STATUS_SUCCESS, hidclass->addDevice(receiver->pdo()));
    g_fdo = hidclass->fdo();
    g_busPnp = receiver->busDriver()->MajorFunction[IRP_MJ_PNP];
    receiver->busDriver()->MajorFunction[IRP_MJ_PNP] = busPnpWithSlowStart;
    NTSTATUS started = hidclass->start();
    g_lowerStart.join();
    receiver->busDriver()->MajorFunction[IRP_MJ_PNP] = g_busPnp;
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, g_duringStart);
    EXPECT_EQ(g_failStart ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS, started);
    EXPECT_EQ(g_failStart ? 0u : 1u, static_cast<size_t>(emu::runningSystemThreads()));
}

INSTANTIATE_TEST_SUITE_P(LowerStart, StartTest, ::testing::Values(false, true));

TEST_F(StackTest, AStartWhoseConfigurationFailsLeavesADeviceThatRefusesRequests) {
    emu::usb::FaultRule stall;
    stall.urbFunction = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    stall.count = -1;
    receiver->injectFault(stall);
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, bringUp()) << "the PnP start succeeds, the HID requests fail";
    EXPECT_TRUE(emu::debuglog::contains("Device configuration failed!", mark));
    EXPECT_TRUE(receiver->waitUntilIdle());
    EXPECT_EQ(0u, receiver->outstandingRequests());
}

TEST_F(StackTest, AReadThatCannotBeResubmittedEndsTheParseThread) {
    up();
    uint64_t mark = emu::debuglog::mark();
    // The bus refuses a request to a vanished device inside IofCallDriver.
    receiver->setCompletionMode(emu::usb::CompletionMode::Immediate);
    receiver->surpriseRemove();
    EXPECT_TRUE(waitForNoSystemThread());
    EXPECT_TRUE(emu::debuglog::contains("looks like USB device is removed", mark));
}

TEST_P(PowerTest, SleepAndWakeStopAndRestartTheTransferAndAHeldKeyIsNewAfterIt) {
    const auto [build, sleep] = GetParam();
    emu::setOsVersion(build < 6000 ? 5 : 10, 1, build);
    up();
    press(0x16, false);
    EXPECT_EQ(2u, reports().size());
    const uint64_t mark = emu::debuglog::mark();
    emu::RequestOutcome d3 = hidclass->pnp().setDevicePower(sleep);
    EXPECT_EQ(STATUS_PENDING, d3.returned);
    EXPECT_EQ(STATUS_SUCCESS, d3.status);
    auto expectAsleep = [&] {
        EXPECT_TRUE(waitForNoSystemThread()) << "no parse thread while asleep";
        EXPECT_TRUE(receiver->waitUntilIdle());
        EXPECT_EQ(0u, receiver->outstandingRequests()) << "no read while asleep";
    };
    expectAsleep();
    // A wake needs no allocation: its work item is the Device's own.
    emu::workitems::hold();
    emu::pool::failAllAllocations(true);
    EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().setDevicePower(PowerDeviceD0).status);
    emu::pool::failAllAllocations(false);
    emu::workitems::release();
    ASSERT_TRUE(receiver->waitForWaitingTransfers(kReads)) << "reads again after the wake-up";
    // Put to sleep and woken again before the wakes' restart (one work item) ran: the last
    // sleep has the last word.
    emu::workitems::hold();
    for (DEVICE_POWER_STATE state : {sleep, PowerDeviceD0, sleep, PowerDeviceD0, sleep})
        EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().setDevicePower(state).status);
    emu::workitems::release();
    ASSERT_TRUE(emu::workitems::waitIdle());
    expectAsleep();
    EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().setDevicePower(PowerDeviceD0).status);
    ASSERT_TRUE(receiver->waitForWaitingTransfers(kReads)) << "reads again after the wake-up";
    press(0x16, false);
    EXPECT_EQ(2u, reports().size()) << "the key held across the sleep is a new press";
    EXPECT_FALSE(emu::debuglog::contains("ravo (error)", mark))
        << "no read sent to a sleeping device";
    EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().queryPower(SystemPowerState, 4).status);
    EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().setSystemPower(PowerSystemWorking).status);
    EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().setDevicePower(PowerDeviceD1).status);
    EXPECT_EQ(1, emu::runningSystemThreads()) << "D1 changes nothing";
}

INSTANTIATE_TEST_SUITE_P(BuildsAndStates, PowerTest,
                         ::testing::Combine(::testing::Values(2600u, 5999u, 6000u, 19045u),
                                            ::testing::Values(PowerDeviceD3, PowerDeviceD2)));

// Every Plug and Play, power and system-control request the driver gets goes on down through
// the lower filter to the bus PDO, in the order it came; no URB goes through the filter.
class PassDownTest : public StackTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(PassDownTest, EveryRequestReachesTheBusThroughTheFilterInOrder) {
    emu::setOsVersion(GetParam() < 6000 ? 5 : 10, 1, GetParam());
    up();
    using Request = std::tuple<UCHAR, UCHAR, ULONG>; // major, minor, power state
    std::vector<Request> sent = {{IRP_MJ_PNP, IRP_MN_START_DEVICE, 0}};
    auto pnp = [&](UCHAR minor) {
        EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().pnp(minor).status);
        sent.emplace_back(IRP_MJ_PNP, minor, 0);
    };
    auto power = [&](UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
        EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().sendPower(minor, type, state).get().status);
        sent.emplace_back(IRP_MJ_POWER, minor, state);
    };
    pnp(IRP_MN_QUERY_STOP_DEVICE);
    pnp(IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_EQ(STATUS_SUCCESS, hidclass->stop().status);
    ASSERT_EQ(STATUS_SUCCESS, hidclass->start());
    sent.insert(sent.end(), {{IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, 0},
                             {IRP_MJ_PNP, IRP_MN_STOP_DEVICE, 0},
                             {IRP_MJ_PNP, IRP_MN_START_DEVICE, 0}});
    pnp(IRP_MN_QUERY_REMOVE_DEVICE);
    pnp(IRP_MN_CANCEL_REMOVE_DEVICE);
    power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    power(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    power(IRP_MN_QUERY_POWER, SystemPowerState, 5); // S4
    power(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    emu::sendAndWait(
        hidclass->fdo(),
        [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL; },
        "system control");
    sent.emplace_back(IRP_MJ_SYSTEM_CONTROL, 0, 0);
    pnp(IRP_MN_SURPRISE_REMOVAL);
    std::vector<Request> filtered, atTheBus;
    for (const auto& r : hidclass->filter()->requests())
        filtered.emplace_back(r.majorFunction, r.minorFunction, r.powerState);
    EXPECT_EQ(sent, filtered) << "URBs go to the PhysicalDeviceObject, Plug and Play and power "
                                 "to the NextDeviceObject";
    hidclass->remove();
    sent.emplace_back(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, 0);
    for (const auto& r : receiver->requests())
        if (r.kind != emu::usb::RequestKind::Urb &&
            r.majorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
            atTheBus.emplace_back(r.majorFunction, r.minorFunction, r.powerState);
    EXPECT_EQ(sent, atTheBus);
}

INSTANTIATE_TEST_SUITE_P(Builds, PassDownTest, ::testing::Values(2600u, 19045u));
