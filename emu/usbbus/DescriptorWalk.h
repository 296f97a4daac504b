// Bounded walks over a configuration descriptor set, shared by the USBD library and the
// bus. Every walk stays inside [base, base + total): a descriptor whose bLength is below 2
// ends the walk (it could not be stepped over), and one that runs past the end is ignored
// together with everything behind it.
#pragma once

#include "platform/platform.h"

#include <cstddef>

namespace emu {
namespace usb {
namespace detail {

// Calls visit(offset, bLength, bDescriptorType) for each whole descriptor from offset
// start on; visit returns false to stop. Returns the offset where the walk stopped.
template <class Visit>
size_t walkDescriptors(const UCHAR* base, size_t total, size_t start, Visit visit) {
    size_t offset = start;
    while (offset < total && total - offset >= 2) {
        size_t length = base[offset];
        if (length < 2 || length > total - offset)
            return offset;
        if (!visit(offset, length, base[offset + 1]))
            return offset;
        offset += length;
    }
    return offset;
}

// Offset of the first interface descriptor at or after start that matches; -1 for any of
// the criteria means "any". Returns total when there is none.
inline size_t findInterface(const UCHAR* base, size_t total, size_t start, long number,
                            long alternate, long cls, long subClass, long protocol) {
    size_t found = total;
    walkDescriptors(base, total, start, [&](size_t offset, size_t length, UCHAR type) {
        if (type != USB_INTERFACE_DESCRIPTOR_TYPE || length < sizeof(USB_INTERFACE_DESCRIPTOR))
            return true;
        auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(base + offset);
        if ((number == -1 || d->bInterfaceNumber == number) &&
            (alternate == -1 || d->bAlternateSetting == alternate) &&
            (cls == -1 || d->bInterfaceClass == cls) &&
            (subClass == -1 || d->bInterfaceSubClass == subClass) &&
            (protocol == -1 || d->bInterfaceProtocol == protocol)) {
            found = offset;
            return false;
        }
        return true;
    });
    return found;
}

} // namespace detail
} // namespace usb
} // namespace emu
