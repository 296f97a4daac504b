// The USBD library on random descriptor bytes, each set in a block of exactly its size so
// that the address-sanitizer build catches a read past it.
#include "tests/usbbus/BusHarness.h"

#include <memory>
#include <random>

using namespace bustest;

namespace {

TEST(UsbdLibraryTest, RandomDescriptorBytesNeverLeadOutsideTheSet) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 3000; ++round) {
        size_t size = 9 + random() % 300;
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
        for (size_t i = 0; i < size; ++i) // mostly plausible lengths and types
            bytes[i] = static_cast<uint8_t>(random() % 4 ? random() % 12 : random());
        size_t total = random() % 5 ? size : random() % (size + 1);
        const uint8_t header[] = {9, 2, uint8_t(total), uint8_t(total >> 8)};
        memcpy(bytes.get(), header, sizeof header);
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.get());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(bytes[4] + 1u);
        size_t found = 0;
        for (LONG n = 0; n < bytes[4]; ++n) {
            PUSB_INTERFACE_DESCRIPTOR d =
                USBD_ParseConfigurationDescriptorEx(config, config, n, -1, -1, -1, -1);
            if (d == nullptr)
                break;
            auto offset = static_cast<size_t>(reinterpret_cast<uint8_t*>(d) - bytes.get());
            ASSERT_LE(offset + sizeof(USB_INTERFACE_DESCRIPTOR), total)
                << "a found interface lies wholly inside wTotalLength (round " << round << ")";
            ASSERT_EQ(USB_INTERFACE_DESCRIPTOR_TYPE, d->bDescriptorType);
            ASSERT_EQ(n, d->bInterfaceNumber);
            list[found++].InterfaceDescriptor = d;
        }
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
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
