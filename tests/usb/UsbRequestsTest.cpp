// Pipe lookup and the synchronous requests: invalid pipes, status mapping, PASSIVE_LEVEL only,
// and the 5-second time-out on the controllable clock, also when the bus keeps a request.
#include "UsbTestSupport.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace usbtest;

namespace {

class UsbRequestsTest : public UsbFixture {};

TEST_F(UsbRequestsTest, InvalidPipesAndRaisedIrqlSendNothing) {
    makeBus();
    usb.emplace(bus->pdo());
    UCHAR data[4] = {};
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->UsbAbortPipe(0, 0)) << "not configured yet";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->UsbSendMcCmd(1, 0, data, sizeof data));
    EXPECT_EQ(0u, emu::debuglog::count("Invalid USB interface", mark))
        << "no interfaces, no message";
    CUsbInterface& u = configured();
    mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, u.GetStatusPipe(0, 1));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbResetPipe(3, 0));
    EXPECT_EQ((std::vector<std::string>{
                  "ravo (error): Invalid USB interface 1",
                  "ravo (error): GetStatusPipe on invalid pipe, interface = 1, pipe = 0",
                  "ravo (error): UsbResetPipe on invalid pipe, interface = 0, pipe = 3"}),
              linesWith(mark, "ravo (error): "));
    for (UCHAR io_error : {0, 1}) {
        u.setIoError(io_error);
        emu::ScopedIrql raised(DISPATCH_LEVEL);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbAbortPipe(0, 0));
        EXPECT_EQ(STATUS_UNSUCCESSFUL, u.GetStatusPipe(0, 0));
        EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbSendMcCmd(1, 0, data, sizeof data));
    }
    EXPECT_EQ(0u, bus->requests().size()) << "nothing reaches the bus";
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
        EXPECT_EQ(c.bus, u.UsbAbortPipe(0, 0)) << std::hex << c.bus;
        EXPECT_EQ(c.device_failure, u.ioError() != 0) << std::hex << c.bus;
    }
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
    EXPECT_EQ(1u, emu::debuglog::count("UsbCall_GSPN : Error Status = c00000b5!!", mark));
    EXPECT_EQ(0u, bus->outstandingRequests()) << "the cancelled request came back first";
    EXPECT_EQ(STATUS_SUCCESS, u.UsbAbortPipe(0, 0)) << "the shared request works again";
}

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
    bool cancel = g_held.load() != nullptr && g_held.load()->Cancel;
    IoReleaseCancelSpinLock(irql);
    return cancel;
}

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
    g_held = nullptr;
}

} // namespace
