// The dispatch routines that are neither Plug and Play nor power: create and close,
// system control, and the internal device control through which every HID request of the
// class driver arrives.
#include "frame/Device.h"
#include "frame/MinidriverExtension.h"
#include "hid/HidMiniIoctl.h"
#include "platform/Diagnostics.h"

NTSTATUS Device::static_CreateClose(PDEVICE_OBJECT fdo, PIRP irp) {
    (void)fdo;
    RAVO_ASSERT(KeGetCurrentIrql() <= APC_LEVEL, "device");
    RAVO_TRACE("Device::static_CreateClose IRP=%p\n", irp);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS Device::static_SystemControl(PDEVICE_OBJECT fdo, PIRP irp) {
    RAVO_ASSERT(KeGetCurrentIrql() <= APC_LEVEL, "device");
    RAVO_TRACE("Device::static_SystemControl IRP=%p\n", irp);
    MinidriverExtension* extension = minidriverExtension(fdo);
    NTSTATUS status = IoAcquireRemoveLock(&extension->_remove_lock, irp);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IofCallDriver(
        static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension)->NextDeviceObject, irp);
    IoReleaseRemoveLock(&extension->_remove_lock, irp);
    return status;
}

NTSTATUS Device::static_internalDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
    RAVO_TRACE("Device::static_internalDeviceControl IRP=%p\n", irp);
    MinidriverExtension* extension = minidriverExtension(fdo);
    // Held across the dispatch only (a queued read is not holding it): the removal waits
    // for it before it drains the read queue and frees the Device, so no read can slip
    // into a queue that was already drained.
    NTSTATUS status = IoAcquireRemoveLock(&extension->_remove_lock, irp);
    if (!NT_SUCCESS(status) || extension->_p_device == nullptr) {
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        if (NT_SUCCESS(status))
            IoReleaseRemoveLock(&extension->_remove_lock, irp);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = extension->_p_device->internalDeviceControl(irp);
    IoReleaseRemoveLock(&extension->_remove_lock, irp);
    return status;
}

NTSTATUS Device::internalDeviceControl(PIRP irp) {
    RAVO_TRACE("Device::internalDeviceControl IRP=%p\n", irp);
    if (state() != Started) {
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    return HidMiniIoctl(&_read_queue, irp);
}
