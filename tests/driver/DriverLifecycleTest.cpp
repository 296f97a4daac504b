// The driver's life over the virtual receiver: keys, power on both sides of build 6000,
// removal while work is in flight, and the parse thread's ways out.
#include "decode/IrControl.h"
#include "tests/driver/DriverHarness.h"
#include "transfer/DataTransfer.h"

#include <future>

namespace {

using driver_harness::DriverHarness;
using Bytes = std::vector<uint8_t>;

const Bytes kOne = {1, 0, 0, 0x1E, 0, 0, 0, 0, 0};
const Bytes kRelease = {1, 0, 0, 0, 0, 0, 0, 0, 0};

class DriverLifecycleTest : public DriverHarness {
protected:
    void expectKeyOne() {
        auto seen = reports(2);
        ASSERT_EQ(2u, seen.size()) << "a key report and its release";
        EXPECT_EQ(kOne, seen[0].bytes);
        EXPECT_EQ(kRelease, seen[1].bytes);
    }
};

TEST_F(DriverLifecycleTest, AKeyReachesTheClassDriverAsItsReportAndRelease) {
    startWithReads();
    press(0x54);
    expectKeyOne();
}

// The transfer restarts on a worker thread after the lower drivers completed the power-up,
// wherever they completed it: a thread created from a DISPATCH_LEVEL completion is a
// verifier failure. The key held across the sleep counts as a new press.
class PowerCycleTest : public DriverLifecycleTest,
                       public ::testing::WithParamInterface<std::tuple<ULONG, bool>> {};

TEST_P(PowerCycleTest, SleepAndWakeRestartTheTransferAndForgetTheHeldKey) {
    auto [build, atDispatch] = GetParam();
    emu::setOsVersion(10, 0, build);
    reload(atDispatch);
    startWithReads();
    press(0x54);
    expectKeyOne();
    ASSERT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD3));
    // The parse thread is gone: pretend the key is still held, so that only the wake-up
    // can make the next one a new press.
    device()->_p_ir_control->_last_key = 0x54;
    EXPECT_EQ(ULONG(PowerDeviceD3), device()->_power_state);
    EXPECT_EQ(0u, device()->_p_data_transfer->bufferCount()) << "no reads while asleep";
    ASSERT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD0));
    ASSERT_TRUE(emu::workitems::waitIdle());
    EXPECT_EQ(ULONG(PowerDeviceD0), device()->_power_state);
    ASSERT_TRUE(_receiver->waitForWaitingTransfers(16)) << "reads outstanding again";
    press(0x54);
    expectKeyOne();
    emu::setOsVersion(10, 0, 19045);
}

INSTANTIATE_TEST_SUITE_P(Builds, PowerCycleTest,
                         ::testing::Combine(::testing::Values(2600u, 6000u, 19045u),
                                            ::testing::Bool()));

// A removal right behind a power-up waits for the restart that the power-up queued, which
// holds the remove lock, before the Device goes.
TEST_F(DriverLifecycleTest, RemovalWaitsForThePowerUpItFollows) {
    reload(true);
    startWithReads();
    ASSERT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD3));
    ASSERT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD0));
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(nullptr, device());
    EXPECT_EQ(0, emu::workitems::queued());
    EXPECT_TRUE(_receiver->waitUntilIdle());
    EXPECT_EQ(0u, _receiver->outstandingRequests()) << "no read left at the bus";
}

// A parse thread that leaves at once still lets stop return at once: with the clock
// frozen, a stop that waited out its 100-second time-out would never return.
TEST_F(DriverLifecycleTest, AThreadThatCannotRunDoesNotHoldTheStop) {
    startWithReads();
    ASSERT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD3));
    DataTransfer* transfer = device()->_p_data_transfer;
    RLC_parse* parser = transfer->_p_rlc_parse;
    transfer->_p_rlc_parse = nullptr;
    emu::clock::useManualTime();
    ASSERT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD0));
    ASSERT_TRUE(emu::workitems::waitIdle());
    ASSERT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD3));
    EXPECT_TRUE(emu::debuglog::contains("Invalid RLC parser, Quit!"));
    transfer->_p_rlc_parse = parser;
}

// A dead pipe fails every read at once. The thread keeps the 50-empty-reads check but
// holds back between resubmissions, so it neither spins a processor nor floods the log;
// a stop still ends it at once.
TEST_F(DriverLifecycleTest, FailingReadsAreResubmittedAtABoundedRate) {
    startWithReads();
    emu::clock::useManualTime();
    _receiver->clearRequests();
    uint64_t mark = emu::debuglog::mark();
    _receiver->stallEndpoint(0x81);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t frozen = _receiver->countUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_LT(frozen, 64u) << "resubmissions while no time passes";
    for (int second = 0; second < 10; second++) {
        emu::clock::advance(10000000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    size_t later = _receiver->countUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_LT(later - frozen, 200u) << "resubmissions over ten seconds";
    EXPECT_LT(emu::debuglog::linesSince(mark).size(), 4000u);
    ASSERT_EQ(STATUS_SUCCESS, pnp(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(Stopped, device()->state());
}

// The thread cannot be created, or cannot be referenced: the start leaves no read at the
// bus, no buffer, no thread and no handle behind, and the device answers with no input.
class ThreadStartFailureTest : public DriverLifecycleTest,
                               public ::testing::WithParamInterface<bool> {};

TEST_P(ThreadStartFailureTest, LeavesNothingBehind) {
    bool failReference = GetParam();
    int64_t threads = emu::runningSystemThreads();
    int64_t handles = emu::openHandles();
    if (failReference)
        emu::threads::failNextReference(STATUS_INVALID_HANDLE);
    else
        emu::threads::failNextCreate(STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(STATUS_SUCCESS, pnp(IRP_MN_START_DEVICE));
    EXPECT_EQ(Started, device()->state());
    EXPECT_TRUE(emu::debuglog::contains("data tansfer start status unsuccessful"));
    EXPECT_EQ(0u, device()->_p_data_transfer->bufferCount());
    EXPECT_TRUE(_receiver->waitUntilIdle());
    EXPECT_EQ(0u, _receiver->outstandingRequests());
    for (int i = 0; i < 500 && emu::runningSystemThreads() != threads; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(threads, emu::runningSystemThreads());
    EXPECT_EQ(handles, emu::openHandles());
}

INSTANTIATE_TEST_SUITE_P(Steps, ThreadStartFailureTest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Reference" : "Create");
});

// A device whose creation failed still passes power requests to the bus and refuses the
// rest.
TEST_F(DriverLifecycleTest, WithoutADevicePowerStillReachesTheBus) {
    TearDown();
    emu::pool::failNthAllocation(1);
    load(false);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, _addStatus);
    ASSERT_EQ(nullptr, device());
    EXPECT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD3));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, pnp(IRP_MN_START_DEVICE));
    UCHAR buffer[9];
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE,
              hidRequest(IOCTL_HID_GET_DEVICE_DESCRIPTOR, buffer, sizeof buffer).Status);
}

} // namespace
