// The HID class driver of the emulated world, loading a HID minidriver as Windows does:
// it creates the driver object and calls the image's DriverEntry, which must register
// with HidRegisterMinidriver; for a receiver it creates the functional device object with
// a HID_DEVICE_EXTENSION over a lower filter over the bus PDO (NextDeviceObject the
// filter, PhysicalDeviceObject the PDO) and calls the minidriver's AddDevice; after the
// Plug and Play start it reads the HID descriptor, the report descriptor and the device
// attributes, parses the report descriptor and keeps read-report requests pending, whose
// reports become key events for its clients. Stop and removal cancel the pending reads;
// unload checks that the driver image left nothing behind: pool of any tag allocated by
// or for it, requests, running threads, open handles, requests owed to the world.
#pragma once

#include "emu/hidclass/KeyEvents.h"
#include "emu/hidclass/LowerFilter.h"
#include "emu/hidclass/ReadReportClient.h"
#include "emu/hidclass/Registration.h"
#include "emu/hidclass/ReportDescriptorParser.h"
#include "emu/hidclass/UserRequests.h"
#include "emu/kernel/PnpManager.h"
#include "platform/platform.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace emu::hid {

struct ClassDriverOptions {
    ULONG deviceExtensionSize = 136; // the minidriver extension the stacks are built with
    unsigned pendingReads = 2;       // read-report requests kept pending per device
    int realTimeoutMs = 10000;       // guard on every request the world waits for
};

class ClassDriver {
public:
    explicit ClassDriver(PDRIVER_INITIALIZE driverEntry, ClassDriverOptions options = {});
    // Removes a device still present and unloads a loaded driver.
    ~ClassDriver();
    ClassDriver(const ClassDriver&) = delete;
    ClassDriver& operator=(const ClassDriver&) = delete;

    // Creates the driver object and runs DriverEntry; returns its status. A registration
    // the class driver refused makes the load fail whatever DriverEntry returned.
    NTSTATUS load();
    const Registration& registration() const { return _registration; }
    PDRIVER_OBJECT driverObject() const { return _driver; }

    // Builds the device stack over the PDO and calls the minidriver's AddDevice.
    NTSTATUS addDevice(PDEVICE_OBJECT pdo);
    // The Plug and Play start, then the descriptor and attribute requests and the pending
    // reads. Returns the first failure (the start's, a request's, or
    // STATUS_DEVICE_CONFIGURATION_ERROR for a descriptor that does not parse).
    NTSTATUS start();
    // Cancels the pending reads and sends the stop request.
    RequestOutcome stop();
    RequestOutcome surpriseRemove();
    // Cancels the pending reads, sends the remove request and deletes the device stack.
    RequestOutcome remove();
    // DriverUnload, then the checks of the driver image and of the requests owed.
    void unload();

    // A request user mode made, passed on with its buffer shaped so and its answer checked
    // (UserRequests.h); a code no class driver sends goes as an Output request.
    UserRequestOutcome userRequest(ULONG code, const UserBuffer& buffer);

    // Cancels the pending reads without any Plug and Play request (any thread); with
    // thenResume the class driver sends new ones, as after an aborted read.
    size_t cancelReads(bool thenResume = false);

    PDEVICE_OBJECT fdo() const { return _fdo; }
    // The filter below the functional device object; null before addDevice.
    const LowerFilter* filter() const { return _filter.get(); }
    PnpManager& pnp() { return *_pnp; }
    KeyEvents& keys() { return _keys; }
    ReadReportClient* reads() { return _reads.get(); }
    // Why start() failed, in words.
    const std::string& lastError() const { return _lastError; }

    const std::vector<uint8_t>& hidDescriptor() const { return _hidDescriptor; }
    const std::vector<uint8_t>& reportDescriptor() const { return _reportDescriptor; }
    const HID_DEVICE_ATTRIBUTES& attributes() const { return _attributes; }
    const ParsedReportDescriptor& parsed() const { return _parsed; }

private:
    NTSTATUS readDescriptors();
    RequestOutcome ioctl(ULONG code, void* buffer, ULONG length, const char* what);
    void dropReads();

    PDRIVER_INITIALIZE _entry;
    ClassDriverOptions _options;
    PDRIVER_OBJECT _driver = nullptr;
    bool _loaded = false;
    Registration _registration;
    std::unique_ptr<LowerFilter> _filter;
    PDEVICE_OBJECT _fdo = nullptr;
    std::unique_ptr<PnpManager> _pnp;
    std::mutex _readsLock; // guards _reads against cancelReads from other threads
    std::unique_ptr<ReadReportClient> _reads;
    KeyEvents _keys;
    std::string _lastError;
    std::vector<uint8_t> _hidDescriptor;
    std::vector<uint8_t> _reportDescriptor;
    HID_DEVICE_ATTRIBUTES _attributes{};
    ParsedReportDescriptor _parsed;
};

} // namespace emu::hid
