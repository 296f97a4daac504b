// Configuration of the receiver: descriptor reads and their sizes, selection, unreadable and
// hostile descriptors, allocation failures, and the release of everything on deletion.
#include "UsbTestSupport.h"
#include "usb/UsbDescriptorCheck.h"

#include <functional>
#include <map>

using namespace usbtest;

namespace {

std::vector<RequestRecord> configReads(const std::vector<RequestRecord>& all) {
    std::vector<RequestRecord> out;
    for (const RequestRecord& r : all)
        if (r.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            r.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            out.push_back(r);
    return out;
}

} // namespace

class UsbConfigurationTest : public UsbFixture {};

TEST_F(UsbConfigurationTest, ReceiverIsConfiguredWithOneReadAndItsPipesAreKept) {
    makeBus();
    uint64_t mark = emu::debuglog::mark();
    usb.emplace(bus->pdo());
    ASSERT_EQ(STATUS_SUCCESS, usb->InitDevice());
    auto reads = configReads(bus->requests());
    ASSERT_EQ(1u, reads.size()) << "a short configuration needs one read";
    EXPECT_EQ(272u, reads[0].requestedLength);
    EXPECT_EQ(1u, countSince(
                      mark, "ravo: CUsbInterface::UsbConfigGetDescriptor : adjusting size to 272"));
    EXPECT_EQ(1u, countSince(mark, "Select Configuration successful"));
    EXPECT_TRUE(bus->configured());
    ASSERT_NE(nullptr, usb->getPipeInfo(0, 2));
    EXPECT_EQ(bus->pipeHandle(0x03), usb->getPipeInfo(0, 2)->PipeHandle);
    EXPECT_EQ(bus->pipeHandle(0x81), usb->getPipeInfo(0, 0)->PipeHandle);

    mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_SUCCESS, usb->InitDevice());
    EXPECT_EQ(
        1u,
        countSince(mark,
                   "ravo (error): CUsbInterface::InitDevice() Already Initialized. Skipping..."));
    EXPECT_EQ(1u, configReads(bus->requests()).size()) << "a second InitDevice reads nothing";
}

TEST_F(UsbConfigurationTest, LongConfigurationIsReadAgainWithItsWholeLength) {
    ReceiverDescription model = mceReceiverModel();
    model.configurations[0].padToTotalLength = 300;
    makeBus(model);
    uint64_t mark = emu::debuglog::mark();
    usb.emplace(bus->pdo());
    ASSERT_EQ(STATUS_SUCCESS, usb->InitDevice());
    auto reads = configReads(bus->requests());
    ASSERT_EQ(2u, reads.size());
    EXPECT_EQ(272u, reads[0].requestedLength);
    EXPECT_EQ(304u, reads[1].requestedLength);
    EXPECT_EQ(2u, countSince(mark, "adjusting size to"));
    EXPECT_EQ(1u, countSince(mark, "adjusting size to 304"));
    EXPECT_EQ(300, usb->_p_configs[0]->wTotalLength);
}

TEST_F(UsbConfigurationTest, UnreadableFirstConfigurationLeavesNothingToSelect) {
    ReceiverDescription model = mceReceiverModel();
    model.configurations.push_back(model.configurations[0]);
    model.configurations[1].value = 2;
    makeBus(model);
    usb.emplace(bus->pdo());
    usb->_p_irp = IoAllocateIrp(bus->pdo()->StackSize, FALSE);
    ASSERT_EQ(STATUS_SUCCESS, usb->UsbDeviceGetDescriptor());
    FaultRule unreadable;
    unreadable.urbFunction = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    unreadable.status = STATUS_DEVICE_DATA_ERROR;
    bus->injectFault(unreadable);
    EXPECT_EQ(STATUS_SUCCESS, usb->UsbConfigGetDescriptor(2)) << "the last configuration decides";
    EXPECT_EQ(nullptr, usb->_p_configs[0]);
    EXPECT_NE(nullptr, usb->_p_configs[1]);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->UsbConfigSelect(0));
    EXPECT_FALSE(bus->configured());
}

TEST_F(UsbConfigurationTest, DeviceWithoutConfigurationsFailsWithoutReading) {
    ReceiverDescription model = mceReceiverModel();
    model.numConfigurationsOverride = 0;
    makeBus(model);
    uint64_t mark = emu::debuglog::mark();
    usb.emplace(bus->pdo());
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, usb->InitDevice());
    EXPECT_TRUE(configReads(bus->requests()).empty());
    EXPECT_EQ(1u, countSince(mark, "UsbConfigGetDescriptor() Failed Status(0xc0000001)"));
}

// Devices whose descriptors lie: whatever they send, configuration ends after a bounded
// number of reads, never walks outside what it read, and gives back every block.
struct HostileCase {
    const char* name;
    std::function<void(DescriptorBytes&)> spoil;
    bool configures;
};

class UsbHostileDescriptorTest : public UsbFixture,
                                 public ::testing::WithParamInterface<HostileCase> {};

TEST_P(UsbHostileDescriptorTest, ConfigurationStaysInsideWhatTheDeviceSent) {
    DescriptorBytes d = mceReceiverDescriptorBytes();
    GetParam().spoil(d);
    makeBus(d);
    usb.emplace(bus->pdo());
    NTSTATUS status = usb->InitDevice();
    EXPECT_EQ(GetParam().configures, NT_SUCCESS(status)) << "status " << std::hex << status;
    std::map<int, int> readsOf;
    for (const RequestRecord& r : configReads(bus->requests()))
        EXPECT_LE(++readsOf[r.descriptorIndex], 3) << "reads of one configuration are bounded";
    if (!GetParam().configures) {
        EXPECT_EQ(nullptr, usb->getPipeInfo(0, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Spoiled, UsbHostileDescriptorTest,
    ::testing::Values(HostileCase{"TotalLengthBeyondSent",
                                  [](DescriptorBytes& d) {
                                      d.configurations[0][2] = 0x58; // 600 claimed, 34 sent
                                      d.configurations[0][3] = 0x02;
                                  },
                                  false},
                      HostileCase{"ZeroLengthDescriptor",
                                  [](DescriptorBytes& d) { d.configurations[0][18] = 0; }, false},
                      HostileCase{"MoreEndpointsThanPresent",
                                  [](DescriptorBytes& d) { d.configurations[0][13] = 9; }, false},
                      HostileCase{"TotalLengthBelowHeader",
                                  [](DescriptorBytes& d) { d.configurations[0][2] = 4; }, false},
                      HostileCase{"EmptyConfiguration",
                                  [](DescriptorBytes& d) { d.configurations[0].clear(); }, false},
                      HostileCase{"ShortDeviceDescriptor",
                                  [](DescriptorBytes& d) { d.device.resize(8); }, false},
                      HostileCase{"ManyConfigurationsFewSent",
                                  [](DescriptorBytes& d) { d.device[17] = 255; }, false},
                      // Interface 1 is announced but absent: interface 0 still works.
                      HostileCase{"MoreInterfacesThanPresent",
                                  [](DescriptorBytes& d) { d.configurations[0][4] = 2; }, true}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

TEST_F(UsbConfigurationTest, EveryAllocationFailureIsSurvivedWithoutLeak) {
    makeBus();
    for (uint64_t n = 1; n <= 40; ++n) {
        uint64_t before = livePoolBlocks();
        {
            CUsbInterface u(bus->pdo());
            emu::pool::failNthAllocation(n);
            NTSTATUS status = u.InitDevice();
            emu::pool::clearFaults();
            if (NT_SUCCESS(status)) {
                EXPECT_NE(nullptr, u.getPipeInfo(0, 0)) << "success means a usable pipe, n=" << n;
            }
        }
        EXPECT_EQ(before, livePoolBlocks()) << "allocation " << n << " failed";
    }
}

// The checks themselves, on bytes no emulated bus would produce.
TEST(UsbDescriptorCheckTest, InterfaceRecordsMustLieInsideTheRequest) {
    alignas(8) UCHAR urb[200] = {};
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(urb + 40);
    record->Length = GET_USBD_INTERFACE_SIZE(3);
    record->NumberOfPipes = 3;
    EXPECT_EQ(96u, UsbInterfaceRecordLength(urb, 136, 40));
    EXPECT_EQ(0u, UsbInterfaceRecordLength(urb, 135, 40)) << "record runs past the URB";
    record->NumberOfPipes = 4;
    EXPECT_EQ(0u, UsbInterfaceRecordLength(urb, 200, 40)) << "more pipes than the record holds";
    record->NumberOfPipes = 0xFFFFFFFF;
    EXPECT_EQ(0u, UsbInterfaceRecordLength(urb, 200, 40)) << "pipe count must not wrap";
    record->Length = 0;
    record->NumberOfPipes = 0;
    EXPECT_EQ(0u, UsbInterfaceRecordLength(urb, 200, 40)) << "a zero Length would never advance";
    EXPECT_EQ(0u, UsbInterfaceRecordLength(urb, 50, 40)) << "header cut short";
}
