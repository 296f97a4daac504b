// Configuration of the receiver: descriptor reads and their sizes, selection, unreadable and
// hostile descriptors, allocation failures, and the release of everything on deletion.
#include "UsbTestSupport.h"
#include "usb/UsbDescriptorCheck.h"

#include <functional>
#include <map>

using namespace usbtest;

namespace {

std::vector<ULONG> configReadSizes(const std::vector<RequestRecord>& all) {
    std::vector<ULONG> out;
    for (const RequestRecord& r : all)
        if (r.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            r.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            out.push_back(r.requestedLength);
    return out;
}

class UsbConfigurationTest : public UsbFixture {};

TEST_F(UsbConfigurationTest, ReceiverIsConfiguredOnceAndALongConfigurationIsReadAgainWhole) {
    for (size_t padTo : {0, 300}) {
        ReceiverDescription model = mceReceiverModel();
        model.configurations[0].padToTotalLength = padTo;
        makeBus(model);
        uint64_t mark = emu::debuglog::mark();
        usb.emplace(bus->pdo());
        ASSERT_EQ(STATUS_SUCCESS, usb->InitDevice());
        std::vector<ULONG> expected = {272};
        if (padTo)
            expected.push_back(304); // 300 raised to a multiple of 8
        EXPECT_EQ(expected, configReadSizes(bus->requests()));
        EXPECT_EQ(expected.size(), emu::debuglog::count("adjusting size to", mark));
        EXPECT_EQ(1u, emu::debuglog::count("Select Configuration successful", mark));
        ASSERT_NE(nullptr, usb->getPipeInfo(0, 2));
        EXPECT_EQ(bus->pipeHandle(0x03), usb->getPipeInfo(0, 2)->PipeHandle);
        EXPECT_EQ(bus->pipeHandle(0x81), usb->getPipeInfo(0, 0)->PipeHandle);
        EXPECT_EQ(nullptr, usb->getPipeInfo(0, 3));
        EXPECT_EQ(STATUS_SUCCESS, usb->InitDevice());
        EXPECT_EQ(expected.size(), configReadSizes(bus->requests()).size())
            << "a second InitDevice reads nothing";
        usb.reset();
    }
}

TEST_F(UsbConfigurationTest, UnreadableOrMissingConfigurationsLeaveNothingToSelect) {
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
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usb->UsbConfigSelect(0));
    EXPECT_FALSE(bus->configured());
    usb.reset();

    model.numConfigurationsOverride = 0;
    makeBus(model);
    usb.emplace(bus->pdo());
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, usb->InitDevice());
    EXPECT_TRUE(configReadSizes(bus->requests()).empty());
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
    for (const RequestRecord& r : bus->requests())
        if (r.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            EXPECT_LE(++readsOf[r.descriptorIndex], 3) << "reads of one configuration are bounded";
        }
    EXPECT_EQ(GetParam().configures, usb->getPipeInfo(0, 0) != nullptr);
    EXPECT_EQ(GetParam().configures ? 1u : 0u, bus->countUrbs(URB_FUNCTION_SELECT_CONFIGURATION))
        << "a set that does not hold is refused before anything selects from it";
}

void setTotal(DescriptorBytes& d, USHORT total) {
    d.configurations[0][2] = static_cast<uint8_t>(total);
    d.configurations[0][3] = static_cast<uint8_t>(total >> 8);
}

const HostileCase kHostile[] = {
    {"TotalLengthBeyondSent", [](DescriptorBytes& d) { setTotal(d, 600); }, false},
    {"TotalLengthBelowHeader", [](DescriptorBytes& d) { setTotal(d, 4); }, false},
    {"ZeroLengthDescriptor", [](DescriptorBytes& d) { d.configurations[0][18] = 0; }, false},
    {"DescriptorRunningPastTheEnd", [](DescriptorBytes& d) { d.configurations[0][32] = 200; },
     false},
    {"MoreEndpointsThanPresent", [](DescriptorBytes& d) { d.configurations[0][13] = 9; }, false},
    {"SecondConfigurationHeaderInside",
     [](DescriptorBytes& d) { d.configurations[0][19] = USB_CONFIGURATION_DESCRIPTOR_TYPE; },
     false},
    {"EmptyConfiguration", [](DescriptorBytes& d) { d.configurations[0].clear(); }, false},
    {"ShortDeviceDescriptor", [](DescriptorBytes& d) { d.device.resize(8); }, false},
    {"ManyConfigurationsFewSent", [](DescriptorBytes& d) { d.device[17] = 255; }, false},
    // Interface 1 is announced but absent: interface 0 still works.
    {"MoreInterfacesThanPresent", [](DescriptorBytes& d) { d.configurations[0][4] = 2; }, true},
};

INSTANTIATE_TEST_SUITE_P(Spoiled, UsbHostileDescriptorTest, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(UsbConfigurationTest, EveryAllocationFailureIsSurvivedWithoutLeak) {
    makeBus();
    for (uint64_t n = 1; n <= 40; ++n) {
        uint64_t before = livePoolBlocks();
        {
            CUsbInterface u(bus->pdo());
            emu::pool::failNthAllocation(n);
            NTSTATUS status = u.InitDevice();
            emu::pool::clearFaults();
            EXPECT_TRUE(!NT_SUCCESS(status) || u.getPipeInfo(0, 0) != nullptr)
                << "success means a usable pipe, n=" << n;
        }
        EXPECT_EQ(before, livePoolBlocks()) << "allocation " << n << " failed";
    }
}

// wTotalLength is believed only as far as bytes arrived: the memory behind them may hold
// what looks like more descriptors (an earlier, longer read), which must not be walked.
TEST(UsbDescriptorCheckTest, TheTotalLengthMustLieInsideWhatWasReceived) {
    std::vector<UCHAR> set = mceReceiverDescriptorBytes().configurations[0];
    const ULONG received = static_cast<ULONG>(set.size());
    set.insert(set.end(), {2, 0x24}); // a vendor descriptor, past the bytes received
    EXPECT_TRUE(UsbConfigurationIsWellFormed(set.data(), received)) << "exactly what arrived";
    set[2] = static_cast<UCHAR>(received + 2);
    EXPECT_TRUE(UsbConfigurationIsWellFormed(set.data(), received + 2)) << "had it arrived";
    EXPECT_FALSE(UsbConfigurationIsWellFormed(set.data(), received)) << "claims 2 bytes more";
}

// The interface records a bus returns, on bytes no emulated bus would produce.
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

} // namespace
