// The bus's answers to well-formed and malformed URBs: descriptors, configuration, bulk and
// isochronous transfers, and the pipe requests.
#include "tests/usbbus/BusHarness.h"

#include <cstring>
#include <optional>

using namespace bustest;

namespace {

class BusRequestsTest : public ::testing::Test {
protected:
    void SetUp() override { _wemb = emu::pool::stats(tagOf("Wemb")).totalAllocations; }
    void TearDown() override {
        bus.reset();
        EXPECT_EQ(_wemb, emu::pool::stats(tagOf("Wemb")).totalAllocations)
            << "the bus never allocates under the driver's pool tag";
    }
    VirtualReceiver& configured(const ReceiverDescription& model = mceReceiverModel()) {
        bus.emplace(model);
        EXPECT_EQ(STATUS_SUCCESS, selectFirst(*bus, config)) << "configuration 0 is selected";
        return *bus;
    }
    std::optional<VirtualReceiver> bus;
    std::vector<uint8_t> config;

private:
    uint64_t _wemb = 0;
};

TEST_F(BusRequestsTest, DescriptorReadsAreShortenedToWhatTheDeviceHasAndTheCallerAsked) {
    bus.emplace();
    Request r(bus->pdo());
    UCHAR buffer[40];
    memset(buffer, 0xEE, sizeof buffer);
    descriptorUrb(r.urb(), USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 8);
    EXPECT_EQ(STATUS_PENDING, r.submit()) << "the real bus pends every request";
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    EXPECT_EQ(8u, r.urb()->UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(0, memcmp(buffer, bus->descriptors().device.data(), 8));
    EXPECT_EQ(0xEE, buffer[8]) << "nothing written past the requested length";

    descriptorUrb(r.urb(), USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(18u, r.urb()->UrbControlDescriptorRequest.TransferBufferLength)
        << "a longer read moves only the 18 bytes of the device descriptor";
    EXPECT_EQ(0xEE, buffer[18]);

    // The driver's first configuration read is 272 bytes; a 300-byte set needs a second read.
    ReceiverDescription model = mceReceiverModel();
    model.configurations[0].padToTotalLength = 300;
    bus.emplace(model);
    Request c(bus->pdo());
    std::vector<UCHAR> big(304, 0);
    descriptorUrb(c.urb(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, big.data(), 272);
    c.submit();
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(272u, c.urb()->UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(300, big[2] | big[3] << 8) << "wTotalLength tells the caller to read again";
    descriptorUrb(c.urb(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, big.data(), 304);
    c.submit();
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(300u, c.urb()->UrbControlDescriptorRequest.TransferBufferLength);

    // A configuration index the device does not have is stalled.
    descriptorUrb(c.urb(), USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, big.data(), 272);
    c.submit();
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, c.status());
    EXPECT_EQ(USBD_STATUS_STALL_PID, c.usbdStatus());
    EXPECT_EQ(0u, c.urb()->UrbControlDescriptorRequest.TransferBufferLength);
}

TEST_F(BusRequestsTest, MalformedUrbsAreRefusedWithoutTouchingTheirBuffers) {
    bus.emplace();
    Request r(bus->pdo());
    descriptorUrb(r.urb(), USB_DEVICE_DESCRIPTOR_TYPE, 0, nullptr, 18);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status()) << "a length without a buffer";

    UCHAR buffer[18] = {};
    descriptorUrb(r.urb(), USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18);
    r.urb()->UrbHeader.Length = 100; // shorter than a descriptor request
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
    EXPECT_EQ(0, buffer[0]) << "a refused request moves no data";

    r.urb()->UrbHeader.Length = sizeof(struct _URB_HEADER);
    r.urb()->UrbHeader.Function = 0x0777;
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
    EXPECT_EQ(USBD_STATUS_INVALID_URB_FUNCTION, r.usbdStatus());

    EXPECT_EQ(STATUS_PENDING, r.submit(nullptr)) << "no URB at all";
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
}

TEST_F(BusRequestsTest, SelectConfigurationFillsTheRecordsTheUsbdLibraryBuilt) {
    bus.emplace();
    config = bus->descriptors().configurations[0];
    PURB urb = selectUrb(config);
    ASSERT_NE(nullptr, urb);
    auto& info = urb->UrbSelectConfiguration.Interface;
    Request r(bus->pdo());
    r.submit(urb);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    EXPECT_EQ(USBD_STATUS_SUCCESS, urb->UrbHeader.Status);
    EXPECT_NE(nullptr, urb->UrbSelectConfiguration.ConfigurationHandle);
    EXPECT_NE(nullptr, info.InterfaceHandle);
    EXPECT_EQ(0xFF, info.Class);
    ASSERT_EQ(3u, info.NumberOfPipes);
    const UCHAR addresses[] = {0x81, 0x02, 0x03};
    PUSBD_PIPE_INFORMATION pipes = info.Pipes;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(addresses[i], pipes[i].EndpointAddress) << "pipes in endpoint order";
        EXPECT_EQ(UsbdPipeTypeBulk, pipes[i].PipeType);
        EXPECT_EQ(64, pipes[i].MaximumPacketSize);
        EXPECT_EQ(kDefaultMaximumTransferSize, pipes[i].MaximumTransferSize)
            << "the caller's transfer size is kept";
        EXPECT_EQ(pipes[i].PipeHandle, bus->pipeHandle(addresses[i]));
    }
    EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);
    EXPECT_TRUE(bus->configured());
    EXPECT_EQ(1, bus->configurationValue());
    USBD_PIPE_HANDLE old = pipes[0].PipeHandle;

    // A URB whose Length does not cover the record it claims is refused and changes nothing.
    PURB second = selectUrb(config);
    second->UrbHeader.Length -= 8;
    r.submit(second);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
    EXPECT_EQ(nullptr, second->UrbSelectConfiguration.Interface.InterfaceHandle);
    EXPECT_EQ(old, bus->pipeHandle(0x81)) << "the refused request left the configuration alone";

    // A new selection retires the old handles.
    second->UrbHeader.Length += 8;
    r.submit(second);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    UCHAR data[8];
    bulkUrb(r.urb(), old, data, sizeof data, true);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status()) << "a handle of the previous configuration";
    EXPECT_EQ(kUsbdStatusInvalidPipeHandle, r.usbdStatus());
    ExFreePool(urb);
    ExFreePool(second);
}

TEST_F(BusRequestsTest, SelectConfigurationRefusesDescriptorsThatDoNotHoldWhatTheyClaim) {
    // bNumEndpoints says 5 where 3 are present: the library sizes for 5, the bus finds 3.
    ReceiverDescription model = mceReceiverModel();
    model.configurations[0].interfaces[0].numEndpointsOverride = 5;
    bus.emplace(model);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, selectFirst(*bus, config));
    EXPECT_FALSE(bus->configured());

    // Interface 0 exists only as alternate setting 1: the client's list is empty, the URB
    // holds no record, and the bus configures the device without pipes.
    model = mceReceiverModel();
    model.configurations[0].interfaces[0].alternateSetting = 1;
    bus.emplace(model);
    EXPECT_EQ(STATUS_SUCCESS, selectFirst(*bus, config));
    EXPECT_TRUE(bus->configured());
    EXPECT_TRUE(bus->pipes().empty());

    // A record too short for its pipes.
    bus.emplace();
    config = bus->descriptors().configurations[0];
    PURB urb = selectUrb(config);
    urb->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(2);
    Request r(bus->pdo());
    r.submit(urb);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
    EXPECT_EQ(kUsbdStatusBufferTooSmall, urb->UrbHeader.Status);

    // A configuration value the device does not have: the device stalls SET_CONFIGURATION.
    urb->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(3);
    config[5] = 7;
    r.submit(urb);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(USBD_STATUS_STALL_PID, urb->UrbHeader.Status);
    EXPECT_FALSE(bus->configured());
    ExFreePool(urb);
}

TEST_F(BusRequestsTest, BulkInCompletesLaterOnTheBusThreadAtDispatchLevel) {
    configured();
    Request r(bus->pdo());
    UCHAR data[32];
    memset(data, 0xEE, sizeof data);
    bulkUrb(r.urb(), bus->pipeHandle(0x81), data, sizeof data, true);
    EXPECT_EQ(STATUS_PENDING, r.submit());
    ASSERT_TRUE(bus->waitForWaitingTransfers(1));
    EXPECT_FALSE(r.isDone()) << "no data, no completion";

    bus->queueInPacket({0x82, 0x9F, 0x14});
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    EXPECT_EQ(3u, r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength) << "a short transfer";
    EXPECT_EQ(0x9F, data[1]);
    EXPECT_EQ(0xEE, data[3]) << "nothing written past the packet";
    EXPECT_NE(std::this_thread::get_id(), r.thread) << "completed by the bus thread";
    RequestRecord last = bus->requests().back();
    EXPECT_TRUE(last.pended);
    EXPECT_EQ(DISPATCH_LEVEL, last.completionIrql);
    EXPECT_EQ(3u, last.transferredLength);

    // A packet longer than the read is split, not truncated.
    std::vector<uint8_t> packet(40);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<uint8_t>(i);
    bus->queueInPacket(packet);
    bulkUrb(r.urb(), bus->pipeHandle(0x81), data, sizeof data, true);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(32u, r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    bulkUrb(r.urb(), bus->pipeHandle(0x81), data, sizeof data, true);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(8u, r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(32, data[0]) << "the second read continues where the first stopped";

    // OUT transfers complete at once and are recorded.
    UCHAR cmd[] = {0x9F, 0x08};
    bulkUrb(r.urb(), bus->pipeHandle(0x02), cmd, sizeof cmd, false);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    ASSERT_EQ(1u, bus->outData(0x02).size());
    EXPECT_EQ((std::vector<uint8_t>{0x9F, 0x08}), bus->outData(0x02)[0]);
}

TEST_F(BusRequestsTest, ImmediateModeCompletesKnownResultsInsideDispatch) {
    configured();
    bus->setCompletionMode(CompletionMode::Immediate);
    Request r(bus->pdo());
    UCHAR buffer[18];
    descriptorUrb(r.urb(), USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18);
    EXPECT_EQ(STATUS_SUCCESS, r.submit());
    EXPECT_TRUE(r.isDone()) << "completed before IofCallDriver returned";
    UCHAR data[8];
    bulkUrb(r.urb(), bus->pipeHandle(0x81), data, sizeof data, true);
    EXPECT_EQ(STATUS_PENDING, r.submit()) << "a read still waits for data";
    bus->queueInPacket({1, 2});
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(2u, r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
}

TEST_F(BusRequestsTest, AbortPipeCancelsOnlyThatPipesTransfersAndKeepsTheData) {
    configured();
    Request a(bus->pdo()), b(bus->pdo()), abort(bus->pdo());
    UCHAR da[8], db[8];
    bulkUrb(a.urb(), bus->pipeHandle(0x81), da, 8, true);
    bulkUrb(b.urb(), bus->pipeHandle(0x81), db, 8, true);
    a.submit();
    b.submit();
    ASSERT_TRUE(bus->waitForWaitingTransfers(2));
    pipeUrb(abort.urb(), URB_FUNCTION_ABORT_PIPE, bus->pipeHandle(0x02));
    abort.submit();
    ASSERT_TRUE(abort.wait());
    EXPECT_EQ(2u, bus->waitingTransfers()) << "aborting another pipe leaves these alone";

    pipeUrb(abort.urb(), URB_FUNCTION_ABORT_PIPE, bus->pipeHandle(0x81));
    abort.submit();
    ASSERT_TRUE(abort.wait());
    EXPECT_EQ(STATUS_SUCCESS, abort.status());
    for (Request* r : {&a, &b}) {
        ASSERT_TRUE(r->wait()) << "every transfer of the pipe ends";
        EXPECT_EQ(STATUS_CANCELLED, r->status());
        EXPECT_EQ(USBD_STATUS_CANCELED, r->usbdStatus());
        EXPECT_EQ(0u, r->urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(1, r->completions);
    }
    bus->queueInPacket({5, 6, 7});
    bulkUrb(a.urb(), bus->pipeHandle(0x81), da, 8, true);
    a.submit();
    ASSERT_TRUE(a.wait());
    EXPECT_EQ(3u, a.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength)
        << "the pipe works after the abort";
}

TEST_F(BusRequestsTest, EndpointStatusAndResetFollowTheStall) {
    configured();
    Request r(bus->pdo());
    USHORT word = 0xFFFF;
    statusUrb(r.urb(), 0x81, &word);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    EXPECT_EQ(0, word);
    EXPECT_EQ(2u, r.urb()->UrbControlGetStatusRequest.TransferBufferLength);

    statusUrb(r.urb(), 0x85, &word);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(USBD_STATUS_STALL_PID, r.usbdStatus()) << "an endpoint the device lacks";

    // A stall with GET_STATUS answering shows the halt bit.
    bus->stallEndpoint(0x02, STATUS_SUCCESS);
    statusUrb(r.urb(), 0x02, &word);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    EXPECT_EQ(1, word);
    pipeUrb(r.urb(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bus->pipeHandle(0x02));
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_SUCCESS, r.status());
    EXPECT_FALSE(bus->isStalled(0x02));
}

TEST_F(BusRequestsTest, IsochronousTransfersReportEachPacket) {
    ReceiverDescription model = mceReceiverModel();
    model.configurations[0].interfaces[0].endpoints[0] =
        EndpointDescription{0x81, kIsochronous, 32, 1};
    configured(model);
    ASSERT_EQ(UsbdPipeTypeIsochronous, bus->pipes()[0].type);
    Request r(bus->pdo());
    UCHAR data[96];
    memset(data, 0xEE, sizeof data);
    isoUrb(r.urb(), bus->pipeHandle(0x81), data, 3, 32);
    FaultRule rule;
    rule.urbFunction = URB_FUNCTION_ISOCH_TRANSFER;
    rule.isoPacketStatus = {USBD_STATUS_SUCCESS, USBD_STATUS_STALL_PID};
    bus->injectFault(rule);
    bus->queueInPacket({1, 2, 3, 4, 5});
    bus->queueInPacket({6, 7});
    r.submit();
    ASSERT_TRUE(r.wait());
    auto& iso = r.urb()->UrbIsochronousTransfer;
    PUSBD_ISO_PACKET_DESCRIPTOR p = iso.IsoPacket;
    EXPECT_EQ(STATUS_SUCCESS, r.status()) << "not every packet failed";
    EXPECT_EQ(USBD_STATUS_SUCCESS, p[0].Status);
    EXPECT_EQ(5u, p[0].Length);
    EXPECT_EQ(USBD_STATUS_STALL_PID, p[1].Status);
    EXPECT_EQ(0u, p[1].Length);
    EXPECT_EQ(USBD_STATUS_SUCCESS, p[2].Status);
    EXPECT_EQ(2u, p[2].Length);
    EXPECT_EQ(6, data[64]) << "packet 2's data at its offset";
    EXPECT_EQ(0xEE, data[32]) << "the failed packet's area is untouched";
    EXPECT_EQ(1u, iso.ErrorCount);
    EXPECT_EQ(7u, iso.TransferBufferLength);

    // A URB too short for its packets, and offsets that run backwards, are refused.
    isoUrb(r.urb(), bus->pipeHandle(0x81), data, 3, 32);
    r.urb()->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(2));
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
    isoUrb(r.urb(), bus->pipeHandle(0x81), data, 3, 32);
    r.urb()->UrbIsochronousTransfer.IsoPacket[0].Offset = 40;
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
    // A bulk URB on the isochronous pipe is the wrong kind of transfer.
    bulkUrb(r.urb(), bus->pipeHandle(0x81), data, 32, true);
    r.submit();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status());
}

} // namespace
