// The driver where its own design left it exposed: power completions at DISPATCH_LEVEL,
// a removal right behind a power-up, a parse thread that cannot run or cannot be created,
// a dead data pipe, a stall, reads failing now and then, a device whose object could not
// be created.
#include "StackFixture.h"
#include "decode/IrControl.h"
#include "frame/Device.h"
#include "frame/MinidriverExtension.h"
#include "transfer/DataTransfer.h"
#include "usb/CUsbInterface.h"

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

// A parse thread that leaves at once (no parser, no decoder, no memory for its samples)
// still lets stop return at once: the clock is frozen, so a stop that waited for its
// 100-second time-out would never return.
enum class Lacking { Parser, Decoder, SampleMemory };
class ThreadCannotRunTest : public DriverFaultTest,
                            public ::testing::WithParamInterface<Lacking> {};

TEST_P(ThreadCannotRunTest, DoesNotHoldTheStop) {
    up();
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD3));
    DataTransfer* transfer = device()->_p_data_transfer;
    RLC_parse* parser = transfer->_p_rlc_parse;
    IR_Protocol* decoder = transfer->_p_protocol;
    if (GetParam() == Lacking::Parser)
        transfer->_p_rlc_parse = nullptr;
    else if (GetParam() == Lacking::Decoder)
        transfer->_p_protocol = nullptr;
    else
        emu::pool::failAllocationsOfSize(80); // the samples of one packet, 40 of 2 bytes
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD0));
    ASSERT_TRUE(emu::workitems::waitIdle());
    ASSERT_TRUE(waitForNoSystemThread()) << "the thread left at once";
    emu::pool::clearFaults();
    ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD3));
    const char* said[] = {"Invalid RLC parser", "Invalid protocol parser",
                          "Failed to create IR data"};
    EXPECT_TRUE(emu::debuglog::contains(said[static_cast<int>(GetParam())]));
    transfer->_p_rlc_parse = parser;
    transfer->_p_protocol = decoder;
}

INSTANTIATE_TEST_SUITE_P(Lacks, ThreadCannotRunTest,
                         ::testing::Values(Lacking::Parser, Lacking::Decoder,
                                           Lacking::SampleMemory));

// A dead pipe (halted, and its reset fails too) fails every read at once. The thread
// checks the pipe but holds back between resubmissions, so it neither spins a processor
// nor floods the log; a stop still ends it at once. So too after a sleep, whose stop
// signalled the thread to end any back-off at once: the wake must take that back.
class DeadPipeTest : public DriverFaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeadPipeTest, FailingReadsAreResubmittedAtABoundedRate) {
    up();
    if (GetParam()) {
        ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD3));
        ASSERT_EQ(STATUS_SUCCESS, power(PowerDeviceD0));
        ASSERT_TRUE(receiver->waitForWaitingTransfers(kReads));
    }
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

INSTANTIATE_TEST_SUITE_P(Starts, DeadPipeTest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "AfterAWake" : "First");
});

// A stall between keys: one recovery (abort, pipe reset) and the next key comes at once, on
// a frozen clock, so with no back-off: the reads the abort brought back failed on the pipe
// as it was before its reset, and count for nothing after it. So too when GET_STATUS denies
// the halt: the round of failed reads alone gets the pipe reset.
class StallTest : public DriverFaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StallTest, BetweenKeysCostsOneRecoveryAndNoKey) {
    up();
    press(0x16);
    receiver->stallEndpoint(0x81, STATUS_SUCCESS, !GetParam());
    press(0x54);
    EXPECT_EQ(4u, reports().size());
    EXPECT_EQ(1u, receiver->countUrbs(URB_FUNCTION_ABORT_PIPE));
    EXPECT_EQ(1u, receiver->countUrbs(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL));
    if (GetParam()) {
        EXPECT_TRUE(emu::debuglog::contains("fails every read")) << "GET_STATUS hid the halt";
    }
}

INSTANTIATE_TEST_SUITE_P(EndpointStatus, StallTest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "HaltDenied" : "HaltShown");
});

// A read failed now and then among good ones (a host controller short of resources fails a
// transfer without halting the pipe) is no dead pipe, however often it happens over time:
// the good reads between end each run of failures, and the pipe is never taken down.
TEST_F(DriverFaultTest, ReadsFailingNowAndThenAmongKeysNeverTakeThePipeDown) {
    up();
    emu::usb::FaultRule busy;
    busy.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    busy.status = STATUS_INSUFFICIENT_RESOURCES;
    busy.usbdStatus = static_cast<USBD_STATUS>(0xC0001000); // USBD_STATUS_INSUFFICIENT_RESOURCES
    for (size_t round = 0; round <= kReads; round++) {
        receiver->injectFault(busy); // the next read sent
        press(0x16);
    }
    size_t failed = 0;
    for (const auto& r : receiver->requests())
        failed += r.status == STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(kReads + 1, failed) << "a failed read a round";
    EXPECT_EQ(2 * (kReads + 1), reports().size());
    EXPECT_EQ(0u, receiver->countUrbs(URB_FUNCTION_ABORT_PIPE));
}

// The recovery took the device for gone while its reads still wait at the bus (it is still
// plugged in): the stop inside the surprise removal gets them back with an abort all the
// same, at once, rather than retrying a refused abort every 500 ms for as long as they wait.
// The read that a packet ended cannot be sent again, which ends the parse thread: its
// buffer must still be there for the stop to free.
TEST_F(DriverFaultTest, SurpriseRemovalOfADeviceTakenForGoneStopsAtOnce) {
    up();
    device()->_p_usb->setSurpriseRemoved();
    receiver->queueInPacket({0x80});
    ASSERT_TRUE(waitForNoSystemThread());
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
    EXPECT_TRUE(waitForNoSystemThread());
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

} // namespace
