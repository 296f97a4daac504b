// The emulated bus's answers where the driver's own tests do not reach: malformed URBs,
// requests it holds until their sender cancels them, wire errors that halt a pipe, the
// PDO's Plug and Play and power state, removal and teardown.
#include "emu/kernel/PnpManager.h"
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

// A wire error halts the host's side of the pipe: reads still waiting take no data, later
// ones fail at once, until the pipe is reset.
struct WireFault {
    const char* name;
    std::function<void(VirtualReceiver&)> strike;
    NTSTATUS status;
    USBD_STATUS usbd;
};

const WireFault kWireFaults[] = {
    {"Stall", [](VirtualReceiver& b) { b.stallEndpoint(0x81); }, STATUS_UNSUCCESSFUL,
     USBD_STATUS_STALL_PID},
    {"Crc", [](VirtualReceiver& b) { b.transactionErrors(0x81, 1, kUsbdStatusCrc); },
     STATUS_DEVICE_DATA_ERROR, kUsbdStatusCrc},
};

class BusWireFaultTest : public BusTest, public ::testing::WithParamInterface<WireFault> {};

TEST_P(BusWireFaultTest, HaltsThePipeUntilItIsReset) {
    Request first(bus->pdo()), second(bus->pdo()), later(bus->pdo());
    read(first);
    read(second);
    ASSERT_TRUE(bus->waitForWaitingTransfers(2));
    GetParam().strike(*bus);
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(GetParam().status, first.status());
    EXPECT_EQ(GetParam().usbd, first.usbdStatus());
    bus->queueInPacket({1, 2, 3});
    ASSERT_TRUE(bus->waitUntilIdle());
    EXPECT_FALSE(second.isDone()) << "a read waiting on a halted pipe takes no data";
    read(later);
    ASSERT_TRUE(later.wait());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, later.status());
    EXPECT_EQ(kUsbdStatusEndpointHalted, later.usbdStatus());
    pipeUrb(later.urb(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bus->pipeHandle(0x81));
    later.submit();
    ASSERT_TRUE(later.wait() && second.wait());
    EXPECT_EQ(STATUS_SUCCESS, second.status()) << "the waiting read goes on after the reset";
    EXPECT_EQ(3u, second.transferred());
}

INSTANTIATE_TEST_SUITE_P(Faults, BusWireFaultTest, ::testing::ValuesIn(kWireFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// The hub's answer to a URB for a device that Plug and Play or power put out of reach,
// after the PDO got the row's requests (Plug and Play minor codes; kD0 + n: set power Dn).
constexpr ULONG kD0 = 0x100;
enum Answer { kAnswered, kGone, kAsleep };
struct PdoState {
    const char* name;
    std::vector<ULONG> requests;
    Answer answer;
};

const PdoState kPdoStates[] = {
    {"NotStarted", {}, kGone},
    {"SurpriseRemoved", {IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL}, kGone},
    {"Removed", {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}, kGone},
    {"StartedAgain", {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE, IRP_MN_START_DEVICE}, kAnswered},
    {"D1", {IRP_MN_START_DEVICE, kD0 + 1}, kAsleep},
    {"D3ThenD0", {IRP_MN_START_DEVICE, kD0 + 3, kD0}, kAnswered},
};

class BusPdoStateTest : public ::testing::TestWithParam<PdoState> {};

TEST_P(BusPdoStateTest, UrbsFailAsTheHubFailsThem) {
    VirtualReceiver bus;
    for (ULONG request : GetParam().requests)
        emu::sendAndWait(
            bus.pdo(),
            [request](PIRP, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = request >= kD0 ? IRP_MJ_POWER : IRP_MJ_PNP;
                stack->MinorFunction = request >= kD0 ? IRP_MN_SET_POWER : UCHAR(request);
                stack->Parameters.Power.Type = DevicePowerState;
                stack->Parameters.Power.State.DeviceState = DEVICE_POWER_STATE(request - kD0 + 1);
            },
            "request to the PDO");
    Request r(bus.pdo());
    UCHAR device[18] = {};
    auto& get = r.urb()->UrbControlDescriptorRequest;
    get.Hdr.Length = sizeof get;
    get.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    get.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    get.TransferBuffer = device;
    get.TransferBufferLength = sizeof device;
    r.submit();
    ASSERT_TRUE(r.wait());
    const NTSTATUS status[] = {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED,
                               kStatusDevicePoweredOff};
    const USBD_STATUS usbd[] = {USBD_STATUS_SUCCESS, USBD_STATUS_DEVICE_GONE,
                                USBD_STATUS_DEV_NOT_RESPONDING};
    EXPECT_EQ(status[GetParam().answer], r.status());
    EXPECT_EQ(usbd[GetParam().answer], r.usbdStatus());
}

INSTANTIATE_TEST_SUITE_P(States, BusPdoStateTest, ::testing::ValuesIn(kPdoStates),
                         [](const auto& info) { return std::string(info.param.name); });

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
