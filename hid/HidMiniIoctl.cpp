#include "hid/HidMiniIoctl.h"

#include "hid/HidDescriptors.h"
#include "hid/ReadReportQueue.h"
#include "platform/Diagnostics.h"

namespace {

// The class driver passes the output buffer in UserBuffer whatever the transfer type.
NTSTATUS copyDescriptor(PIRP irp, const void* descriptor, ULONG descriptor_length) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG buffer_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    RAVO_TRACE("HIDCLASS Buffer = 0x%x, Buffer length = 0x%x\n", (ULONG)(ULONG_PTR)irp->UserBuffer,
               buffer_length);
    if (irp->UserBuffer == nullptr) {
        irp->IoStatus.Information = 0;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = buffer_length < descriptor_length ? buffer_length : descriptor_length;
    RAVO_TRACE("Copying %d bytes to HIDCLASS buffer\n", count);
    RtlCopyMemory(irp->UserBuffer, descriptor, count);
    irp->IoStatus.Information = count;
    return STATUS_SUCCESS;
}

NTSTATUS getAttributes(PIRP irp) {
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(irp);
    ULONG buffer_length = irpStack->Parameters.DeviceIoControl.OutputBufferLength;
    RAVO_ASSERT(sizeof(HID_DEVICE_ATTRIBUTES) ==
                    irpStack->Parameters.DeviceIoControl.OutputBufferLength,
                "hid");
    // Nothing is written unless the whole record fits: the length the class driver gets
    // back must be the length it can read.
    if (irp->UserBuffer == nullptr || buffer_length < sizeof(HID_DEVICE_ATTRIBUTES)) {
        irp->IoStatus.Information = 0;
        return irp->UserBuffer == nullptr ? STATUS_INVALID_PARAMETER : STATUS_BUFFER_TOO_SMALL;
    }
    // Built here and copied: the caller's buffer may start at any address, where the
    // record's fields cannot be stored one by one.
    HID_DEVICE_ATTRIBUTES attributes;
    RtlZeroMemory(&attributes, sizeof attributes);
    attributes.Size = sizeof(HID_DEVICE_ATTRIBUTES);
    attributes.VendorID = HID_DEVICE_VENDOR_ID;
    attributes.ProductID = HID_DEVICE_PRODUCT_ID;
    attributes.VersionNumber = HID_DEVICE_VERSION_NUMBER;
    RtlCopyMemory(irp->UserBuffer, &attributes, sizeof attributes);
    irp->IoStatus.Information = sizeof(HID_DEVICE_ATTRIBUTES);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS HidMiniIoctl(ReadReportQueue* read_queue, PIRP irp) {
    RAVO_INFO("HidMiniIoctl Enter\n");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_SUCCESS;
    switch (code) {
        case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
            RAVO_TRACE("IOCTL_HID_GET_DEVICE_DESCRIPTOR\n");
            status = copyDescriptor(irp, &HidDescriptor, HidDescriptor.bLength);
            break;
        case IOCTL_HID_GET_REPORT_DESCRIPTOR: {
            RAVO_TRACE("IOCTL_HID_GET_REPORT_DESCRIPTOR\n");
            // A packed field: read it by value, never through a misaligned reference.
            USHORT report_length = HidDescriptor.DescriptorList[0].wReportLength;
            status = copyDescriptor(irp, HidReportDescriptor, report_length);
            break;
        }
        case IOCTL_HID_READ_REPORT:
            RAVO_TRACE("IOCTL_HID_READ_REPORT\n");
            status = read_queue->queueRead(irp);
            break;
        case IOCTL_HID_WRITE_REPORT:
            RAVO_TRACE("IOCTL_HID_WRITE_REPORT\n");
            break;
        case IOCTL_HID_ACTIVATE_DEVICE:
            RAVO_TRACE("IOCTL_HID_ACTIVATE_DEVICE\n");
            break;
        case IOCTL_HID_DEACTIVATE_DEVICE:
            RAVO_TRACE("IOCTL_HID_DEACTIVATE_DEVICE\n");
            break;
        case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
            RAVO_TRACE("IOCTL_GET_DEVICE_ATTRIBUTES\n");
            status = getAttributes(irp);
            break;
        // What an application can have the class driver pass on (HidD_GetFeature,
        // HidD_GetProductString, ...): this device has no feature or output reports, no
        // physical descriptor and no strings of its own. Programs that list HID devices ask
        // every one for its strings, and any program may send the rest as often as it likes,
        // so they are refused at trace level: an error message each (and a break into the
        // debugger with BreakOnError) would be user mode's to trigger.
        case IOCTL_HID_GET_FEATURE:
        case IOCTL_HID_SET_FEATURE:
        case IOCTL_HID_GET_INPUT_REPORT:
        case IOCTL_HID_SET_OUTPUT_REPORT:
        case IOCTL_HID_GET_STRING:
        case IOCTL_HID_GET_INDEXED_STRING:
        case IOCTL_GET_PHYSICAL_DESCRIPTOR:
            RAVO_TRACE("HID request %x not supported by this device\n", code);
            status = STATUS_NOT_SUPPORTED;
            break;
        default:
            RAVO_ERROR("Unknown or unsupported IOCTL (%x)\n", code);
            status = STATUS_NOT_SUPPORTED;
            break;
    }
    if (status != STATUS_PENDING) {
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    RAVO_INFO("HidMiniIoctl Exit = %x\n", status);
    return status;
}
