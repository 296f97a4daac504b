// The HID class driver's side of a minidriver's registration: the record is checked as
// HIDCLASS checks it and kept for the class driver that creates the minidriver's devices.
#include "emu/hidclass/MinidriverRegistration.h"

#include <mutex>

namespace {

std::mutex g_lock;
std::vector<HID_MINIDRIVER_REGISTRATION> g_registrations;

} // namespace

namespace emu::hid {

std::optional<HID_MINIDRIVER_REGISTRATION> registrationOf(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto& registration : g_registrations)
        if (registration.DriverObject == driver)
            return registration;
    return std::nullopt;
}

void forgetRegistration(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_registrations.begin(); it != g_registrations.end(); ++it)
        if (it->DriverObject == driver) {
            g_registrations.erase(it);
            return;
        }
}

} // namespace emu::hid

extern "C" NTSTATUS HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION MinidriverRegistration) {
    if (MinidriverRegistration == nullptr || MinidriverRegistration->DriverObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (MinidriverRegistration->Revision > HID_REVISION)
        return STATUS_REVISION_MISMATCH;
    std::lock_guard<std::mutex> guard(g_lock);
    g_registrations.push_back(*MinidriverRegistration);
    return STATUS_SUCCESS;
}
