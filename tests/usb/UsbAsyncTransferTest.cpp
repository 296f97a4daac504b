// Asynchronous transfers: completions into callbacks, lengths capped, request reuse, I/O
// errors, isochronous packets, and transfers refused before anything is written.
#include "UsbTestSupport.h"

#include <map>
#include <memory>

using namespace usbtest;

namespace {

ReceiverDescription isoAndControlModel() {
    ReceiverDescription model = mceReceiverModel();
    model.configurations[0].interfaces[0].endpoints = {{0x81, kIsochronous, 32, 1},
                                                       {0x82, kIsochronous, 0, 1},
                                                       {0x03, kControl, 8, 0},
                                                       {0x04, kBulk, 64, 0}};
    return model;
}

class UsbAsyncConcurrencyTest : public UsbFixture {};

TEST_F(UsbAsyncConcurrencyTest, ReadsCompleteAtDispatchLevelAndAnAbortBringsEveryOneBack) {
    CUsbInterface& u = configured();
    Recorder rec;
    std::vector<std::unique_ptr<Transfer>> reads;
    uint64_t allocations = emu::pool::stats(RAVO_POOL_TAG).totalAllocations;
    for (int i = 0; i < 16; ++i) {
        reads.push_back(std::make_unique<Transfer>(bus->pdo()->StackSize, rec));
        ASSERT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, reads.back()->data, 32, &reads.back()->ctx));
    }
    ASSERT_TRUE(bus->waitForWaitingTransfers(16));
    bus->queueInPacket({0x9F, 0x01, 0x02});
    bus->queueInPacket(std::vector<uint8_t>(40, 0x7E)); // longer than one read: split in two
    ASSERT_TRUE(rec.waitFor(3));
    std::vector<UsbTransferContext*> again;
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        const ULONG lengths[] = {3, 32, 8};
        for (int i = 0; i < 3; ++i) {
            const Completion& c = rec.done[i];
            EXPECT_EQ(STATUS_SUCCESS, c.status);
            EXPECT_EQ(lengths[i], c.length);
            EXPECT_EQ(DISPATCH_LEVEL, c.irql) << "callbacks run at completion level";
            EXPECT_EQ(c.length, c.context->irp->IoStatus.Information);
            again.push_back(c.context);
        }
    }
    for (UsbTransferContext* context : again) {                   // the requests are reused at once
        UCHAR* data = reinterpret_cast<Transfer*>(context)->data; // ctx is its first member
        EXPECT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, data, 32, context));
    }
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

// A CRC error halts the host's side of the pipe while the endpoint reports no Halt: the
// next read resets the pipe whatever GET_STATUS says, or it would fail on the halted pipe.
TEST_F(UsbAsyncConcurrencyTest, DataErrorSetsTheFlagAndOnlyTheNextReadResetsThePipeFirst) {
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, rec);
    FaultRule broken;
    broken.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    broken.status = STATUS_DEVICE_DATA_ERROR;
    broken.usbdStatus = kUsbdStatusCrc;
    bus->injectFault(broken);
    u.UsbAsyncIo(0, 0, t.data, 32, &t.ctx);
    ASSERT_TRUE(rec.waitFor(1));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, rec.done[0].status);
    EXPECT_NE(0, u.ioError());
    EXPECT_TRUE(bus->isHalted(0x81) && !bus->isStalled(0x81));
    bus->clearRequests();
    EXPECT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, t.data, 32, &t.ctx));
    std::vector<USHORT> sent;
    for (const RequestRecord& r : bus->requests())
        sent.push_back(r.urbFunction);
    EXPECT_EQ((std::vector<USHORT>{URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, URB_FUNCTION_ABORT_PIPE,
                                   URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                   URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER}),
              sent);
    EXPECT_FALSE(bus->isHalted(0x81));
    EXPECT_EQ(0, u.ioError()) << "recovered: later reads go straight to the bus";
    Transfer next(bus->pdo()->StackSize, rec);
    bus->clearRequests();
    EXPECT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, next.data, 32, &next.ctx));
    EXPECT_EQ(1u, bus->requests().size());
    u.UsbAbortPipe(0, 0);
    ASSERT_TRUE(rec.waitFor(3));
}

TEST_F(UsbAsyncConcurrencyTest, IsochronousTransferReportsUpToTheFirstFailedPacket) {
    makeBus(isoAndControlModel());
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, rec, GET_ISO_URB_SIZE(3));
    bus->queueInPacket(std::vector<uint8_t>(100, 0x11));
    FaultRule second;
    second.urbFunction = URB_FUNCTION_ISOCH_TRANSFER;
    second.isoPacketStatus = {USBD_STATUS_SUCCESS, USBD_STATUS_STALL_PID};
    bus->injectFault(second);
    EXPECT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, t.data, 100, &t.ctx));
    ASSERT_TRUE(rec.waitFor(1));
    EXPECT_EQ(USBD_STATUS_STALL_PID, rec.done[0].status);
    EXPECT_EQ(32u, rec.done[0].length) << "the first packet alone";
    EXPECT_EQ(96u, t.ctx.length) << "whole packets only";
    auto iso = urbs(URB_FUNCTION_ISOCH_TRANSFER);
    ASSERT_EQ(1u, iso.size());
    EXPECT_EQ(GET_ISO_URB_SIZE(3), iso[0].urbLength);
    EXPECT_EQ(3u, iso[0].isoPackets);
    // A bus claiming more packets than the URB's Length holds records for.
    auto& records = t.ctx.urb->UrbIsochronousTransfer;
    for (ULONG i = 0; i < 3; ++i) {
        records.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
        records.IsoPacket[i].Length = 32;
    }
    records.NumberOfPackets = 200;
    u.UsbIsoComplete(t.ctx.irp, &t.ctx);
    ASSERT_TRUE(rec.waitFor(2));
    EXPECT_EQ(USBD_STATUS_SUCCESS, rec.done[1].status) << "no packet record read past the URB";
    EXPECT_EQ(96u, rec.done[1].length);
}

class UsbAsyncTransferTest : public UsbFixture {};

// Windows' documentation of IOCTL_INTERNAL_USB_RESET_PORT: cancel all I/O and wait for it
// first. The emulated bus stops the process on a reset with a read still at it.
TEST_F(UsbAsyncTransferTest, ThePortIsResetOnlyOnceEveryTransferIsBack) {
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, rec);
    ASSERT_EQ(STATUS_PENDING, u.UsbAsyncIo(0, 0, t.data, 32, &t.ctx));
    EXPECT_EQ(STATUS_DEVICE_BUSY, u.ResetParentPort());
    EXPECT_FALSE(u.waitForTransfers(0)) << "the read waits for data";
    EXPECT_EQ(STATUS_SUCCESS, u.UsbAbortPipe(0, 0));
    EXPECT_TRUE(u.waitForTransfers(5000));
    EXPECT_EQ(STATUS_SUCCESS, u.ResetParentPort());
    EXPECT_EQ(1, bus->portResets());
}

TEST_F(UsbAsyncTransferTest, TransfersThatCannotBeBuiltAreRefusedBeforeAnythingIsWritten) {
    makeBus(isoAndControlModel());
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, rec, 128); // a read buffer's URB area
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
    t.ctx.urb_size = 128;
    u.setSurpriseRemoved();
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, u.UsbAsyncIo(3, 0, t.data, 32, &t.ctx));
    EXPECT_TRUE(bus->requests().empty());
    EXPECT_TRUE(rec.done.empty()) << "a refusal calls no callback";
}

// A bus that reports more than was asked for must not make the driver hand more on.
TEST_F(UsbAsyncTransferTest, ReportedLengthIsCappedToTheRequestedOne) {
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, rec);
    t.ctx.length = 16;
    t.ctx.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    t.ctx.irp->IoStatus.Status = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_MORE_PROCESSING_REQUIRED, u.UsbReadComplete(t.ctx.irp, &t.ctx));
    ASSERT_EQ(1u, rec.done.size());
    EXPECT_EQ(16u, rec.done[0].length);
    EXPECT_EQ(16u, t.ctx.irp->IoStatus.Information);
}

// A pipe of neither kind ends synchronously, in the callback, with the requested length.
TEST_F(UsbAsyncTransferTest, ControlPipeEndsInTheCallbackWithTheRequestedLength) {
    makeBus(isoAndControlModel());
    CUsbInterface& u = configured();
    Recorder rec;
    Transfer t(bus->pdo()->StackSize, rec);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, u.UsbAsyncIo(2, 0, t.data, 20, &t.ctx)) << "not a bulk pipe";
    ASSERT_EQ(1u, rec.done.size());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rec.done[0].status);
    EXPECT_EQ(20u, rec.done[0].length);
}

} // namespace
