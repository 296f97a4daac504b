// Serialising a receiver description into the descriptor bytes a device sends.
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

std::vector<uint8_t> buildConfiguration(const ConfigurationDescription& config) {
    std::set<UCHAR> numbers;
    for (const InterfaceDescription& i : config.interfaces)
        numbers.insert(i.number);

    std::vector<uint8_t> out;
    out.push_back(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    out.push_back(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    put16(out, 0); // wTotalLength, patched below
    out.push_back(config.numInterfacesOverride.value_or(static_cast<UCHAR>(numbers.size())));
    out.push_back(config.value);
    out.push_back(0); // iConfiguration
    out.push_back(config.attributes);
    out.push_back(config.maxPower);

    for (const InterfaceDescription& i : config.interfaces) {
        out.push_back(sizeof(USB_INTERFACE_DESCRIPTOR));
        out.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
        out.push_back(i.number);
        out.push_back(i.alternateSetting);
        out.push_back(i.numEndpointsOverride.value_or(static_cast<UCHAR>(i.endpoints.size())));
        out.push_back(i.interfaceClass);
        out.push_back(i.interfaceSubClass);
        out.push_back(i.interfaceProtocol);
        out.push_back(0); // iInterface
        for (const EndpointDescription& e : i.endpoints) {
            out.push_back(sizeof(USB_ENDPOINT_DESCRIPTOR));
            out.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
            out.push_back(e.address);
            out.push_back(static_cast<uint8_t>(e.type & USB_ENDPOINT_TYPE_MASK));
            put16(out, e.maxPacketSize);
            out.push_back(e.interval);
        }
    }

    if (config.padToTotalLength > out.size()) {
        size_t gap = config.padToTotalLength - out.size();
        if (gap == 1 || config.padToTotalLength > 0xFFFF)
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

    USHORT total = config.totalLengthOverride.value_or(static_cast<USHORT>(out.size()));
    out[2] = static_cast<uint8_t>(total & 0xFF);
    out[3] = static_cast<uint8_t>(total >> 8);
    return out;
}

} // namespace

DescriptorBytes buildDescriptors(const ReceiverDescription& receiver) {
    DescriptorBytes d;
    std::vector<uint8_t>& out = d.device;
    out.push_back(sizeof(USB_DEVICE_DESCRIPTOR));
    out.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
    put16(out, receiver.bcdUSB);
    out.push_back(receiver.deviceClass);
    out.push_back(receiver.deviceSubClass);
    out.push_back(receiver.deviceProtocol);
    out.push_back(receiver.maxPacketSize0);
    put16(out, receiver.idVendor);
    put16(out, receiver.idProduct);
    put16(out, receiver.bcdDevice);
    out.push_back(0); // iManufacturer
    out.push_back(0); // iProduct
    out.push_back(0); // iSerialNumber
    out.push_back(receiver.numConfigurationsOverride.value_or(
        static_cast<UCHAR>(receiver.configurations.size())));
    for (const ConfigurationDescription& c : receiver.configurations)
        d.configurations.push_back(buildConfiguration(c));
    return d;
}

ReceiverDescription mceReceiverModel() {
    InterfaceDescription data;
    data.number = 0;
    data.endpoints = {
        EndpointDescription{0x81, kBulk, 64, 0}, // IR data
        EndpointDescription{0x02, kBulk, 64, 0}, // commands
        EndpointDescription{0x03, kBulk, 64, 0}, // firmware download
    };
    ConfigurationDescription config;
    config.value = 1;
    config.interfaces = {data};
    ReceiverDescription device;
    device.configurations = {config};
    return device;
}

DescriptorBytes mceReceiverDescriptorBytes() {
    return buildDescriptors(mceReceiverModel());
}

} // namespace usb
} // namespace emu
