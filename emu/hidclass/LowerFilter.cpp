#include "emu/hidclass/LowerFilter.h"

#include "emu/kernel/Kernel.h"

#include <chrono>

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
    FilteredRequest r{stack->MajorFunction, stack->MinorFunction, 0};
    if (r.majorFunction == IRP_MJ_POWER) {
        r.powerState = static_cast<ULONG>(stack->Parameters.Power.State.DeviceState);
        r.powerType = stack->Parameters.Power.Type;
    }
    std::optional<NTSTATUS> failure;
    {
        std::lock_guard<std::mutex> guard(self->_lock);
        self->_requests.push_back(r);
        if (self->_hold && self->_hold->majorFunction == r.majorFunction &&
            self->_hold->minorFunction == r.minorFunction &&
            self->_hold->powerState == r.powerState && self->_hold->powerType == r.powerType) {
            self->_hold.reset();
            self->_held = irp;
            IoMarkIrpPending(irp);
            self->_changed.notify_all();
            return STATUS_PENDING;
        }
        if (self->_fail && r.majorFunction == IRP_MJ_PNP && self->_fail->first == r.minorFunction) {
            failure = self->_fail->second;
            self->_fail.reset();
        }
    }
    if (!failure)
        return self->forward(irp, false);
    irp->IoStatus.Status = *failure;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return *failure;
}

// A held request was marked pending here: it goes down in a stack location of its own,
// whose pending mark is the lower driver's business.
NTSTATUS LowerFilter::forward(PIRP irp, bool held) {
    const bool sequenced =
        IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER && powerSequenced();
    if (sequenced)
        PoStartNextPowerIrp(irp);
    if (held)
        IoCopyCurrentIrpStackLocationToNext(irp);
    else
        IoSkipCurrentIrpStackLocation(irp);
    return sequenced ? PoCallDriver(_lower, irp) : IofCallDriver(_lower, irp);
}

void LowerFilter::holdNext(UCHAR majorFunction, UCHAR minorFunction,
                           DEVICE_POWER_STATE powerState) {
    std::lock_guard<std::mutex> guard(_lock);
    _hold = FilteredRequest{majorFunction, minorFunction, static_cast<ULONG>(powerState),
                            majorFunction == IRP_MJ_POWER ? DevicePowerState : SystemPowerState};
}

bool LowerFilter::waitForHeld(int realTimeoutMs) const {
    std::unique_lock<std::mutex> hold(_lock);
    return _changed.wait_for(hold, std::chrono::milliseconds(realTimeoutMs),
                             [this] { return _held != nullptr; });
}

void LowerFilter::failNext(UCHAR minorFunction, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(_lock);
    _fail = std::make_pair(minorFunction, status);
}

void LowerFilter::release() {
    PIRP irp;
    {
        std::lock_guard<std::mutex> guard(_lock);
        irp = _held;
        _held = nullptr;
    }
    if (irp != nullptr)
        (void)forward(irp, true);
}

} // namespace emu::hid
