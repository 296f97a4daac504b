// The HID class driver of the emulated world, loading a HID minidriver as Windows does:
// it creates the driver object and calls the image's DriverEntry, which must register
// with HidRegisterMinidriver; for a receiver it creates the functional device object with
// a HID_DEVICE_EXTENSION over a lower filter over the bus PDO (NextDeviceObject the
// filter, PhysicalDeviceObject the PDO) and calls the minidriver's AddDevice; after the
// Plug and Play start it reads the HID descriptor, the report descriptor and the device
// attributes, parses the report descriptor and keeps read-report requests pending, whose
// reports become key events for its clients and the applications that hold the device
// open. A stop cancels the pending reads first; unload checks that the driver image left nothing
// behind: pool of any tag allocated by or for it, requests, running threads, open handles, requests
// owed to the world.
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
    // the class driver refused makes the load fail whatever DriverEntry returned. After an
    // unload, loads the image again into a new driver object (a reinstall).
    NTSTATUS load();
    const Registration& registration() const { return _registration; }
    PDRIVER_OBJECT driverObject() const { return _driver; }

    // Builds the device stack over the PDO and calls the minidriver's AddDevice.
    NTSTATUS addDevice(PDEVICE_OBJECT pdo);
    // The Plug and Play start, then the descriptor and attribute requests and the pending
    // reads. Returns the first failure (the start's, a request's, or
    // STATUS_DEVICE_CONFIGURATION_ERROR for a descriptor that does not parse).
    NTSTATUS start();
    // The stop of a rebalance: the query-stop and, once the stack agreed, the pending reads
    // cancelled and the stop request. The PnP manager sends a stop only after a successful
    // query-stop, and a cancel-stop after a refused one, whose outcome is returned (Microsoft,
    // "Stopping a Device for Resource Rebalancing"). The reads stay pending through the query.
    RequestOutcome stop();
    // The stop itself, after a query-stop the stack agreed to.
    RequestOutcome stopQueried();
    RequestOutcome surpriseRemove();
    // Sends the remove request and deletes the stack; after a removal the test sent itself,
    // only deletes it (and returns success).
    RequestOutcome remove();
    // Disabling the device, or the first half of its reinstall (Microsoft, "Removing a
    // Device"): the PnP manager tells the applications first, and those registered for the
    // device's notifications close their handles; then the query-remove. A handle still
    // open then vetoes the removal (PNP_VetoOutstandingOpen), and the stack gets the
    // cancel-remove and goes on; otherwise the removal. True when the stack went.
    bool disable();

    // A system sleep (S1-S4) as the power manager sends it and the class driver, the
    // device's power policy owner, follows it (Microsoft, "Handling a System Set-Power IRP in
    // a Device Power Policy Owner"): the system query-power and set-power, and once the
    // system request is back, the device set-power D3 the policy owner requests with
    // PoRequestPowerIrp. The first failure is returned and ends the sequence.
    RequestOutcome sleep(SYSTEM_POWER_STATE state);
    // Back to S0: the system set-power, then the device set-power D0.
    RequestOutcome wake();

    // Applications that hold the device open, a file object each at the class driver: each
    // keeps reads pending there, every report completes one and the application sends the
    // next. Closing a handle fails its pending reads with STATUS_CANCELLED (its cleanup);
    // a removal fails those of handles still open with STATUS_DEVICE_NOT_CONNECTED.
    struct Handle {
        bool open = true;
        bool closesOnNotification = true; // registered for the device's notifications
        unsigned pendingReads = 0;
        std::vector<std::vector<uint8_t>> reports;
        std::vector<NTSTATUS> failedReads;
    };
    size_t openHandle(bool closesOnNotification, unsigned pendingReads = 2);
    void closeHandle(size_t id);
    Handle handle(size_t id) const;
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
    LowerFilter* filter() const { return _filter.get(); }
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
    void failHandleReads(Handle& handle, NTSTATUS status);

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
    mutable std::mutex _handlesLock;
    std::vector<Handle> _handles;
    std::string _lastError;
    std::vector<uint8_t> _hidDescriptor;
    std::vector<uint8_t> _reportDescriptor;
    HID_DEVICE_ATTRIBUTES _attributes{};
    ParsedReportDescriptor _parsed;
};

} // namespace emu::hid
