// The configuration performed once per receiver: device descriptor, every configuration
// descriptor set, selection of one configuration and the interface and pipe records the bus
// returns for it; and their release.
#include "platform/Diagnostics.h"
#include "usb/CUsbInterface.h"
#include "usb/UsbDescriptorCheck.h"

namespace {

// The first read of a configuration asks for this much, raised to a multiple of 8.
const ULONG kFirstConfigReadSize = 265;
// A device reports the same wTotalLength every time; one that keeps asking for more after
// the second read is not followed any further.
const ULONG kMaxConfigReads = 3;

typedef struct _URB_CONTROL_DESCRIPTOR_REQUEST DescriptorRequest;

} // namespace

CUsbInterface::~CUsbInterface() {
    if (_initialized)
        _initialized = 0;
    UnConfigDevice();
    if (_p_irp != nullptr) {
        IoFreeIrp(_p_irp);
        _p_irp = nullptr;
    }
}

NTSTATUS CUsbInterface::InitDevice() {
    if (_initialized) {
        RAVO_ERROR("CUsbInterface::InitDevice() Already Initialized. Skipping...\n");
        return STATUS_SUCCESS;
    }
    if (_p_irp == nullptr) {
        _p_irp = IoAllocateIrp(_p_pdo->StackSize, FALSE);
        if (_p_irp == nullptr) {
            RAVO_ERROR("CUsbInterface::InitDevice() Unable to allocate IRP\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    NTSTATUS status = ConfigDevice();
    ULONG port = 0;
    if (status == STATUS_DEVICE_DATA_ERROR && NT_SUCCESS(GetPortStatus(&port)) &&
        (port & USBD_PORT_CONNECTED) && !(port & USBD_PORT_ENABLED)) {
        // A port disabled by an earlier error stays disabled until somebody resets it; the
        // recovery of a running device does, but a start has to do it itself.
        RAVO_ERROR("CUsbInterface::InitDevice() the port is disabled; resetting it and "
                   "trying once more\n");
        UnConfigDevice();
        if (NT_SUCCESS(ResetParentPort()))
            status = ConfigDevice();
    }
    RAVO_INFO("CUsbInterface::ConfigDevice() Status(0x%x)\n", status);
    if (!NT_SUCCESS(status)) {
        RAVO_ERROR("CUsbInterface::InitDevice() Unable to ConfigDevice\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (_p_configs == nullptr || _p_interfaces == nullptr) {
        RAVO_ERROR("CUsbInterface::InitDevice() Failed _p_configs(0x%p) _p_interfaces(0x%p)\n",
                   (PVOID)_p_configs, (PVOID)_p_interfaces);
        return STATUS_UNSUCCESSFUL;
    }
    setIoError(0);
    _initialized = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbInterface::ConfigDevice() {
    setIoError(0);
    NTSTATUS status = UsbDeviceGetDescriptor();
    if (!NT_SUCCESS(status)) {
        RAVO_ERROR("UsbDeviceGetDescriptor() Failed Status(0x%x)\n", status);
        return status;
    }
    status = UsbConfigGetDescriptor(_device_descriptor.bNumConfigurations);
    if (!NT_SUCCESS(status)) {
        RAVO_ERROR("UsbConfigGetDescriptor() Failed Status(0x%x)\n", status);
        return status;
    }
    status = UsbConfigSelect(_config_index);
    if (!NT_SUCCESS(status))
        RAVO_ERROR("UsbConfigSelect() Failed Status(0x%x)\n", status);
    return status;
}

NTSTATUS CUsbInterface::UsbDeviceGetDescriptor() {
    auto* request = new DescriptorRequest;
    if (request == nullptr) {
        RAVO_ERROR("UsbDeviceGetDescriptor() Unable to allocate p_urb\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(request, sizeof *request);
    request->Hdr.Length = sizeof *request;
    request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request->TransferBuffer = &_device_descriptor;
    request->TransferBufferLength = sizeof(USB_DEVICE_DESCRIPTOR);
    request->DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    request->Index = 0;
    request->LanguageId = 0;
    NTSTATUS status = UsbCall_GSPN(reinterpret_cast<PURB>(request));
    if (NT_SUCCESS(status))
        UsbDumpDeviceDescriptor(&_device_descriptor);
    delete request;
    return status;
}

NTSTATUS CUsbInterface::UsbConfigGetDescriptor(UCHAR count) {
    // Nothing to read means nothing to select: such a device cannot be configured.
    if (count == 0) {
        RAVO_ERROR("UsbConfigGetDescriptor() device has no configuration\n");
        return STATUS_UNSUCCESSFUL;
    }
    auto* request = new DescriptorRequest;
    if (request == nullptr) {
        RAVO_ERROR("UsbConfigGetDescriptor() Unable to allocate p_urb\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(request, sizeof *request);
    // A second configuration run (after a failed one) replaces what the first one read.
    releaseConfigs();
    _p_configs = new PUSB_CONFIGURATION_DESCRIPTOR[count];
    if (_p_configs == nullptr) {
        RAVO_ERROR("UsbConfigGetDescriptor() Unable to allocate _p_configs\n");
        delete request;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(_p_configs, count * sizeof(PUSB_CONFIGURATION_DESCRIPTOR));
    _config_count = count;

    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR i = 0; i < count; ++i) {
        ULONG size = kFirstConfigReadSize;
        for (ULONG read = 1;; ++read) {
            if (size % 8 != 0) {
                size = (size + 7) & ~7u;
                RAVO_INFO("CUsbInterface::UsbConfigGetDescriptor : adjusting size to %d\n", size);
            }
            auto* buffer = new UCHAR[size];
            if (buffer == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            RtlZeroMemory(buffer, size);
            request->Hdr.Length = sizeof *request;
            request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            request->TransferBuffer = buffer;
            request->TransferBufferLength = size;
            request->TransferBufferMDL = nullptr;
            request->DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
            request->Index = i;
            request->LanguageId = 0;
            request->UrbLink = nullptr;
            status = UsbCall_GSPN(reinterpret_cast<PURB>(request));
            if (!NT_SUCCESS(status)) {
                delete[] buffer;
                break;
            }
            ULONG received = request->TransferBufferLength;
            if (received > size)
                received = size;
            ULONG total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->wTotalLength;
            if (received != 0 && total > size && read < kMaxConfigReads) {
                size = total;
                delete[] buffer;
                continue;
            }
            // Kept only when every length in it holds: the USBD parsing routines walk it
            // by the device's own lengths.
            if (!UsbConfigurationIsWellFormed(buffer, received)) {
                RAVO_ERROR("UsbConfigGetDescriptor() malformed configuration descriptor %d\n", i);
                delete[] buffer;
                status = STATUS_DEVICE_DATA_ERROR;
                break;
            }
            _p_configs[i] = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
            status = STATUS_SUCCESS;
            UsbDumpConfigDescriptor(_p_configs[i]);
            break;
        }
    }
    delete request;
    return status;
}

NTSTATUS CUsbInterface::UsbConfigSelect(ULONG index) {
    if (index >= _config_count) {
        RAVO_ERROR("UsbConfigSelect: invalid configuration number: %x\n", index);
        index = 0;
    }
    if (_p_configs == nullptr || _p_configs[index] == nullptr)
        return STATUS_UNSUCCESSFUL;

    PUSB_CONFIGURATION_DESCRIPTOR config = _p_configs[index];
    ULONG interfaces = config->bNumInterfaces;
    auto* list = new USBD_INTERFACE_LIST_ENTRY[interfaces + 1];
    if (list == nullptr) {
        RAVO_ERROR("CUsbInterface::UsbConfigSelect() can not allocate interfaceList\n");
        releaseInterfaces();
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(list, (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    // Alternate setting 0 of each interface, of any class; an interface without one ends
    // the list there.
    for (UCHAR n = 0; n < interfaces; ++n)
        list[n].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, n, 0, -1, -1, -1);

    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (urb == nullptr) {
        delete[] list;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = UsbCall_GSPN(urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        releaseInterfaces();
        // At least one entry, so that a configuration without interfaces still has an array.
        _p_interfaces = new PUSBD_INTERFACE_INFORMATION[interfaces != 0 ? interfaces : 1];
        if (_p_interfaces == nullptr) {
            ExFreePool(urb);
            delete[] list;
            RAVO_ERROR("CUsbInterface::UsbConfigSelect() can not allocate _p_interfaces\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(_p_interfaces,
                      (interfaces != 0 ? interfaces : 1) * sizeof(PUSBD_INTERFACE_INFORMATION));
        _interface_count = interfaces;
        _config_index = index;
        // The records follow one another behind the configuration handle, each as long as
        // its own Length; the URB's header Length bounds them all.
        auto* bytes = reinterpret_cast<const UCHAR*>(urb);
        ULONG urb_length = urb->UrbHeader.Length;
        ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
        _config_handle =
            urb_length >= offset ? urb->UrbSelectConfiguration.ConfigurationHandle : nullptr;
        for (ULONG n = 0; n < interfaces; ++n) {
            ULONG length = UsbInterfaceRecordLength(bytes, urb_length, offset);
            if (length == 0) {
                RAVO_ERROR("CUsbInterface::UsbConfigSelect() %d of %d interface records\n", n,
                           interfaces);
                break;
            }
            auto* record = new UCHAR[length];
            if (record != nullptr) {
                RtlCopyMemory(record, bytes + offset, length);
                _p_interfaces[n] = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
                UsbDumpInterfaceInformation(_p_interfaces[n]);
            } else {
                // The device is configured, but an interface the driver cannot reach is not
                // a success to report.
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
            offset += length;
        }
        if (NT_SUCCESS(status))
            RAVO_ALWAYS("Select Configuration successful\n");
    }
    ExFreePool(urb);
    delete[] list;
    return status;
}

NTSTATUS CUsbInterface::UnConfigDevice() {
    RAVO_INFO("CUsbInterface::UnConfigDevice()\n");
    releaseInterfaces();
    releaseConfigs();
    return STATUS_SUCCESS;
}

void CUsbInterface::releaseInterfaces() {
    if (_p_interfaces == nullptr)
        return;
    for (ULONG n = 0; n < _interface_count; ++n) {
        if (_p_interfaces[n] != nullptr)
            delete[] reinterpret_cast<UCHAR*>(_p_interfaces[n]);
    }
    delete[] _p_interfaces;
    _p_interfaces = nullptr;
    _interface_count = 0;
}

void CUsbInterface::releaseConfigs() {
    if (_p_configs == nullptr)
        return;
    for (ULONG i = 0; i < _config_count; ++i) {
        if (_p_configs[i] != nullptr)
            delete[] reinterpret_cast<UCHAR*>(_p_configs[i]);
    }
    delete[] _p_configs;
    _p_configs = nullptr;
    _config_count = 0;
}
