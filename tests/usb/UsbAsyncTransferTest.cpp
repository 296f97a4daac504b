// Asynchronous transfers: reads completed by the bus thread into their callbacks, request
// reuse, I/O errors and the recovery before the next transfer, isochronous packets, and
// transfers refused before anything is written.
#include "UsbTestSupport.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using namespace usbtest;

namespace {

struct Completion {
    UsbTransferContext* context;
    NTSTATUS status;
    ULONG length;
    KIRQL irql;
    std::thread::id thread;
    std::vector<uint8_t> bytes;
};

// Collects callbacks from whatever thread the bus completes on.
struct Recorder {
    static void callback(PVOID self, NTSTATUS status, ULONG length, UsbTransferContext* context) {
        auto* r = static_cast<Recorder*>(self);
        auto* data = static_cast<const uint8_t*>(r->buffers.at(context));
        std::lock_guard<std::mutex> guard(r->lock);
        r->done.push_back({context, status, length, KeGetCurrentIrql(), std::this_thread::get_id(),
                           std::vector<uint8_t>(data, data + (length < 128 ? length : 128))});
        r->changed.notify_all();
    }
    bool waitFor(size_t n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(5), [&] { return done.size() >= n; });
    }
    void attach(Transfer& t) {
        t.ctx.callback = callback;
        t.ctx.callback_context = this;
        buffers[&t.ctx] = t.data;
    }
    std::map<UsbTransferContext*, void*> buffers;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Completion> done;
};

ReceiverDescription isoAndControlSpec() {
    ReceiverDescription model = mceReceiverModel();
    model.configurations[0].interfaces[0].endpoints = {{0x81, kIsochronous, 32, 1},
                                                       {0x82, kIsochronous, 0, 1},
                                                       {0x03, kControl, 8, 0},
                                                       {0x04, kBulk, 64, 0}};
    return model;
}

} // namespace

class UsbAsyncConcurrencyTest : public UsbFixture {};

TEST_F(UsbAsyncConcurrencyTest, ReadsCompleteOnTheBusThreadAndRequestsAreReused) {
    CUsbInterface& u = configured();
    Recorder rec;
    std::vector<std::unique_ptr<Transfer>> reads;
    uint64_t allocations = emu::pool::stats(RAVO_POOL_TAG).totalAllocations;
    for (int i = 0; i < 16; ++i) {
        reads.push_back(std::make_unique<Transfer>(bus->pdo()->StackSize));
        rec.attach(*reads.back());
        ASSERT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, reads.back()->data, 32, &reads.back()->ctx));
    }
    ASSERT_TRUE(bus->waitForWaitingTransfers(16));
    bus->queueInPacket({0x9F, 0x01, 0x02});
    bus->queueInPacket(std::vector<uint8_t>(40, 0x7E)); // longer than one read: split in two
    ASSERT_TRUE(rec.waitFor(3));
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        EXPECT_EQ((std::vector<uint8_t>{0x9F, 0x01, 0x02}), rec.done[0].bytes);
        EXPECT_EQ(32u, rec.done[1].length);
        EXPECT_EQ(8u, rec.done[2].length);
        for (const Completion& c : rec.done) {
            EXPECT_EQ(STATUS_SUCCESS, c.status);
            EXPECT_EQ(DISPATCH_LEVEL, c.irql) << "callbacks run at completion level";
            EXPECT_NE(std::this_thread::get_id(), c.thread) << "completed by the bus thread";
            EXPECT_EQ(&u, c.context->usb);
            EXPECT_EQ(32u, c.context->length);
            EXPECT_EQ(c.length, c.context->irp->IoStatus.Information);
        }
    }
    // The three requests go out again; then the abort brings back all sixteen.
    std::vector<UsbTransferContext*> again;
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        for (int i = 0; i < 3; ++i)
            again.push_back(rec.done[i].context);
    }
    for (UsbTransferContext* context : again)
        EXPECT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, rec.buffers.at(context), 32, context));
    EXPECT_EQ(STATUS_SUCCESS, u.UsbAbortPipe(0, 0));
    ASSERT_TRUE(rec.waitFor(19));
    std::lock_guard<std::mutex> guard(rec.lock);
    std::map<UsbTransferContext*, int> perContext;
    for (size_t i = 3; i < rec.done.size(); ++i) {
        EXPECT_EQ(STATUS_CANCELLED, rec.done[i].status);
        EXPECT_EQ(1, ++perContext[rec.done[i].context]) << "one callback per transfer";
    }
    EXPECT_EQ(16u, perContext.size());
    EXPECT_EQ(allocations + 1, emu::pool::stats(RAVO_POOL_TAG).totalAllocations)
        << "transfers allocate nothing; the abort allocates its URB";
}

TEST_F(UsbAsyncConcurrencyTest, DataErrorSetsTheFlagAndNextReadChecksThePipeFirst) {
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize);
    rec.attach(t);
    FaultRule broken;
    broken.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    broken.status = STATUS_DEVICE_DATA_ERROR;
    bus->injectFault(broken);
    uint64_t mark = emu::debuglog::mark();
    u.UsbAsyncIo(0, 0, t.data, 32, &t.ctx);
    ASSERT_TRUE(rec.waitFor(1));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rec.done[0].status);
    EXPECT_NE(0, u.ioError());
    EXPECT_EQ(
        1u, countSince(
                mark, "ravo (error): CUsbInterface::UsbReadComplete() : STATUS_DEVICE_DATA_ERROR"));

    bus->clearRequests();
    EXPECT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, t.data, 32, &t.ctx));
    auto log = bus->requests();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, log[0].urbFunction);
    EXPECT_EQ(0x81, *log[0].endpoint);
    EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, log[1].urbFunction);
    u.UsbAbortPipe(0, 0);
    ASSERT_TRUE(rec.waitFor(2));
}

TEST_F(UsbAsyncConcurrencyTest, IsochronousTransferReportsFirstFailedPacket) {
    makeBus(isoAndControlSpec());
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, GET_ISO_URB_SIZE(3));
    rec.attach(t);
    bus->queueInPacket(std::vector<uint8_t>(100, 0x11));
    FaultRule second;
    second.urbFunction = URB_FUNCTION_ISOCH_TRANSFER;
    second.isoPacketStatus = {USBD_STATUS_SUCCESS, USBD_STATUS_STALL_PID};
    bus->injectFault(second);
    EXPECT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, t.data, 100, &t.ctx));
    ASSERT_TRUE(rec.waitFor(1));
    EXPECT_EQ(USBD_STATUS_STALL_PID, rec.done[0].status);
    EXPECT_EQ(32u, rec.done[0].length) << "the first packet alone";
    EXPECT_EQ(96u, t.ctx.length);
    auto iso = urbs(URB_FUNCTION_ISOCH_TRANSFER);
    ASSERT_EQ(1u, iso.size());
    EXPECT_EQ(188, iso[0].urbLength);
    EXPECT_EQ(3u, iso[0].isoPackets);
    EXPECT_EQ(7u, iso[0].transferFlags);
    for (ULONG i = 0; i < 3; ++i)
        EXPECT_EQ(32 * i, t.ctx.urb->UrbIsochronousTransfer.IsoPacket[i].Offset);
}

class UsbAsyncTransferTest : public UsbFixture {};

TEST_F(UsbAsyncTransferTest, TransfersThatCannotBeBuiltAreRefusedBeforeAnythingIsWritten) {
    makeBus(isoAndControlSpec());
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, 128); // a read buffer's URB area
    rec.attach(t);
    std::vector<UCHAR> before(t.urbMemory, t.urbMemory + sizeof t.urbMemory);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, u.UsbAsyncIo(0, 0, t.data, 100, &t.ctx))
        << "3 packets need 188 bytes";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, u.UsbAsyncIo(1, 0, t.data, 100, &t.ctx))
        << "packet size 0 has no whole packet";
    t.ctx.urb_size = sizeof t.urbMemory;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, u.UsbAsyncIo(0, 0, t.data, 31, &t.ctx))
        << "less than one packet";
    t.ctx.urb_size = 127;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, u.UsbAsyncIo(3, 0, t.data, 32, &t.ctx))
        << "a bulk request block needs 128 bytes";
    EXPECT_EQ(before, std::vector<UCHAR>(t.urbMemory, t.urbMemory + sizeof t.urbMemory));
    EXPECT_EQ(nullptr, t.ctx.usb);
    t.ctx.urb_size = 128;
    u.setSurpriseRemoved();
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, u.UsbAsyncIo(3, 0, t.data, 32, &t.ctx));
    EXPECT_EQ(
        1u, countSince(mark,
                       "ravo (error): CUsbInterface::UsbCall_GSPN() : Device Surprise Removal!!"));
    EXPECT_TRUE(bus->requests().empty());
    EXPECT_TRUE(rec.done.empty()) << "a refusal calls no callback";
}

TEST_F(UsbAsyncTransferTest, ControlPipeEndsInTheCallbackWithTheRequestedLength) {
    makeBus(isoAndControlSpec());
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize);
    rec.attach(t);
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbAsyncIo(2, 0, t.data, 20, &t.ctx));
    EXPECT_EQ(1u,
              countSince(mark, "ravo (error): UsbSendMcCmd: invalid pipe type.  Pipe type = 0"));
    ASSERT_EQ(1u, rec.done.size());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rec.done[0].status);
    EXPECT_EQ(20u, rec.done[0].length);
}
