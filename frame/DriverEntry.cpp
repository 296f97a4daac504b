#include "frame/DriverEntry.h"

#include "frame/Device.h"
#include "frame/MinidriverExtension.h"
#include "platform/Diagnostics.h"

static_assert(sizeof(MinidriverExtension) == MINIDRIVER_EXTENSION_SIZE,
              "the registration declares the extension's size");

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    RAVO_ALWAYS("DriverEntry\n");
    RAVO_TRACE("DriverEntry Enter\n");
    RAVO_TRACE("DriverObject (%lx)\n", (ULONG)(ULONG_PTR)driver);

    driver->MajorFunction[IRP_MJ_CREATE] = Device::static_CreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = Device::static_CreateClose;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Device::static_internalDeviceControl;
    driver->MajorFunction[IRP_MJ_POWER] = Device::static_power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Device::static_SystemControl;
    driver->MajorFunction[IRP_MJ_PNP] = Device::static_pnp;
    driver->DriverExtension->AddDevice = Device::static_add;
    driver->DriverUnload = DriverUnload;

    HID_MINIDRIVER_REGISTRATION registration;
    RtlZeroMemory(&registration, sizeof registration);
    registration.Revision = HID_REVISION;
    registration.DriverObject = driver;
    registration.RegistryPath = registry_path;
    registration.DeviceExtensionSize = sizeof(MinidriverExtension);
    registration.DevicesArePolled = FALSE;
    RAVO_TRACE("DeviceExtensionSize = %x\n", registration.DeviceExtensionSize);
    RAVO_TRACE("Registering with HIDCLASS.SYS\n");
    NTSTATUS status = HidRegisterMinidriver(&registration);
    RAVO_INFO("DriverEntry Exit = %x\n", status);
    return status;
}

extern "C" VOID DriverUnload(PDRIVER_OBJECT driver) {
    RAVO_INFO("DriverUnload\n");
    RAVO_TRACE("Unloading DriverObject = %x\n", (ULONG)(ULONG_PTR)driver);
}
