// Pipe lookup and the synchronous requests: invalid pipes, status mapping, PASSIVE_LEVEL only,
// and the 5-second time-out on the controllable clock, also when the bus keeps a request.
#include "UsbTestSupport.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace usbtest;

class UsbRequestsTest : public UsbFixture {};

TEST_F(UsbRequestsTest, UnconfiguredInterfaceFindsNoPipeWithoutInterfaceMessage) {
    makeBus();
    usb.emplace(bus->pdo());
    uint64_t mark = emu::debuglog::mark();
    UCHAR data[4] = {};
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->UsbAbortPipe(0, 0));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->UsbResetPipe(0, 0));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->GetStatusPipe(0, 0));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->UsbSendMcCmd(1, 0, data, sizeof data));
    EXPECT_EQ(1u, countSince(mark, "usbabortpipe"));
    EXPECT_EQ(1u, countSince(
                      mark, "ravo (error): UsbAbortPipe on invalid pipe, interface = 0, pipe = 0"));
    EXPECT_EQ(1u, countSince(
                      mark, "ravo (error): UsbResetPipe on invalid pipe, interface = 0, pipe = 0"));
    EXPECT_EQ(
        1u,
        countSince(mark, "ravo (error): GetStatusPipe on invalid pipe, interface = 0, pipe = 0"));
    EXPECT_EQ(1u, countSince(
                      mark, "ravo (error): UsbSendMcCmd on invalid pipe, interface = 0, pipe = 1"));
    EXPECT_EQ(0u, countSince(mark, "Invalid USB interface"));
    EXPECT_EQ(0u, bus->requests().size());
}

TEST_F(UsbRequestsTest, OutOfRangeInterfaceAndPipeAreRefusedWithTheirMessages) {
    CUsbInterface& u = configured();
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, u.GetStatusPipe(0, 1));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, u.GetStatusPipe(3, 0));
    auto lines = linesWith(mark, "ravo (error): ");
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("ravo (error): Invalid USB interface 1", lines[0]);
    EXPECT_EQ("ravo (error): GetStatusPipe on invalid pipe, interface = 1, pipe = 0", lines[1]);
    EXPECT_EQ("ravo (error): GetStatusPipe on invalid pipe, interface = 0, pipe = 3", lines[2]);
}

// Every failure reaches the caller; only the three that point at the device arm the
// recovery.
TEST_F(UsbRequestsTest, FailuresReachTheCallerAndOnlyDeviceFailuresArmRecovery) {
    CUsbInterface& u = configured();
    struct {
        NTSTATUS bus;
        bool device_failure;
    } cases[] = {{STATUS_UNSUCCESSFUL, false},
                 {STATUS_CANCELLED, false},
                 {STATUS_DEVICE_DATA_ERROR, true},
                 {STATUS_DEVICE_NOT_CONNECTED, true}};
    for (const auto& c : cases) {
        u.setIoError(0);
        FaultRule f;
        f.urbFunction = URB_FUNCTION_ABORT_PIPE;
        f.status = c.bus;
        bus->injectFault(f);
        uint64_t mark = emu::debuglog::mark();
        EXPECT_EQ(c.bus, u.UsbAbortPipe(0, 0)) << std::hex << c.bus;
        EXPECT_EQ(c.device_failure, u.ioError() != 0) << std::hex << c.bus;
        EXPECT_EQ(c.device_failure ? 1u : 0u,
                  countSince(mark, "CUsbInterface::UsbCall_GSPN : Error Status ="));
    }
}

TEST_F(UsbRequestsTest, AbovePassiveLevelNothingIsSent) {
    CUsbInterface& u = configured();
    UCHAR data[4] = {};
    for (UCHAR io_error : {0, 1}) {
        u.setIoError(io_error);
        emu::ScopedIrql raised(DISPATCH_LEVEL);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbAbortPipe(0, 0));
        EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbResetPipe(1, 0));
        EXPECT_EQ(STATUS_UNSUCCESSFUL, u.GetStatusPipe(0, 0));
        EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbSendMcCmd(1, 0, data, sizeof data));
    }
    EXPECT_EQ(0u, bus->requests().size()) << "no request reaches the bus above PASSIVE_LEVEL";
}

// Time-outs run threads: the submitting thread blocks while the test moves the clock.
class UsbTimeoutConcurrencyTest : public UsbFixture {
protected:
    void SetUp() override {
        UsbFixture::SetUp();
        emu::clock::useManualTime();
    }
    void TearDown() override {
        emu::clock::useRealTime();
        UsbFixture::TearDown();
    }
};

TEST_F(UsbTimeoutConcurrencyTest, UnansweredRequestIsCancelledAfterFiveSeconds) {
    CUsbInterface& u = configured();
    FaultRule hold;
    hold.urbFunction = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    hold.neverComplete = true;
    bus->injectFault(hold);
    uint64_t mark = emu::debuglog::mark();
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread caller([&] { result = u.GetStatusPipe(0, 0); });
    ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
    emu::clock::advance(49999999);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(STATUS_PENDING, result.load()) << "not before 5 seconds";
    emu::clock::advance(1);
    caller.join();
    EXPECT_EQ(STATUS_IO_TIMEOUT, result.load());
    EXPECT_NE(0, u.ioError());
    EXPECT_EQ(
        1u,
        countSince(mark, "ravo (error): CUsbInterface::UsbCall_GSPN : Error Status = c00000b5!!"));
    EXPECT_EQ(0u, bus->outstandingRequests())
        << "the cancelled request came back before the return";
    EXPECT_EQ(STATUS_SUCCESS, u.UsbAbortPipe(0, 0)) << "the shared request works again";
}

namespace {

// A bus that keeps every request, with no cancel routine, until the test completes it.
std::atomic<PIRP> g_held{nullptr};

NTSTATUS holdRequest(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_held = irp;
    return STATUS_PENDING;
}

bool cancelRequested() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    bool cancel = g_held.load()->Cancel;
    IoReleaseCancelSpinLock(irql);
    return cancel;
}

} // namespace

TEST_F(UsbTimeoutConcurrencyTest, RequestTheBusKeepsIsNeverReusedBeforeItComesBack) {
    PDRIVER_OBJECT driver = emu::createDriverObject("stubborn");
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = holdRequest;
    PDEVICE_OBJECT pdo = emu::createDeviceObject(driver, 0);
    usb.emplace(pdo);
    usb->_p_irp = IoAllocateIrp(pdo->StackSize, FALSE);
    struct _URB_PIPE_REQUEST request = {};
    request.Hdr.Length = sizeof request;
    request.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread caller([&] { result = usb->UsbSubmitUrb(reinterpret_cast<PURB>(&request)); });
    ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
    emu::clock::advance(50000000);
    for (int i = 0; i < 5000 && !cancelRequested(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(cancelRequested()) << "the timed-out request is cancelled";
    emu::clock::advance(500000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(STATUS_PENDING, result.load()) << "no return while the bus holds request and URB";
    g_held.load()->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(g_held.load(), IO_NO_INCREMENT);
    caller.join();
    EXPECT_EQ(STATUS_IO_TIMEOUT, result.load());
    usb.reset();
    emu::deleteDeviceObject(pdo);
    emu::deleteDriverObject(driver);
}
