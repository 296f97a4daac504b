#include "emu/hidclass/LowerFilter.h"

#include "emu/kernel/Kernel.h"

namespace emu::hid {

namespace {

// From Windows Vista (build 6000) on, power requests go down with IoCallDriver and need no
// PoStartNextPowerIrp; before it, a filter calls PoStartNextPowerIrp and PoCallDriver.
bool powerSequenced() {
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    RtlGetVersion(&version);
    return version.dwBuildNumber < 6000;
}

} // namespace

LowerFilter::LowerFilter(PDEVICE_OBJECT pdo) : _lower(pdo) {
    _driver = emu::createDriverObject("lowerfilter");
    for (auto& slot : _driver->MajorFunction)
        slot = passDown;
    _device = emu::createDeviceObject(_driver, sizeof(LowerFilter*));
    *static_cast<LowerFilter**>(_device->DeviceExtension) = this;
    emu::attachDevice(_device, pdo);
}

LowerFilter::~LowerFilter() {
    _lower->AttachedDevice = nullptr;
    emu::deleteDeviceObject(_device);
    emu::deleteDriverObject(_driver);
}

std::vector<FilteredRequest> LowerFilter::requests() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _requests;
}

NTSTATUS LowerFilter::passDown(PDEVICE_OBJECT device, PIRP irp) {
    LowerFilter* self = *static_cast<LowerFilter**>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool power = stack->MajorFunction == IRP_MJ_POWER;
    FilteredRequest r{stack->MajorFunction, stack->MinorFunction, 0};
    if (power)
        r.powerState = static_cast<ULONG>(stack->Parameters.Power.State.DeviceState);
    {
        std::lock_guard<std::mutex> guard(self->_lock);
        self->_requests.push_back(r);
    }
    if (power && powerSequenced()) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(self->_lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(self->_lower, irp);
}

} // namespace emu::hid
