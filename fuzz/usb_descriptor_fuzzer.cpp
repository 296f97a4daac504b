// Serves arbitrary device and configuration descriptor bytes through the emulated bus to
// CUsbInterface::InitDevice, uses whatever pipes it found, and deletes the object: nothing
// may crash, read or write outside its memory, or leave a pool block behind.
//
// Input: the first byte picks the mode.
//   bit 7 clear (raw): byte 1 % 19 is the device descriptor's length, those bytes follow;
//     then configurations, each a 16-bit little-endian length and that many bytes.
//   bit 7 set (patch): the default receiver's descriptors, with (offset, value) byte pairs
//     written over the device descriptor followed by configuration 0 — so that most inputs
//     get as far as the selection of a configuration.
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "transfer/PoolTag.h"
#include "usb/CUsbInterface.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace emu::usb;

namespace {

DescriptorBytes rawDescriptors(const uint8_t* data, size_t size) {
    DescriptorBytes d;
    size_t at = 0;
    size_t device = at < size ? data[at++] % 19 : 0;
    device = device < size - at ? device : size - at;
    d.device.assign(data + at, data + at + device);
    at += device;
    while (size - at >= 2 && d.configurations.size() < 8) {
        size_t length = data[at] | (data[at + 1] << 8);
        at += 2;
        length = length < size - at ? length : size - at;
        d.configurations.emplace_back(data + at, data + at + length);
        at += length;
    }
    return d;
}

DescriptorBytes patchedDescriptors(const uint8_t* data, size_t size) {
    DescriptorBytes d = mceReceiverDescriptorBytes();
    std::vector<uint8_t>& config = d.configurations[0];
    for (size_t at = 0; at + 1 < size; at += 2) {
        size_t offset = data[at];
        if (offset < d.device.size())
            d.device[offset] = data[at + 1];
        else if (offset - d.device.size() < config.size())
            config[offset - d.device.size()] = data[at + 1];
    }
    return d;
}

// The driver image has no RTTI, so the vptr check cannot apply to its classes.
__attribute__((no_sanitize("vptr"))) void configureAndUse(VirtualReceiver& bus) {
    CUsbInterface usb(bus.pdo());
    if (!NT_SUCCESS(usb.InitDevice()))
        return;
    // Every pipe the configuration recorded, and one past, through the lookup and a
    // synchronous request that walks the recorded records.
    for (UCHAR i = 0; i < 3; ++i) {
        for (ULONG p = 0; p < 4; ++p) {
            if (usb.getPipeInfo(i, p) != nullptr)
                usb.GetStatusPipe(p, i);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    DescriptorBytes descriptors = (data[0] & 0x80) ? patchedDescriptors(data + 1, size - 1)
                                                   : rawDescriptors(data + 1, size - 1);
    {
        VirtualReceiver bus(std::move(descriptors));
        bus.setCompletionMode(CompletionMode::Immediate);
        if (NT_SUCCESS(bus.startDevice()))
            configureAndUse(bus);
    }
    emu::pool::verifyNoLeaks(RAVO_POOL_TAG, "after the interface object was deleted");
    emu::pool::verifyNoLeaks(kUsbdPoolTag, "after the interface object was deleted");
    return 0;
}
