// The USBD library routines on good and hostile descriptor bytes. Buffers are allocated to
// their exact size so that the address-sanitizer build catches any read past them.
#include "tests/usbbus/BusHarness.h"

#include <memory>
#include <random>

using namespace bustest;

namespace {

// Descriptor bytes in a heap block of exactly their size.
struct Exact {
    explicit Exact(const std::vector<uint8_t>& bytes)
        : size(bytes.size()), data(new uint8_t[size]) {
        memcpy(data.get(), bytes.data(), size);
    }
    PUSB_CONFIGURATION_DESCRIPTOR config() {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.get());
    }
    PUSB_INTERFACE_DESCRIPTOR parse(LONG number, LONG alt = 0, PVOID start = nullptr,
                                    LONG cls = -1) {
        return USBD_ParseConfigurationDescriptorEx(config(), start ? start : data.get(), number,
                                                   alt, cls, -1, -1);
    }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
};

std::vector<uint8_t> configBytes(std::vector<uint8_t> body, int totalAdjust = 0) {
    std::vector<uint8_t> out = {9, 2, 0, 0, 1, 1, 0, 0xA0, 50};
    out.insert(out.end(), body.begin(), body.end());
    size_t total = out.size() + totalAdjust;
    out[2] = static_cast<uint8_t>(total);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
}

std::vector<uint8_t> interfaceBytes(UCHAR number, UCHAR alt, UCHAR endpoints, UCHAR cls = 0xFF) {
    return {9, 4, number, alt, endpoints, cls, 0, 0, 0};
}

TEST(UsbdLibraryTest, ParseFindsTheInterfaceThatMatchesFromTheStartPosition) {
    ReceiverDescription model = mceReceiverModel();
    InterfaceDescription alt1 = model.configurations[0].interfaces[0];
    alt1.alternateSetting = 1;
    InterfaceDescription hid;
    hid.number = 1;
    hid.interfaceClass = 3;
    model.configurations[0].interfaces.push_back(alt1);
    model.configurations[0].interfaces.push_back(hid);
    Exact set(buildDescriptors(model).configurations[0]);
    PUSB_INTERFACE_DESCRIPTOR first = set.parse(0, 0);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(9, reinterpret_cast<uint8_t*>(first) - set.data.get());
    PUSB_INTERFACE_DESCRIPTOR second = set.parse(0, 1);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(1, second->bAlternateSetting);
    EXPECT_EQ(second, set.parse(-1, -1, reinterpret_cast<uint8_t*>(first) + first->bLength))
        << "the walk starts where the caller says";
    ASSERT_NE(nullptr, set.parse(1, 0, nullptr, 3));
    EXPECT_EQ(nullptr, set.parse(1, 0, nullptr, 0xFF)) << "class is a criterion";
    EXPECT_EQ(nullptr, set.parse(2, 0)) << "no such interface";
    EXPECT_EQ(nullptr, set.parse(0, 0, set.data.get() + set.size)) << "a start past the set";
    EXPECT_EQ(nullptr, set.parse(0, 0, set.data.get() - 1)) << "a start before the set";
}

TEST(UsbdLibraryTest, ParseStopsAtDescriptorsThatCannotBeWalked) {
    // bLength 0 before the interface: the walk cannot step over it and must end.
    std::vector<uint8_t> body = {0, 0x21, 1, 2};
    auto iface = interfaceBytes(0, 0, 0);
    body.insert(body.end(), iface.begin(), iface.end());
    Exact zero(configBytes(body));
    EXPECT_EQ(nullptr, zero.parse(0));

    // The interface descriptor runs past wTotalLength.
    Exact cut(configBytes(interfaceBytes(0, 0, 0), -4));
    EXPECT_EQ(nullptr, cut.parse(0));

    // A descriptor whose bLength reaches past the end hides what follows.
    body = {200, 0x24, 0, 0};
    body.insert(body.end(), iface.begin(), iface.end());
    Exact longer(configBytes(body));
    EXPECT_EQ(nullptr, longer.parse(0));

    // wTotalLength smaller than the bytes: what lies behind it does not count.
    std::vector<uint8_t> two = interfaceBytes(0, 0, 0);
    auto more = interfaceBytes(1, 0, 0);
    two.insert(two.end(), more.begin(), more.end());
    Exact shortTotal(configBytes(two, -9));
    EXPECT_NE(nullptr, shortTotal.parse(0));
    EXPECT_EQ(nullptr, shortTotal.parse(1));
    Exact tiny(configBytes({}, -9)); // wTotalLength 0
    EXPECT_EQ(nullptr, tiny.parse(-1, -1));
}

TEST(UsbdLibraryTest, CreateConfigurationRequestSizesAndLinksEveryRecord) {
    ReceiverDescription model = mceReceiverModel();
    InterfaceDescription second;
    second.number = 1;
    second.endpoints = {EndpointDescription{0x84, kInterrupt, 8, 10}};
    model.configurations[0].interfaces.push_back(second);
    Exact set(buildDescriptors(model).configurations[0]);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = set.parse(0);
    list[1].InterfaceDescriptor = set.parse(1);
    emu::PoolTagStats before = emu::pool::stats(kUsbdPoolTag);
    uint64_t wemb = emu::pool::stats(tagOf("Wemb")).totalAllocations;
    PURB urb = USBD_CreateConfigurationRequestEx(set.config(), list);
    ASSERT_NE(nullptr, urb);
    EXPECT_EQ(before.liveBlocks + 1, emu::pool::stats(kUsbdPoolTag).liveBlocks)
        << "allocated under the library's own tag";
    EXPECT_EQ(wemb, emu::pool::stats(tagOf("Wemb")).totalAllocations);
    size_t expected = sizeof(struct _URB_SELECT_CONFIGURATION) -
                      sizeof(USBD_INTERFACE_INFORMATION) + GET_USBD_INTERFACE_SIZE(3) +
                      GET_USBD_INTERFACE_SIZE(1);
    EXPECT_EQ(expected, urb->UrbHeader.Length);
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urb->UrbHeader.Function);
    EXPECT_EQ(set.config(), urb->UrbSelectConfiguration.ConfigurationDescriptor);
    PUSBD_INTERFACE_INFORMATION a = &urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(a, list[0].Interface);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(3), a->Length);
    EXPECT_EQ(3u, a->NumberOfPipes);
    auto* b =
        reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(a) + a->Length);
    EXPECT_EQ(b, list[1].Interface) << "records lie one after another";
    EXPECT_EQ(1, b->InterfaceNumber);
    EXPECT_EQ(1u, b->NumberOfPipes);
    EXPECT_EQ(kDefaultMaximumTransferSize, b->Pipes[0].MaximumTransferSize);
    ExFreePool(urb);
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(kUsbdPoolTag).liveBlocks);

    USBD_VERSION_INFORMATION version{};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(0x600u, version.USBDI_Version);
    EXPECT_EQ(0x200u, version.Supported_USB_Version);
    USBD_GetUSBDIVersion(nullptr);
}

TEST(UsbdLibraryTest, CreateConfigurationRequestRefusesWhatItCannotBuildSafely) {
    Exact set(mceReceiverDescriptorBytes().configurations[0]);
    // A list with no terminator is not read past bNumInterfaces entries.
    std::unique_ptr<USBD_INTERFACE_LIST_ENTRY[]> exact(new USBD_INTERFACE_LIST_ENTRY[1]);
    exact[0].InterfaceDescriptor = set.parse(0);
    PURB urb = USBD_CreateConfigurationRequestEx(set.config(), exact.get());
    ASSERT_NE(nullptr, urb);
    ExFreePool(urb);

    USB_INTERFACE_DESCRIPTOR foreign = {9, 4, 0, 0, 1, 0xFF, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = &foreign;
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(set.config(), list))
        << "an interface descriptor outside the set";

    emu::pool::failNthAllocation(1);
    list[0].InterfaceDescriptor = set.parse(0);
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(set.config(), list));
    emu::pool::clearFaults();

    // Eleven interfaces that each claim 255 endpoints need more than a 16-bit Length.
    std::vector<uint8_t> body;
    for (UCHAR i = 0; i < 11; ++i) {
        auto d = interfaceBytes(i, 0, 255);
        body.insert(body.end(), d.begin(), d.end());
    }
    std::vector<uint8_t> bytes = configBytes(body);
    bytes[4] = 11;
    Exact big(bytes);
    std::vector<USBD_INTERFACE_LIST_ENTRY> many(12);
    for (UCHAR i = 0; i < 11; ++i)
        many[i].InterfaceDescriptor = big.parse(i);
    ASSERT_NE(nullptr, many[10].InterfaceDescriptor);
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(big.config(), many.data()));
}

TEST(UsbdLibraryTest, RandomDescriptorBytesNeverLeadOutsideTheSet) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 3000; ++round) {
        size_t size = 9 + random() % 300;
        std::vector<uint8_t> bytes(size);
        for (auto& b : bytes) // mostly plausible lengths and types, so walks go somewhere
            b = static_cast<uint8_t>(random() % 4 ? random() % 12 : random());
        bytes[0] = 9;
        bytes[1] = 2;
        size_t total = random() % 5 ? size : random() % (size + 1);
        bytes[2] = static_cast<uint8_t>(total);
        bytes[3] = static_cast<uint8_t>(total >> 8);
        Exact set(bytes);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(bytes[4] + 1u);
        size_t found = 0;
        for (LONG n = 0; n < bytes[4]; ++n) {
            PUSB_INTERFACE_DESCRIPTOR d = set.parse(n, -1);
            if (d == nullptr)
                break;
            auto offset = static_cast<size_t>(reinterpret_cast<uint8_t*>(d) - set.data.get());
            ASSERT_LE(offset + sizeof(USB_INTERFACE_DESCRIPTOR), total)
                << "a found interface lies wholly inside wTotalLength (round " << round << ")";
            ASSERT_EQ(USB_INTERFACE_DESCRIPTOR_TYPE, d->bDescriptorType);
            ASSERT_EQ(n, d->bInterfaceNumber);
            list[found++].InterfaceDescriptor = d;
        }
        PURB urb = USBD_CreateConfigurationRequestEx(set.config(), list.data());
        if (urb == nullptr)
            continue;
        size_t expected =
            sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
        for (size_t i = 0; i < found; ++i)
            expected += GET_USBD_INTERFACE_SIZE(list[i].InterfaceDescriptor->bNumEndpoints);
        ASSERT_EQ(expected, urb->UrbHeader.Length) << "round " << round;
        ExFreePool(urb);
    }
}

} // namespace
