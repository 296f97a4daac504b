// Serialising device specs into the descriptor bytes a device sends.
#include "emu/usbbus/VirtualReceiver.h"

#include <set>
#include <stdexcept>

namespace emu {
namespace usb {

namespace {

void put16(std::vector<uint8_t>& out, USHORT value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> buildConfiguration(const ConfigurationSpec& spec) {
    std::set<UCHAR> numbers;
    for (const InterfaceSpec& i : spec.interfaces)
        numbers.insert(i.number);

    std::vector<uint8_t> out;
    out.push_back(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    out.push_back(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    put16(out, 0); // wTotalLength, patched below
    out.push_back(spec.numInterfacesOverride.value_or(static_cast<UCHAR>(numbers.size())));
    out.push_back(spec.value);
    out.push_back(0); // iConfiguration
    out.push_back(spec.attributes);
    out.push_back(spec.maxPower);

    for (const InterfaceSpec& i : spec.interfaces) {
        out.push_back(sizeof(USB_INTERFACE_DESCRIPTOR));
        out.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
        out.push_back(i.number);
        out.push_back(i.alternateSetting);
        out.push_back(i.numEndpointsOverride.value_or(static_cast<UCHAR>(i.endpoints.size())));
        out.push_back(i.interfaceClass);
        out.push_back(i.interfaceSubClass);
        out.push_back(i.interfaceProtocol);
        out.push_back(0); // iInterface
        for (const EndpointSpec& e : i.endpoints) {
            out.push_back(sizeof(USB_ENDPOINT_DESCRIPTOR));
            out.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
            out.push_back(e.address);
            out.push_back(static_cast<uint8_t>(e.type & USB_ENDPOINT_TYPE_MASK));
            put16(out, e.maxPacketSize);
            out.push_back(e.interval);
        }
    }

    if (spec.padToTotalLength > out.size()) {
        size_t gap = spec.padToTotalLength - out.size();
        if (gap == 1 || spec.padToTotalLength > 0xFFFF)
            throw std::invalid_argument("configuration padding cannot be made of descriptors");
        while (gap > 0) {
            size_t chunk = gap > 255 ? 255 : gap;
            if (gap - chunk == 1)
                chunk -= 1;
            // Vendor-specific descriptor type: every parser steps over it.
            out.push_back(static_cast<uint8_t>(chunk));
            out.push_back(0xFF);
            out.insert(out.end(), chunk - 2, 0x5A);
            gap -= chunk;
        }
    }

    USHORT total = spec.totalLengthOverride.value_or(static_cast<USHORT>(out.size()));
    out[2] = static_cast<uint8_t>(total & 0xFF);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
}

} // namespace

DeviceDescriptors buildDescriptors(const DeviceSpec& spec) {
    DeviceDescriptors d;
    std::vector<uint8_t>& out = d.device;
    out.push_back(sizeof(USB_DEVICE_DESCRIPTOR));
    out.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
    put16(out, spec.bcdUSB);
    out.push_back(spec.deviceClass);
    out.push_back(spec.deviceSubClass);
    out.push_back(spec.deviceProtocol);
    out.push_back(spec.maxPacketSize0);
    put16(out, spec.idVendor);
    put16(out, spec.idProduct);
    put16(out, spec.bcdDevice);
    out.push_back(0); // iManufacturer
    out.push_back(0); // iProduct
    out.push_back(0); // iSerialNumber
    out.push_back(
        spec.numConfigurationsOverride.value_or(static_cast<UCHAR>(spec.configurations.size())));
    for (const ConfigurationSpec& c : spec.configurations)
        d.configurations.push_back(buildConfiguration(c));
    return d;
}

DeviceSpec mceReceiverSpec() {
    InterfaceSpec data;
    data.number = 0;
    data.endpoints = {
        EndpointSpec{0x81, kBulk, 64, 0}, // IR data
        EndpointSpec{0x02, kBulk, 64, 0}, // commands
        EndpointSpec{0x03, kBulk, 64, 0}, // firmware download
    };
    ConfigurationSpec config;
    config.value = 1;
    config.interfaces = {data};
    DeviceSpec device;
    device.configurations = {config};
    return device;
}

DeviceDescriptors mceReceiverDescriptors() {
    return buildDescriptors(mceReceiverSpec());
}

} // namespace usb
} // namespace emu
