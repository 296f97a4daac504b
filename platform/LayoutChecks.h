// The x64 sizes of every record the driver shares with the platform. A mismatch here means
// the driver and the kernel, the class driver or the bus driver would disagree on a field.
#pragma once

static_assert(sizeof(void*) == 8, "the driver is built for x64 only");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2, "LLP64 widths");
static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");
static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
static_assert(sizeof(KEVENT) == 24, "KEVENT");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX");
static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK");
static_assert(sizeof(IO_REMOVE_LOCK) == 120, "IO_REMOVE_LOCK in its checked layout");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION");
static_assert(sizeof(IRP) == 208, "IRP");
static_assert(offsetof(IRP, IoStatus) == 48, "IRP.IoStatus");
static_assert(offsetof(IRP, CancelRoutine) == 104, "IRP.CancelRoutine");
static_assert(offsetof(IRP, UserBuffer) == 112, "IRP.UserBuffer");
static_assert(offsetof(IRP, Tail.Overlay.ListEntry) == 168, "IRP.Tail.Overlay.ListEntry");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184, "IRP stack pointer");
#if !defined(_WIN32)
// The cross toolchain's declaration drops the 16-byte alignment that makes the real one 336
// bytes; the driver never allocates device objects, so there only the offsets matter.
static_assert(sizeof(DEVICE_OBJECT) == 336, "DEVICE_OBJECT");
#endif
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 64, "DEVICE_OBJECT.DeviceExtension");
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 76, "DEVICE_OBJECT.StackSize");
static_assert(sizeof(DRIVER_OBJECT) == 336, "DRIVER_OBJECT");
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 104, "DRIVER_OBJECT.DriverUnload");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 112, "DRIVER_OBJECT.MajorFunction");
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284, "RTL_OSVERSIONINFOEXW");
static_assert(sizeof(HID_MINIDRIVER_REGISTRATION) == 32, "HID_MINIDRIVER_REGISTRATION");
static_assert(sizeof(HID_DEVICE_EXTENSION) == 24, "HID_DEVICE_EXTENSION");
static_assert(sizeof(HID_DEVICE_ATTRIBUTES) == 32, "HID_DEVICE_ATTRIBUTES");
static_assert(sizeof(HID_DESCRIPTOR) == 9, "HID_DESCRIPTOR");
static_assert(sizeof(HID_XFER_PACKET) == 16, "HID_XFER_PACKET");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR");
static_assert(sizeof(USBD_VERSION_INFORMATION) == 8, "USBD_VERSION_INFORMATION");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24,
              "USBD_INTERFACE_INFORMATION.Pipes");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY");
static_assert(sizeof(struct _URB_HEADER) == 24, "_URB_HEADER");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136,
              "_URB_CONTROL_DESCRIPTOR_REQUEST");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 136,
              "_URB_CONTROL_GET_STATUS_REQUEST");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "_URB_PIPE_REQUEST");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128,
              "_URB_BULK_OR_INTERRUPT_TRANSFER");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "_URB_ISOCH_TRANSFER");
static_assert(GET_ISO_URB_SIZE(3) == 188, "GET_ISO_URB_SIZE");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "_URB_SELECT_CONFIGURATION");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40,
              "select-configuration records");
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007, "IOCTL_INTERNAL_USB_RESET_PORT");
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
static_assert(IOCTL_HID_GET_DEVICE_DESCRIPTOR == 0xB0003, "IOCTL_HID_GET_DEVICE_DESCRIPTOR");
static_assert(IOCTL_HID_GET_REPORT_DESCRIPTOR == 0xB0007, "IOCTL_HID_GET_REPORT_DESCRIPTOR");
static_assert(IOCTL_HID_READ_REPORT == 0xB000B, "IOCTL_HID_READ_REPORT");
static_assert(IOCTL_HID_WRITE_REPORT == 0xB000F, "IOCTL_HID_WRITE_REPORT");
static_assert(IOCTL_HID_GET_STRING == 0xB0013, "IOCTL_HID_GET_STRING");
static_assert(IOCTL_HID_ACTIVATE_DEVICE == 0xB001F, "IOCTL_HID_ACTIVATE_DEVICE");
static_assert(IOCTL_HID_DEACTIVATE_DEVICE == 0xB0023, "IOCTL_HID_DEACTIVATE_DEVICE");
static_assert(IOCTL_HID_GET_DEVICE_ATTRIBUTES == 0xB0027, "IOCTL_HID_GET_DEVICE_ATTRIBUTES");
