// A test-only USB bus for Windows kernels (Wine's included): one root-enumerated bus device
// that reports one IR receiver, answers the receiver driver's USB requests as the receiver
// does, and plays recorded receiver packets on the IR data pipe.
//
// The packets come from C:\ravo\play.pkt, which the bus waits for (the reader puts it there
// once its handles are open). One line per event, times in ms from the start of playback:
//   <ms> <hex bytes>   a packet for the next pending read of the data pipe
//   <ms> unplug        the receiver leaves the bus: pending and later transfers fail, and
//                      packets are not played until it is back
//   <ms> plug          it is plugged in again: once the PnP manager has removed the old
//                      receiver, the bus reports a new one and waits (at most a minute) for
//                      C:\ravo\replugged, which the reader of the new receiver puts there;
//                      the times of the lines after it count from then
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

namespace {

// clang-format off
const UCHAR kDeviceDescriptor[18] = {
    18, 1, 0x00, 0x02, 0, 0, 0, 8, 0x09, 0x12, 0x43, 0x72, 0x00, 0x01, 0, 0, 0, 1,
};
// One configuration (bus-powered, remote wake-up): interface 0 of vendor class with bulk IN
// 0x81 (IR data), bulk OUT 0x02 (commands) and 0x03.
const UCHAR kConfiguration[39] = {
    9, 2, 39, 0, 1, 1, 0, 0xA0, 50,
    9, 4, 0, 0, 3, 0xFF, 0, 0, 0,
    7, 5, 0x81, 2, 64, 0, 0,
    7, 5, 0x02, 2, 64, 0, 0,
    7, 5, 0x03, 2, 64, 0, 0,
};
// clang-format on
const ULONG kMaxScript = 1 << 20;
const ULONG kTag = 0x73627652; // "Rvbs" in a pool dump

struct Bus {
    PDEVICE_OBJECT fdo;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT child;
    bool present; // the receiver is plugged in
    KSPIN_LOCK lock;
    LIST_ENTRY reads; // pending bulk IN requests, oldest first
    KEVENT stop;
    PVOID thread;
};

struct ChildExtension {
    Bus* bus;
};

Bus* busOf(PDEVICE_OBJECT device) {
    if (device->DeviceExtension == nullptr)
        return nullptr;
    return static_cast<ChildExtension*>(device->DeviceExtension)->bus;
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void cancelRead(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus* bus = busOf(device);
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&bus->lock, irql);
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    complete(irp, STATUS_CANCELLED);
}

// The oldest pending read whose cancel routine could still be taken away, or null.
PIRP takeRead(Bus* bus) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    PIRP found = nullptr;
    for (PLIST_ENTRY e = bus->reads.Flink; e != &bus->reads; e = e->Flink) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(e);
            found = irp;
            break;
        }
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return found;
}

void failReads(Bus* bus, NTSTATUS status, USBD_STATUS usbd) {
    while (PIRP irp = takeRead(bus)) {
        PURB urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = usbd;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        complete(irp, status);
    }
}

void deliver(Bus* bus, const UCHAR* bytes, ULONG length) {
    PIRP irp = takeRead(bus);
    if (irp == nullptr) {
        DbgPrint("ravobus: no read pending, packet of %lu bytes lost\n", length);
        return;
    }
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    _URB_BULK_OR_INTERRUPT_TRANSFER& t = urb->UrbBulkOrInterruptTransfer;
    if (length > t.TransferBufferLength)
        length = t.TransferBufferLength;
    RtlCopyMemory(t.TransferBuffer, bytes, length);
    t.TransferBufferLength = length;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    complete(irp, STATUS_SUCCESS);
}

void unplug(Bus* bus) {
    DbgPrint("ravobus: receiver unplugged\n");
    bus->present = false;
    failReads(bus, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
}

// Waits up to ms; true when the bus is stopping.
bool pause(Bus* bus, LONGLONG ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10000;
    return KeWaitForSingleObject(&bus->stop, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
}

// The receiver is back: a new one on the bus once the old one is gone. True when its
// reader is there in time.
bool plug(Bus* bus) {
    // Set to null by the removal, on another thread.
    PDEVICE_OBJECT volatile* child = &bus->child;
    for (int i = 0; i < 600 && *child != nullptr; ++i)
        if (pause(bus, 100))
            return false;
    DbgPrint("ravobus: receiver plugged in again\n");
    bus->present = true;
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\??\\C:\\ravo\\replugged");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    for (int i = 0; i < 600; ++i) {
        HANDLE file;
        IO_STATUS_BLOCK io;
        if (NT_SUCCESS(ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr,
                                    FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                    FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr,
                                    0))) {
            ZwClose(file);
            return true;
        }
        if (pause(bus, 100))
            return false;
    }
    DbgPrint("ravobus: nobody reads the receiver plugged in again\n");
    return false;
}

char* readScript(ULONG* size) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\??\\C:\\ravo\\play.pkt");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    HANDLE file;
    IO_STATUS_BLOCK io;
    if (!NT_SUCCESS(ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr,
                                 0)))
        return nullptr;
    char* text = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, kMaxScript + 1, kTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (text != nullptr)
        status =
            ZwReadFile(file, nullptr, nullptr, nullptr, &io, text, kMaxScript, nullptr, nullptr);
    ZwClose(file);
    if (!NT_SUCCESS(status)) {
        if (text != nullptr)
            ExFreePoolWithTag(text, kTag);
        return nullptr;
    }
    *size = static_cast<ULONG>(io.Information);
    text[*size] = 0;
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void play(Bus* bus, char* text) {
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    ULONG packets = 0;
    for (char* line = text; *line != 0;) {
        char* end = line;
        while (*end != 0 && *end != '\n')
            ++end;
        char* next = *end != 0 ? end + 1 : end;
        *end = 0;
        LONGLONG at = 0;
        char* p = line;
        for (; *p >= '0' && *p <= '9'; ++p)
            at = at * 10 + (*p - '0');
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        LONGLONG wait = at - (now.QuadPart - start.QuadPart) / 10000;
        if (wait > 0 && pause(bus, wait))
            return;
        while (*p == ' ')
            ++p;
        line = next;
        if (*p == 'u') {
            unplug(bus);
            continue;
        }
        if (*p == 'p') {
            if (!plug(bus))
                break;
            KeQuerySystemTime(&start);
            start.QuadPart -= at * 10000;
            continue;
        }
        if (!bus->present)
            continue;
        UCHAR bytes[64];
        ULONG n = 0;
        while (n < sizeof bytes && hexDigit(p[0]) >= 0 && hexDigit(p[1]) >= 0) {
            bytes[n++] = static_cast<UCHAR>(hexDigit(p[0]) * 16 + hexDigit(p[1]));
            for (p += 2; *p == ' ' || *p == '\r';)
                ++p;
        }
        if (n != 0) {
            deliver(bus, bytes, n);
            ++packets;
        }
    }
    DbgPrint("ravobus: played %lu packets\n", packets);
}

void playbackThread(PVOID context) {
    Bus* bus = static_cast<Bus*>(context);
    char* text = nullptr;
    ULONG size = 0;
    while (text == nullptr && !pause(bus, 100))
        text = readScript(&size);
    if (text != nullptr) {
        DbgPrint("ravobus: playing %lu bytes of packets\n", size);
        play(bus, text);
        ExFreePoolWithTag(text, kTag);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS copyOut(PVOID to, ULONG* length, const UCHAR* from, ULONG size) {
    if (*length < size)
        size = *length;
    RtlCopyMemory(to, from, size);
    *length = size;
    return STATUS_SUCCESS;
}

// Fills in the handles of a configuration the driver selects.
NTSTATUS selectConfiguration(PURB urb) {
    _URB_SELECT_CONFIGURATION& s = urb->UrbSelectConfiguration;
    if (s.ConfigurationDescriptor == nullptr)
        return STATUS_SUCCESS; // the unconfigured state
    s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xC0F1);
    PUSBD_INTERFACE_INFORMATION info = &s.Interface;
    if (info->NumberOfPipes > 3)
        return STATUS_INVALID_PARAMETER;
    info->Class = 0xFF;
    info->SubClass = 0;
    info->Protocol = 0;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1F00);
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        const UCHAR* endpoint = kConfiguration + 18 + 7 * i;
        USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        pipe.EndpointAddress = endpoint[2];
        pipe.MaximumPacketSize = endpoint[4];
        pipe.Interval = 0;
        pipe.PipeType = UsbdPipeTypeBulk;
        pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(ULONG_PTR{0x9900} + endpoint[2]);
        pipe.MaximumTransferSize = 4096;
    }
    return STATUS_SUCCESS;
}

NTSTATUS submitUrb(Bus* bus, PIRP irp, PURB urb) {
    if (!bus->present) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            _URB_CONTROL_DESCRIPTOR_REQUEST& d = urb->UrbControlDescriptorRequest;
            if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
                status = copyOut(d.TransferBuffer, &d.TransferBufferLength, kDeviceDescriptor,
                                 sizeof kDeviceDescriptor);
            else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.Index == 0)
                status = copyOut(d.TransferBuffer, &d.TransferBufferLength, kConfiguration,
                                 sizeof kConfiguration);
            else
                status = STATUS_INVALID_PARAMETER;
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION:
            status = selectConfiguration(urb);
            break;
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
            _URB_CONTROL_GET_STATUS_REQUEST& g = urb->UrbControlGetStatusRequest;
            static const UCHAR idle[2] = {0, 0};
            status = copyOut(g.TransferBuffer, &g.TransferBufferLength, idle, sizeof idle);
            break;
        }
        case URB_FUNCTION_ABORT_PIPE:
            DbgPrint("ravobus: abort pipe\n");
            failReads(bus, STATUS_CANCELLED, USBD_STATUS_CANCELED);
            break;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            DbgPrint("ravobus: reset pipe\n");
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            _URB_BULK_OR_INTERRUPT_TRANSFER& t = urb->UrbBulkOrInterruptTransfer;
            if (!(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN))
                break; // commands to the receiver are taken as sent
            KIRQL irql;
            KeAcquireSpinLock(&bus->lock, &irql);
            IoMarkIrpPending(irp);
            InsertTailList(&bus->reads, &irp->Tail.Overlay.ListEntry);
            (void)IoSetCancelRoutine(irp, cancelRead);
            bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
            if (cancelled)
                RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&bus->lock, irql);
            if (cancelled) {
                urb->UrbHeader.Status = USBD_STATUS_CANCELED;
                complete(irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        }
        default:
            DbgPrint("ravobus: URB function 0x%x not served\n", urb->UrbHeader.Function);
            urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
            status = STATUS_INVALID_PARAMETER;
            break;
    }
    return complete(irp, status);
}

NTSTATUS childInternalIoctl(PDEVICE_OBJECT device, PIRP irp) {
    Bus* bus = busOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return submitUrb(bus, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            *static_cast<PULONG>(stack->Parameters.Others.Argument1) =
                bus->present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
            return complete(irp, bus->present ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
        case IOCTL_INTERNAL_USB_RESET_PORT:
            DbgPrint("ravobus: reset port\n");
            return complete(irp, bus->present ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
        default:
            return complete(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS multiString(PIRP irp, const WCHAR* text, ULONG bytes) {
    PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kTag));
    if (copy == nullptr)
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(copy, text, bytes);
    return complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

NTSTATUS childPnp(PDEVICE_OBJECT device, PIRP irp) {
    Bus* bus = busOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            static const WCHAR device_id[] = L"USB\\VID_1209&PID_7243";
            static const WCHAR hardware_ids[] = L"USB\\VID_1209&PID_7243&REV_0100\0"
                                                L"USB\\VID_1209&PID_7243\0";
            static const WCHAR compatible_ids[] = L"USB\\Class_FF&SubClass_00&Prot_00\0"
                                                  L"USB\\Class_FF&SubClass_00\0"
                                                  L"USB\\Class_FF\0";
            static const WCHAR instance_id[] = L"1";
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    return multiString(irp, device_id, sizeof device_id);
                case BusQueryHardwareIDs:
                    return multiString(irp, hardware_ids, sizeof hardware_ids);
                case BusQueryCompatibleIDs:
                    return multiString(irp, compatible_ids, sizeof compatible_ids);
                case BusQueryInstanceID:
                    return multiString(irp, instance_id, sizeof instance_id);
                default:
                    return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
            }
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = TRUE;
            caps->SurpriseRemovalOK = TRUE;
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_SURPRISE_REMOVAL:
            // Whoever still waits on the receiver hears that it is gone.
            DbgPrint("ravobus: receiver surprise-removed\n");
            bus->present = false;
            failReads(bus, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            failReads(bus, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
            complete(irp, STATUS_SUCCESS);
            if (!bus->present || bus->child == nullptr) {
                DbgPrint("ravobus: receiver removed\n");
                bus->child = nullptr;
                IoDeleteDevice(device);
            }
            return STATUS_SUCCESS;
        default:
            return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS busRelations(Bus* bus, PIRP irp) {
    if (bus->child == nullptr && bus->present) {
        NTSTATUS status =
            IoCreateDevice(bus->fdo->DriverObject, sizeof(ChildExtension), nullptr,
                           FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &bus->child);
        if (!NT_SUCCESS(status))
            return complete(irp, status);
        static_cast<ChildExtension*>(bus->child->DeviceExtension)->bus = bus;
        bus->child->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    bool report = bus->present && bus->child != nullptr;
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
    if (relations == nullptr)
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 0;
    if (report) {
        relations->Objects[relations->Count++] = bus->child;
        ObReferenceObject(bus->child);
    }
    return complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

NTSTATUS busPnp(PDEVICE_OBJECT device, PIRP irp) {
    Bus* bus = static_cast<Bus*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
                return busRelations(bus, irp);
            break;
        case IRP_MN_START_DEVICE: {
            HANDLE handle;
            if (bus->thread == nullptr &&
                NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr,
                                                nullptr, playbackThread, bus))) {
                ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                          &bus->thread, nullptr);
                ZwClose(handle);
            }
            IoInvalidateDeviceRelations(bus->pdo, BusRelations);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE: {
            KeSetEvent(&bus->stop, IO_NO_INCREMENT, FALSE);
            if (bus->thread != nullptr) {
                KeWaitForSingleObject(bus->thread, Executive, KernelMode, FALSE, nullptr);
                ObDereferenceObject(bus->thread);
                bus->thread = nullptr;
            }
            if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
                break;
            // The PnP manager removes the children before their bus.
            if (bus->child != nullptr) {
                IoDeleteDevice(bus->child);
                bus->child = nullptr;
            }
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(bus->lower, irp);
            IoDetachDevice(bus->lower);
            IoDeleteDevice(device);
            return status;
        }
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lower, irp);
}

bool isBus(PDEVICE_OBJECT device) {
    return device->DeviceType == FILE_DEVICE_BUS_EXTENDER;
}

NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return isBus(device) ? busPnp(device, irp) : childPnp(device, irp);
}

NTSTATUS dispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp) {
    return isBus(device) ? complete(irp, STATUS_NOT_SUPPORTED) : childInternalIoctl(device, irp);
}

NTSTATUS dispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    if (isBus(device)) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(static_cast<Bus*>(device->DeviceExtension)->lower, irp);
    }
    return complete(irp, IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER
                             ? STATUS_SUCCESS
                             : irp->IoStatus.Status);
}

NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Bus), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    Bus* bus = static_cast<Bus*>(fdo->DeviceExtension);
    RtlZeroMemory(bus, sizeof *bus);
    bus->fdo = fdo;
    bus->pdo = pdo;
    bus->present = true;
    KeInitializeSpinLock(&bus->lock);
    InitializeListHead(&bus->reads);
    KeInitializeEvent(&bus->stop, NotificationEvent, FALSE);
    bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) {
    DbgPrint("ravobus: unloaded\n");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    DbgPrint("ravobus: loaded\n");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = dispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternalIoctl;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
