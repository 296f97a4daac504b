// Trace-level dumps of the descriptors and records the configuration keeps: a header line
// with the record's address, then one line per field.
#include "platform/Diagnostics.h"
#include "usb/CUsbInterface.h"

void CUsbInterface::UsbDumpConfigDescriptor(PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    RAVO_TRACE("  USB_CONFIGURATION_DESCRIPTOR     &%08p\n", (PVOID)descriptor);
    RAVO_TRACE("  bLength  %u\n", (ULONG)descriptor->bLength);
    RAVO_TRACE("  bDescriptorType  %u\n", (ULONG)descriptor->bDescriptorType);
    RAVO_TRACE("  wTotalLength  %u\n", (ULONG)descriptor->wTotalLength);
    RAVO_TRACE("  bNumInterfaces  %u\n", (ULONG)descriptor->bNumInterfaces);
    RAVO_TRACE("  bConfigurationValue  %u\n", (ULONG)descriptor->bConfigurationValue);
    RAVO_TRACE("  iConfiguration  %u\n", (ULONG)descriptor->iConfiguration);
    RAVO_TRACE("  bmAttributes  %02X\n", (ULONG)descriptor->bmAttributes);
    RAVO_TRACE("  MaxPower  %u\n", (ULONG)descriptor->MaxPower);
}

void CUsbInterface::UsbDumpDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR descriptor) {
    RAVO_TRACE("  USB_DEVICE_DESCRIPTOR     0x%08p\n", (PVOID)descriptor);
    RAVO_TRACE("  bLength %u\n", (ULONG)descriptor->bLength);
    RAVO_TRACE("  bDescriptorType  %u\n", (ULONG)descriptor->bDescriptorType);
    RAVO_TRACE("  bcdUSB  %04X\n", (ULONG)descriptor->bcdUSB);
    RAVO_TRACE("  bDeviceClass  %u\n", (ULONG)descriptor->bDeviceClass);
    RAVO_TRACE("  bDeviceSubClass  %u\n", (ULONG)descriptor->bDeviceSubClass);
    RAVO_TRACE("  bDeviceProtocol  %u\n", (ULONG)descriptor->bDeviceProtocol);
    RAVO_TRACE("  bMaxPacketSize0  %u\n", (ULONG)descriptor->bMaxPacketSize0);
    RAVO_TRACE("  idVendor  %04X\n", (ULONG)descriptor->idVendor);
    RAVO_TRACE("  idProduct  %04X\n", (ULONG)descriptor->idProduct);
    RAVO_TRACE("  bcdDevice  %04X\n", (ULONG)descriptor->bcdDevice);
    RAVO_TRACE("  iManufacturer  %u\n", (ULONG)descriptor->iManufacturer);
    RAVO_TRACE("  iProduct  %u\n", (ULONG)descriptor->iProduct);
    RAVO_TRACE("  iSerialNumber  %u\n", (ULONG)descriptor->iSerialNumber);
    RAVO_TRACE("  bNumConfigurations  %u\n", (ULONG)descriptor->bNumConfigurations);
}

void CUsbInterface::UsbDumpInterfaceInformation(PUSBD_INTERFACE_INFORMATION information) {
    RAVO_TRACE("  USBD_INTERFACE_INFORMATION     %08p\n", (PVOID)information);
    RAVO_TRACE("  Length  %u\n", (ULONG)information->Length);
    RAVO_TRACE("  InterfaceNumber  %u\n", (ULONG)information->InterfaceNumber);
    RAVO_TRACE("  AlternateSetting  %u\n", (ULONG)information->AlternateSetting);
    RAVO_TRACE("  Class  %X\n", (ULONG)information->Class);
    RAVO_TRACE("  SubClass  %X\n", (ULONG)information->SubClass);
    RAVO_TRACE("  Protocol  %u\n", (ULONG)information->Protocol);
    RAVO_TRACE("  Reserved  %u\n", (ULONG)information->Reserved);
    RAVO_TRACE("  InterfaceHandle  %08p\n", (PVOID)information->InterfaceHandle);
    RAVO_TRACE("  NumberOfPipes  %u\n", information->NumberOfPipes);
    // The record was checked to hold every pipe it announces.
    for (ULONG p = 0; p < information->NumberOfPipes; ++p) {
        RAVO_TRACE("\n**** Pipe %d information follows \n", p);
        UsbDumpPipeInformation(&information->Pipes[p]);
    }
}

void CUsbInterface::UsbDumpPipeInformation(PUSBD_PIPE_INFORMATION information) {
    RAVO_TRACE("  USBD_PIPE_INFORMATION     %08p\n", (PVOID)information);
    RAVO_TRACE("  MaximumPacketSize  %u\n", (ULONG)information->MaximumPacketSize);
    RAVO_TRACE("  EndpointAddress  %X\n", (ULONG)information->EndpointAddress);
    RAVO_TRACE("  Interval  %u\n", (ULONG)information->Interval);
    RAVO_TRACE("  PipeType  %X\n", (ULONG)information->PipeType);
    RAVO_TRACE("  PipeHandle  %08p\n", (PVOID)information->PipeHandle);
    RAVO_TRACE("  MaximumTransferSize  %u\n", information->MaximumTransferSize);
    RAVO_TRACE("  PipeFlags  %X\n", information->PipeFlags);
}
