// The USBD library routines a client driver calls to read configuration descriptors and
// build its select-configuration request. They take descriptor bytes from a device, so
// they assume nothing of them: no read outside wTotalLength, no walk that cannot end.
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/DescriptorWalk.h"
#include "emu/usbbus/VirtualReceiver.h"

#include <atomic>

namespace emu {
namespace usb {

namespace {
std::atomic<ULONG> g_usbdiVersion{0x600};
std::atomic<ULONG> g_usbVersion{0x200};
} // namespace

void setUsbdVersion(ULONG usbdiVersion, ULONG supportedUsbVersion) {
    g_usbdiVersion = usbdiVersion;
    g_usbVersion = supportedUsbVersion;
}

} // namespace usb
} // namespace emu

using emu::usb::detail::findInterface;

extern "C" {

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr)
        return;
    VersionInformation->USBDI_Version = emu::usb::g_usbdiVersion.load();
    VersionInformation->Supported_USB_Version = emu::usb::g_usbVersion.load();
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber,
                                    LONG AlternateSetting, LONG InterfaceClass,
                                    LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr || StartPosition == nullptr)
        return nullptr;
    auto* base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    auto* start = static_cast<const UCHAR*>(StartPosition);
    size_t total = ConfigurationDescriptor->wTotalLength;
    // A start outside the set would let the walk wander through foreign memory.
    if (start < base || static_cast<size_t>(start - base) >= total)
        return nullptr;
    size_t offset =
        findInterface(base, total, static_cast<size_t>(start - base), InterfaceNumber,
                      AlternateSetting, InterfaceClass, InterfaceSubClass, InterfaceProtocol);
    if (offset >= total)
        return nullptr;
    return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
        reinterpret_cast<UCHAR*>(ConfigurationDescriptor) + offset);
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr)
        return nullptr;
    auto* base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    size_t total = ConfigurationDescriptor->wTotalLength;
    // The list ends at its null entry; a configuration cannot have more interfaces than it
    // declares, so a list without a terminator is not read past bNumInterfaces entries.
    size_t entries = 0;
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    while (entries < ConfigurationDescriptor->bNumInterfaces &&
           InterfaceList[entries].InterfaceDescriptor != nullptr) {
        auto* d = reinterpret_cast<const UCHAR*>(InterfaceList[entries].InterfaceDescriptor);
        // Only interface descriptors that lie wholly inside the set are trusted.
        if (d < base || static_cast<size_t>(d - base) >= total ||
            total - static_cast<size_t>(d - base) < sizeof(USB_INTERFACE_DESCRIPTOR))
            return nullptr;
        size += GET_USBD_INTERFACE_SIZE(InterfaceList[entries].InterfaceDescriptor->bNumEndpoints);
        ++entries;
    }
    // The header's Length is 16 bits: a request it cannot describe is not built.
    if (size > 0xFFFF)
        return nullptr;

    auto* urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, emu::usb::kUsbdPoolTag));
    if (urb == nullptr)
        return nullptr;
    // The request is the calling driver's to free with ExFreePool.
    emu::pool::attributeTo(urb, __builtin_return_address(0));
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < entries; ++i) {
        PUSB_INTERFACE_DESCRIPTOR d = InterfaceList[i].InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        // The records run past the declared one-element array by design.
        PUSBD_PIPE_INFORMATION pipes = info->Pipes;
        for (ULONG p = 0; p < d->bNumEndpoints; ++p) {
            pipes[p].MaximumTransferSize = emu::usb::kDefaultMaximumTransferSize;
            pipes[p].PipeFlags = 0;
        }
        InterfaceList[i].Interface = info;
        record += info->Length;
    }
    return urb;
}

} // extern "C"
