// The emulated bus's answers where the driver's own tests do not reach: malformed URBs,
// requests it holds until their sender cancels them, removal and teardown.
#include "tests/usbbus/BusHarness.h"

#include <functional>
#include <memory>
#include <optional>

using namespace bustest;

namespace {

class BusTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(STATUS_SUCCESS, selectFirst(*bus, config)); }
    void read(Request& r) {
        bulkUrb(r.urb(), bus->pipeHandle(0x81), data, sizeof data, true);
        r.submit();
    }
    std::optional<VirtualReceiver> bus{std::in_place};
    std::vector<uint8_t> config;
    UCHAR data[32] = {};
};

struct Malformed {
    const char* name;
    std::function<void(PURB, VirtualReceiver&, UCHAR*)> build;
    USBD_STATUS usbdStatus;
};

const Malformed kMalformed[] = {
    {"HeaderShorterThanItsFunction",
     [](PURB urb, VirtualReceiver& bus, UCHAR* data) {
         bulkUrb(urb, bus.pipeHandle(0x02), data, 8, false);
         urb->UrbHeader.Length = sizeof(struct _URB_HEADER) + 4;
     },
     USBD_STATUS_INVALID_PARAMETER},
    {"UnknownFunction",
     [](PURB urb, VirtualReceiver&, UCHAR*) {
         urb->UrbHeader.Length = sizeof(struct _URB_HEADER);
         urb->UrbHeader.Function = 0x0777;
     },
     USBD_STATUS_INVALID_URB_FUNCTION},
    {"LengthWithoutBuffer",
     [](PURB urb, VirtualReceiver& bus, UCHAR*) {
         bulkUrb(urb, bus.pipeHandle(0x02), nullptr, 8, false);
     },
     USBD_STATUS_INVALID_PARAMETER},
    {"PipeHandleOfNoOpenPipe",
     [](PURB urb, VirtualReceiver&, UCHAR* data) {
         bulkUrb(urb, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), data, 8, true);
     },
     kUsbdStatusInvalidPipeHandle},
};

class BusMalformedTest : public BusTest, public ::testing::WithParamInterface<Malformed> {};

TEST_P(BusMalformedTest, RefusedWithoutMovingData) {
    Request r(bus->pdo());
    bus->queueInPacket({1, 2, 3});
    GetParam().build(r.urb(), *bus, data);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
    EXPECT_EQ(GetParam().usbdStatus, r.usbdStatus());
    EXPECT_EQ(0, data[0]) << "a refused request moves no data";
    EXPECT_EQ(1u, bus->queuedInPackets());
    EXPECT_TRUE(bus->outData(0x02).empty());
}

INSTANTIATE_TEST_SUITE_P(Urbs, BusMalformedTest, ::testing::ValuesIn(kMalformed),
                         [](const ::testing::TestParamInfo<Malformed>& info) {
                             return std::string(info.param.name);
                         });

// A held request (the client's synchronous path cancels it after 5 s) ends only by the cancel.
TEST_F(BusTest, HeldRequestEndsOnceWhenItsSenderCancelsIt) {
    FaultRule hold;
    hold.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    hold.neverComplete = true;
    bus->injectFault(hold);
    Request r(bus->pdo());
    read(r);
    ASSERT_TRUE(bus->waitForHeldRequests(1));
    bus->queueInPacket({1, 2});
    ASSERT_TRUE(bus->waitUntilIdle());
    EXPECT_FALSE(r.isDone()) << "data does not complete a held request";
    EXPECT_TRUE(IoCancelIrp(r.irp)) << "the bus left a cancel routine on the held request";
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_CANCELLED, r.status());
    EXPECT_EQ(USBD_STATUS_CANCELED, r.usbdStatus());
    EXPECT_EQ(1, r.completions);
    EXPECT_EQ(0u, bus->heldRequests());
    EXPECT_FALSE(IoCancelIrp(r.irp)) << "a completed request has nothing left to cancel";
    EXPECT_EQ(1u, bus->queuedInPackets()) << "the cancelled request took no data";
}

TEST_F(BusTest, SurpriseRemovalEndsEverythingOutstandingAndRefusesTheRest) {
    std::vector<std::unique_ptr<Request>> reads;
    for (int i = 0; i < 3; ++i) {
        reads.push_back(std::make_unique<Request>(bus->pdo()));
        read(*reads.back());
    }
    FaultRule hold;
    hold.ioControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    hold.neverComplete = true;
    bus->injectFault(hold);
    Request held(bus->pdo());
    ULONG portBits = 0;
    held.send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portBits);
    ASSERT_TRUE(bus->waitForWaitingTransfers(3));
    ASSERT_TRUE(bus->waitForHeldRequests(1));
    bus->surpriseRemove();
    reads.push_back(std::make_unique<Request>(bus->pdo()));
    read(*reads.back());
    for (auto* r : {reads[0].get(), reads[1].get(), reads[2].get(), reads[3].get(), &held}) {
        ASSERT_TRUE(r->wait());
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, r->status());
        EXPECT_EQ(1, r->completions);
    }
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, reads[3]->usbdStatus()) << "later requests are refused";
    bus->queueInPacket({1, 2});
    EXPECT_EQ(0u, bus->queuedInPackets()) << "a removed device sends nothing";
    ASSERT_TRUE(bus->waitUntilIdle());
    EXPECT_EQ(0u, bus->outstandingRequests());
}

TEST_F(BusTest, TeardownCompletesWhatIsStillOutstandingOnce) {
    Request waiting(bus->pdo()), held(bus->pdo());
    read(waiting);
    FaultRule hold;
    hold.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    hold.neverComplete = true;
    bus->injectFault(hold);
    read(held);
    ASSERT_TRUE(bus->waitForWaitingTransfers(1));
    ASSERT_TRUE(bus->waitForHeldRequests(1));
    EXPECT_EQ(2u, bus->shutdown());
    for (Request* r : {&waiting, &held}) {
        EXPECT_TRUE(r->isDone());
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, r->status());
        EXPECT_EQ(1, r->completions);
    }
    EXPECT_EQ(0u, bus->shutdown()) << "a second shutdown finds nothing";
    read(waiting);
    EXPECT_TRUE(waiting.isDone()) << "with the bus thread gone nothing is pended";
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, waiting.status());
}

} // namespace
