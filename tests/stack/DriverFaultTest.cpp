// The driver where its own design left it exposed: power completions at DISPATCH_LEVEL,
// a removal right behind a power-up, a parse thread that cannot run or cannot be created,
// a dead data pipe, a device whose object could not be created, alerted waits.
#include "StackFixture.h"
#include "decode/IrControl.h"
#include "frame/Device.h"
#include "frame/MinidriverExtension.h"
#include "hid/RequestCount.h"
#include "transfer/DataTransfer.h"
#include "usb/CUsbInterface.h"

#include <atomic>
#include <future>
#include <thread>

using namespace stack;

namespace {

// A filter over the receiver that completes power requests at DISPATCH_LEVEL, as a bus
// driver may from its DPC, and passes everything else on.
class DispatchLevelPowerFilter {
public:
    explicit DispatchLevelPowerFilter(PDEVICE_OBJECT lower) {
        _driver = emu::createDriverObject("filter");
        for (auto& slot : _driver->MajorFunction)
            slot = passOn;
        _driver->MajorFunction[IRP_MJ_POWER] = power;
        _device = emu::createDeviceObject(_driver, sizeof(PDEVICE_OBJECT));
        *static_cast<PDEVICE_OBJECT*>(_device->DeviceExtension) = lower;
        emu::attachDevice(_device, lower);
    }
    ~DispatchLevelPowerFilter() {
        emu::deleteDeviceObject(_device);
        emu::deleteDriverObject(_driver);
    }
    PDEVICE_OBJECT device() const { return _device; }

private:
    static NTSTATUS power(PDEVICE_OBJECT, PIRP irp) {
        emu::ScopedIrql dispatch(DISPATCH_LEVEL);
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    static NTSTATUS passOn(PDEVICE_OBJECT device, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
    }
    PDRIVER_OBJECT _driver;
    PDEVICE_OBJECT _device;
};

class DriverFaultTest : public StackTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(emu::workitems::waitIdle()) << "work items left behind";
        StackTest::TearDown();
        _filter.reset();
    }
    // Brings the stack up over the filter.
    void upOverFilter() {
        _filter = std::make_unique<DispatchLevelPowerFilter>(receiver->pdo());
        ASSERT_EQ(STATUS_SUCCESS, hidclass->load());
        ASSERT_EQ(STATUS_SUCCESS, hidclass->addDevice(_filter->device()));
        ASSERT_EQ(STATUS_SUCCESS, hidclass->start()) << hidclass->lastError();
        ASSERT_TRUE(receiver->waitForWaitingTransfers(kReads));
    }
    Device* device() const { return minidriverExtension(hidclass->fdo())->_p_device; }
    NTSTATUS power(DEVICE_POWER_STATE state) {
        return hidclass->pnp().setDevicePower(state).status;
    }

    std::unique_ptr<DispatchLevelPowerFilter> _filter;
};

// A removal right behind a power-up waits for the restart that the power-up queued, which
// holds the remove lock, before the Device goes.
TEST_F(DriverFaultTest, RemovalWaitsForThePowerUpItFollows) {
    upOverFilter();
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD3));
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD0));
    EXPECT_EQ(STATUS_SUCCESS, hidclass->remove().status);
    EXPECT_EQ(0, emu::workitems::queued());
    EXPECT_TRUE(receiver->waitUntilIdle());
    EXPECT_EQ(0u, receiver->outstandingRequests()) << "no read left at the bus";
}

// A parse thread that leaves at once still lets stop return at once: the clock is frozen,
// so a stop that waited for its 100-second time-out would never return.
TEST_F(DriverFaultTest, AThreadThatCannotRunDoesNotHoldTheStop) {
    up();
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD3));
    DataTransfer* transfer = device()->_p_data_transfer;
    RLC_parse* parser = transfer->_p_rlc_parse;
    transfer->_p_rlc_parse = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD0));
    ASSERT_TRUE(emu::workitems::waitIdle());
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD3));
    EXPECT_TRUE(emu::debuglog::contains("Invalid RLC parser, Quit!"));
    transfer->_p_rlc_parse = parser;
}

// A dead pipe (halted, and its reset fails too) fails every read at once. The thread
// checks the pipe but holds back between resubmissions, so it neither spins a processor
// nor floods the log; a stop still ends it at once.
TEST_F(DriverFaultTest, FailingReadsAreResubmittedAtABoundedRate) {
    up();
    receiver->clearRequests();
    uint64_t mark = emu::debuglog::mark();
    emu::usb::FaultRule noReset;
    noReset.urbFunction = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    noReset.count = -1;
    receiver->injectFault(noReset);
    receiver->stallEndpoint(0x81);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t frozen = receiver->countUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_LT(frozen, 64u) << "resubmissions while no time passes";
    for (int second = 0; second < 10; second++) {
        emu::clock::advance(10000000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    size_t later = receiver->countUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_LT(later - frozen, 200u) << "resubmissions over ten seconds";
    EXPECT_LT(emu::debuglog::linesSince(mark).size(), 4000u);
    EXPECT_TRUE(emu::debuglog::contains("the IR data pipe could not be reset", mark));
    receiver->clearFaults();
    EXPECT_EQ(STATUS_SUCCESS, hidclass->stop().status);
}

// The recovery took the device for gone while its reads still wait at the bus (it is still
// plugged in): the stop inside the surprise removal gets them back with an abort all the
// same, at once, rather than retrying a refused abort every 500 ms for as long as they wait.
TEST_F(DriverFaultTest, SurpriseRemovalOfADeviceTakenForGoneStopsAtOnce) {
    up();
    device()->_p_usb->setSurpriseRemoved();
    const uint64_t mark = emu::debuglog::mark();
    auto removal = hidclass->pnp().sendPnp(IRP_MN_SURPRISE_REMOVAL);
    const bool atOnce = removal.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    receiver->surpriseRemove(); // ends the reads a stop that waits waits for
    EXPECT_TRUE(atOnce) << "the stop waited for reads it did not abort";
    EXPECT_EQ(STATUS_SUCCESS, removal.get().status);
    EXPECT_EQ(1u, emu::debuglog::count("usbabortpipe", mark));
}

// The thread cannot be created, or cannot be referenced: the start leaves no read at the
// bus, no buffer, no thread and no handle behind, and the device answers with no input.
class ThreadStartFailureTest : public DriverFaultTest,
                               public ::testing::WithParamInterface<bool> {};

TEST_P(ThreadStartFailureTest, LeavesNothingBehind) {
    int64_t handles = emu::openHandles();
    if (GetParam())
        emu::threads::failNextReference(STATUS_INVALID_HANDLE);
    else
        emu::threads::failNextCreate(STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(STATUS_SUCCESS, bringUp()) << hidclass->lastError();
    EXPECT_EQ(Started, device()->state());
    EXPECT_TRUE(emu::debuglog::contains("data tansfer start status unsuccessful"));
    EXPECT_EQ(0u, device()->_p_data_transfer->bufferCount());
    EXPECT_TRUE(receiver->waitUntilIdle());
    EXPECT_EQ(0u, receiver->outstandingRequests());
    for (int i = 0; i < 500 && emu::runningSystemThreads() != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(0, emu::runningSystemThreads());
    EXPECT_EQ(handles, emu::openHandles());
}

INSTANTIATE_TEST_SUITE_P(Steps, ThreadStartFailureTest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Reference" : "Create");
});

// Without its Device (first allocation) or power-up work item (second), a device still
// passes power requests to the bus and refuses Plug and Play with STATUS_NO_SUCH_DEVICE.
class WithoutADeviceTest : public DriverFaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(WithoutADeviceTest, PowerStillReachesTheBus) {
    ASSERT_EQ(STATUS_SUCCESS, hidclass->load());
    emu::pool::failNthAllocation(GetParam());
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, hidclass->addDevice(receiver->pdo()));
    emu::pool::clearFaults();
    ASSERT_EQ(nullptr, device());
    EXPECT_EQ(STATUS_SUCCESS, power(PowerDeviceD3));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, hidclass->pnp().pnp(IRP_MN_START_DEVICE).status);
}

INSTANTIATE_TEST_SUITE_P(Allocations, WithoutADeviceTest, ::testing::Values(1, 2));

// An alert ends the wait of a removal's drain early; the drain must go on waiting while a
// read-report request is still counted.
TEST(RequestCountTest, AnAlertDoesNotEndTheWaitForTheLastRequest) {
    RequestCount count;
    count.increment();
    std::atomic<bool> returned{false};
    std::thread drain([&] {
        count.wait();
        returned = true;
    });
    ASSERT_TRUE(emu::threads::waitForAlertableWaiters(1));
    EXPECT_EQ(1, emu::threads::alertWaiters());
    ASSERT_TRUE(emu::threads::waitForAlertableWaiters(1)) << "waiting again after the alert";
    EXPECT_FALSE(returned.load());
    count.decrement();
    drain.join();
    EXPECT_TRUE(returned.load());
}

} // namespace
