#include "emu/hidclass/Registration.h"

#include "emu/kernel/Kernel.h"

#include <map>
#include <mutex>

namespace emu::hid {

namespace {

struct Registry {
    std::mutex lock;
    ULONG expectedExtensionSize = 0;
    std::map<PDRIVER_OBJECT, Registration> byDriver;
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

// The class driver takes over the dispatch table when a minidriver registers: every slot it
// forwards to the minidriver must be filled by then.
const char* missingEntryPoint(PDRIVER_OBJECT driver) {
    struct Slot {
        UCHAR major;
        const char* name;
    };
    static const Slot needed[] = {
        {IRP_MJ_PNP, "IRP_MJ_PNP"},
        {IRP_MJ_POWER, "IRP_MJ_POWER"},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, "IRP_MJ_INTERNAL_DEVICE_CONTROL"}};
    for (const Slot& slot : needed) {
        if (emu::isDefaultDispatch(driver->MajorFunction[slot.major]))
            return slot.name;
    }
    if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr)
        return "AddDevice";
    return nullptr;
}

std::string check(const HID_MINIDRIVER_REGISTRATION& record, ULONG expectedSize, NTSTATUS* status) {
    *status = STATUS_INVALID_PARAMETER;
    if (record.Revision != HID_REVISION) {
        *status = STATUS_REVISION_MISMATCH;
        return "Revision " + std::to_string(record.Revision) + ", the class driver speaks " +
               std::to_string(HID_REVISION);
    }
    if (record.DriverObject == nullptr)
        return "no DriverObject";
    if (expectedSize != 0 && record.DeviceExtensionSize != expectedSize)
        return "DeviceExtensionSize " + std::to_string(record.DeviceExtensionSize) +
               ", the minidriver's extension is " + std::to_string(expectedSize) + " bytes";
    if (record.DevicesArePolled != FALSE)
        return "DevicesArePolled set for a device that delivers input through read requests";
    if (const char* missing = missingEntryPoint(record.DriverObject))
        return std::string("dispatch table not filled before registering: ") + missing;
    *status = STATUS_SUCCESS;
    return "";
}

} // namespace

void expectDeviceExtensionSize(ULONG bytes) {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().expectedExtensionSize = bytes;
}

std::optional<Registration> registrationOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(registry().lock);
    auto found = registry().byDriver.find(driver);
    if (found == registry().byDriver.end())
        return std::nullopt;
    return found->second;
}

void forgetRegistration(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().byDriver.erase(driver);
}

} // namespace emu::hid

extern "C" NTSTATUS HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION MinidriverRegistration) {
    emu::hid::Registry& r = emu::hid::registry();
    if (MinidriverRegistration == nullptr)
        return STATUS_INVALID_PARAMETER;
    emu::hid::Registration registration;
    registration.record = *MinidriverRegistration;
    registration.driver = MinidriverRegistration->DriverObject;
    std::lock_guard<std::mutex> guard(r.lock);
    registration.refusal =
        emu::hid::check(registration.record, r.expectedExtensionSize, &registration.status);
    r.byDriver[registration.driver] = registration;
    return registration.status;
}
