// Faults of the device and the bus, the port requests, cancellation of requests the bus
// holds, and teardown.
#include "tests/usbbus/BusHarness.h"

#include <array>
#include <memory>
#include <optional>

using namespace bustest;

namespace {

class BusFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus.emplace();
        ASSERT_EQ(STATUS_SUCCESS, selectFirst(*bus, config));
    }
    void TearDown() override { emu::clock::useRealTime(); }
    void read(Request& r, UCHAR* buffer, ULONG length = 32) {
        bulkUrb(r.urb(), bus->pipeHandle(0x81), buffer, length, true);
        r.submit();
    }
    std::optional<VirtualReceiver> bus;
    std::vector<uint8_t> config;
    UCHAR data[32] = {};
};

TEST_F(BusFaultTest, ScriptedFailuresHitOnlyTheRequestsTheyMatch) {
    FaultRule rule;
    rule.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    rule.endpoint = 0x81;
    rule.status = STATUS_DEVICE_DATA_ERROR;
    rule.usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    bus->injectFault(rule);
    Request out(bus->pdo()), in(bus->pdo());
    bulkUrb(out.urb(), bus->pipeHandle(0x02), data, 4, false);
    out.submit();
    ASSERT_TRUE(out.wait());
    EXPECT_EQ(STATUS_SUCCESS, out.status()) << "another endpoint is not affected";
    read(in, data);
    ASSERT_TRUE(in.wait());
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, in.status()) << "the read fails without waiting for data";
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, in.usbdStatus());
    read(in, data);
    ASSERT_TRUE(bus->waitForWaitingTransfers(1)) << "a rule with count 1 is used up";
    bus->queueInPacket({1});
    ASSERT_TRUE(in.wait());
    EXPECT_EQ(STATUS_SUCCESS, in.status());

    rule.count = -1;
    rule.urbFunction = std::nullopt;
    rule.endpoint = std::nullopt;
    rule.ioControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    rule.status = STATUS_UNSUCCESSFUL;
    bus->injectFault(rule);
    ULONG word = 0xFF;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, portRequest(*bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, portRequest(*bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word))
        << "a negative count lasts until cleared";
    bus->clearFaults();
    EXPECT_EQ(STATUS_SUCCESS, portRequest(*bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ(ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED), word);
}

TEST_F(BusFaultTest, StalledPipeFailsUntilItIsReset) {
    Request r(bus->pdo()), s(bus->pdo());
    read(r, data);
    ASSERT_TRUE(bus->waitForWaitingTransfers(1));
    bus->stallEndpoint(0x81);
    ASSERT_TRUE(r.wait()) << "the waiting read ends with the stall";
    EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status());
    EXPECT_EQ(USBD_STATUS_STALL_PID, r.usbdStatus());
    USHORT word;
    statusUrb(s.urb(), 0x81, &word);
    s.submit();
    ASSERT_TRUE(s.wait());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, s.status()) << "GET_STATUS fails on the stalled pipe";
    read(r, data);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(USBD_STATUS_STALL_PID, r.usbdStatus()) << "later transfers fail too";

    pipeUrb(s.urb(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bus->pipeHandle(0x81));
    s.submit();
    ASSERT_TRUE(s.wait());
    read(r, data);
    bus->queueInPacket({9, 9});
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    EXPECT_EQ(2u, r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
}

TEST_F(BusFaultTest, DisabledPortRecoversOnlyThroughAPortReset) {
    ULONG word = 0;
    bus->setPortState(PortState{false, true});
    EXPECT_EQ(STATUS_SUCCESS, portRequest(*bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ(ULONG(USBD_PORT_CONNECTED), word);
    Request r(bus->pdo());
    UCHAR dev[18];
    descriptorUrb(r.urb(), USB_DEVICE_DESCRIPTOR_TYPE, 0, dev, 18);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, r.status()) << "the device does not answer";

    Request waiting(bus->pdo());
    bus->setPortState(PortState{true, true});
    read(waiting, data);
    ASSERT_TRUE(bus->waitForWaitingTransfers(1));
    bus->setPortState(PortState{false, true});
    bus->queueInPacket({4, 4, 4});
    ASSERT_TRUE(bus->waitUntilIdle());
    EXPECT_FALSE(waiting.isDone()) << "a disabled port delivers nothing";

    EXPECT_EQ(STATUS_SUCCESS, portRequest(*bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr));
    EXPECT_EQ(1, bus->portResets());
    ASSERT_TRUE(waiting.wait()) << "the reset port delivers what was queued";
    EXPECT_EQ(3u, waiting.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_TRUE(bus->configured()) << "the configuration survives the reset";

    bus->setPortState(PortState{false, false});
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED,
              portRequest(*bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, portRequest(*bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ(0u, word);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              portRequest(*bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr));
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, r.status());
}

// The client's synchronous path: wait 5 s, then cancel the request the bus never completes.
TEST_F(BusFaultTest, HeldRequestEndsOnlyWhenTheSenderCancelsItAfterItsTimeOut) {
    FaultRule rule;
    rule.urbFunction = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    rule.neverComplete = true;
    bus->injectFault(rule);
    emu::clock::useManualTime();
    Request r(bus->pdo());
    USHORT word;
    statusUrb(r.urb(), 0x81, &word);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    NTSTATUS waited = STATUS_SUCCESS;
    BOOLEAN cancelled = FALSE;
    std::thread sender([&] {
        EXPECT_EQ(STATUS_PENDING, r.submit());
        LARGE_INTEGER timeout;
        timeout.QuadPart = -50000000;
        waited = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        cancelled = IoCancelIrp(r.irp);
    });
    ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
    ASSERT_TRUE(bus->waitForHeldRequests(1));
    EXPECT_FALSE(r.isDone());
    emu::clock::advance(50000000);
    sender.join();
    EXPECT_EQ(STATUS_TIMEOUT, waited);
    EXPECT_TRUE(cancelled) << "the bus left a cancel routine on the held request";
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_CANCELLED, r.status());
    EXPECT_EQ(USBD_STATUS_CANCELED, r.usbdStatus());
    EXPECT_EQ(1, r.completions);
    EXPECT_EQ(0u, bus->heldRequests());
    EXPECT_FALSE(IoCancelIrp(r.irp)) << "a completed request has nothing left to cancel";
}

TEST_F(BusFaultTest, SurpriseRemovalEndsEverythingOutstandingAndRefusesTheRest) {
    std::vector<std::unique_ptr<Request>> reads;
    std::vector<std::array<UCHAR, 32>> buffers(4);
    for (auto& b : buffers) {
        reads.push_back(std::make_unique<Request>(bus->pdo()));
        read(*reads.back(), b.data());
    }
    FaultRule hold;
    hold.ioControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
    hold.neverComplete = true;
    bus->injectFault(hold);
    Request held(bus->pdo());
    held.send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
    ASSERT_TRUE(bus->waitForWaitingTransfers(4));
    ASSERT_TRUE(bus->waitForHeldRequests(1));

    bus->surpriseRemove();
    for (auto& r : reads) {
        ASSERT_TRUE(r->wait());
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, r->status());
        EXPECT_EQ(USBD_STATUS_DEVICE_GONE, r->usbdStatus());
        EXPECT_EQ(1, r->completions);
    }
    ASSERT_TRUE(held.wait()) << "a held port request ends too";
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, held.status());

    bus->queueInPacket({1, 2});
    EXPECT_EQ(0u, bus->queuedInPackets()) << "a removed device sends nothing";
    read(*reads[0], buffers[0].data());
    ASSERT_TRUE(reads[0]->wait());
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, reads[0]->status()) << "later requests are refused";
    ULONG word = 0xFF;
    EXPECT_EQ(STATUS_SUCCESS, portRequest(*bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ(0u, word) << "nothing connected";
    ASSERT_TRUE(bus->waitUntilIdle());
    EXPECT_EQ(0u, bus->outstandingRequests());
}

TEST_F(BusFaultTest, TeardownCompletesWhatIsStillOutstanding) {
    Request a(bus->pdo()), b(bus->pdo());
    read(a, data);
    FaultRule hold;
    hold.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    hold.neverComplete = true;
    bus->injectFault(hold);
    UCHAR other[4];
    read(b, other, 4);
    ASSERT_TRUE(bus->waitForWaitingTransfers(1));
    ASSERT_TRUE(bus->waitForHeldRequests(1));
    EXPECT_EQ(2u, bus->shutdown()) << "the waiting read and the held one";
    for (Request* r : {&a, &b}) {
        EXPECT_TRUE(r->isDone());
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, r->status());
        EXPECT_EQ(1, r->completions);
    }
    EXPECT_EQ(0u, bus->outstandingRequests());
    EXPECT_EQ(0u, bus->shutdown()) << "a second shutdown finds nothing";
    // After teardown nothing is pended: the bus thread that would complete it is gone.
    read(a, data);
    EXPECT_TRUE(a.isDone());
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, a.status());
}

TEST_F(BusFaultTest, PlugAndPlayAndPowerRequestsSucceedAtThePdo) {
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}) {
        NTSTATUS seen = STATUS_PENDING;
        PIRP irp = emu::allocateWorldIrp(bus->pdo()->StackSize, [&](PIRP done) {
            seen = done->IoStatus.Status;
            IoFreeIrp(done);
        });
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION s = emu::firstStackLocation(irp);
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = minor;
        EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(bus->pdo(), irp));
        EXPECT_EQ(STATUS_SUCCESS, seen);
    }
    EXPECT_EQ(2u, bus->countRequests(RequestKind::Pnp));
}

} // namespace
