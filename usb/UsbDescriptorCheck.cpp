#include "usb/UsbDescriptorCheck.h"

BOOLEAN UsbConfigurationIsWellFormed(const UCHAR* data, ULONG received) {
    if (data == nullptr || received < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return FALSE;
    auto* config = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(data);
    ULONG total = config->wTotalLength;
    if (config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > received ||
        config->bLength > total)
        return FALSE;

    // Every step advances by at least two bytes, so the walk ends within total / 2 steps.
    ULONG endpoints_owed = 0;
    for (ULONG offset = 0; offset < total;) {
        if (total - offset < sizeof(USB_COMMON_DESCRIPTOR))
            return FALSE;
        UCHAR length = data[offset];
        UCHAR type = data[offset + 1];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > total - offset)
            return FALSE;
        if (offset > 0 && type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            return FALSE;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_INTERFACE_DESCRIPTOR) || endpoints_owed != 0)
                return FALSE;
            endpoints_owed =
                reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(data + offset)->bNumEndpoints;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR))
                return FALSE;
            if (endpoints_owed != 0)
                endpoints_owed--;
        }
        offset += length;
    }
    return endpoints_owed == 0 ? TRUE : FALSE;
}

ULONG UsbInterfaceRecordLength(const UCHAR* urb, ULONG urb_length, ULONG offset) {
    const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    if (urb == nullptr || offset > urb_length || urb_length - offset < header)
        return 0;
    // Read field by field: nothing but the record's own Length places it, so it need not be
    // aligned.
    USHORT length = 0;
    ULONG pipes = 0;
    RtlCopyMemory(&length, urb + offset + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Length),
                  sizeof length);
    RtlCopyMemory(&pipes, urb + offset + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, NumberOfPipes),
                  sizeof pipes);
    ULONGLONG needed = (ULONGLONG)header + (ULONGLONG)pipes * sizeof(USBD_PIPE_INFORMATION);
    if (length < needed || length > urb_length - offset)
        return 0;
    return length;
}
