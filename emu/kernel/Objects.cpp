// Driver and device objects of the emulated world.
#include "Internal.h"

#include <cstdlib>

namespace emu {

namespace {

// What the I/O manager puts in every slot of a new driver object's dispatch table.
NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

struct DriverAllocation {
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
};

} // namespace

bool isDefaultDispatch(PDRIVER_DISPATCH routine) {
    return routine == nullptr || routine == invalidDeviceRequest;
}

PDRIVER_OBJECT createDriverObject(const char* name) {
    (void)name;
    auto* allocation = new DriverAllocation();
    memset(allocation, 0, sizeof *allocation);
    PDRIVER_OBJECT driver = &allocation->driver;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &allocation->extension;
    allocation->extension.DriverObject = driver;
    for (auto& slot : driver->MajorFunction)
        slot = invalidDeviceRequest;
    return driver;
}

void deleteDriverObject(PDRIVER_OBJECT driver) {
    delete reinterpret_cast<DriverAllocation*>(driver);
}

PDEVICE_OBJECT createDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize) {
    size_t total = (sizeof(DEVICE_OBJECT) + extensionSize + 15) & ~size_t(15);
    auto* device = static_cast<PDEVICE_OBJECT>(aligned_alloc(16, total));
    memset(device, 0, total);
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->StackSize = 1;
    device->DeviceExtension =
        extensionSize ? reinterpret_cast<UCHAR*>(device) + sizeof(DEVICE_OBJECT) : nullptr;
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    return device;
}

void attachDevice(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower) {
    upper->StackSize = static_cast<CCHAR>(lower->StackSize + 1);
    lower->AttachedDevice = upper;
}

void deleteDeviceObject(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    free(device);
}

} // namespace emu
