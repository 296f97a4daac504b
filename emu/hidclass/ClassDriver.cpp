#include "emu/hidclass/ClassDriver.h"

#include "emu/kernel/Kernel.h"

#include <cstdio>
#include <cstring>

namespace emu::hid {

namespace {

size_t alignUp(size_t bytes) {
    return (bytes + 15) & ~size_t(15);
}

std::string statusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// The service key the I/O manager passes to DriverEntry.
WCHAR g_registryPathText[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ravo";

} // namespace

ClassDriver::ClassDriver(PDRIVER_INITIALIZE driverEntry, ClassDriverOptions options)
    : _entry(driverEntry), _options(options) {}

ClassDriver::~ClassDriver() {
    if (_fdo != nullptr)
        remove();
    if (_loaded)
        unload();
    if (_driver != nullptr) {
        forgetRegistration(_driver);
        emu::deleteDriverObject(_driver);
    }
}

NTSTATUS ClassDriver::load() {
    if (_driver != nullptr) { // loaded before and unloaded: a new driver object
        forgetRegistration(_driver);
        emu::deleteDriverObject(_driver);
    }
    _driver = emu::createDriverObject("ravo");
    UNICODE_STRING registryPath;
    registryPath.Buffer = g_registryPathText;
    registryPath.Length = static_cast<USHORT>(sizeof g_registryPathText - sizeof(WCHAR));
    registryPath.MaximumLength = static_cast<USHORT>(sizeof g_registryPathText);
    expectDeviceExtensionSize(_options.deviceExtensionSize);
    NTSTATUS status = _entry(_driver, &registryPath);
    std::optional<Registration> registration = registrationOf(_driver);
    if (!registration) {
        _registration = Registration{};
        _registration.driver = _driver;
        _registration.refusal = "DriverEntry did not call HidRegisterMinidriver";
        _lastError = _registration.refusal;
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    _registration = *registration;
    if (!NT_SUCCESS(_registration.status)) {
        _lastError = "registration refused: " + _registration.refusal;
        return NT_SUCCESS(status) ? _registration.status : status;
    }
    if (!NT_SUCCESS(status)) {
        _lastError = "DriverEntry failed with " + statusText(status);
        return status;
    }
    _loaded = true;
    return status;
}

NTSTATUS ClassDriver::addDevice(PDEVICE_OBJECT pdo) {
    // The extension: the HID_DEVICE_EXTENSION, then the minidriver's zeroed part.
    size_t miniOffset = alignUp(sizeof(HID_DEVICE_EXTENSION));
    _filter = std::make_unique<LowerFilter>(pdo);
    _fdo = emu::createDeviceObject(
        _driver, static_cast<ULONG>(miniOffset + alignUp(_options.deviceExtensionSize)));
    auto* base = static_cast<UCHAR*>(_fdo->DeviceExtension);
    auto* hid = reinterpret_cast<PHID_DEVICE_EXTENSION>(base);
    hid->PhysicalDeviceObject = pdo;
    hid->NextDeviceObject = _filter->device();
    hid->MiniDeviceExtension = base + miniOffset;
    emu::attachDevice(_fdo, _filter->device());
    _pnp = std::make_unique<PnpManager>(_fdo, _options.realTimeoutMs);
    NTSTATUS status = _driver->DriverExtension->AddDevice(_driver, _fdo);
    if (!NT_SUCCESS(status)) {
        _lastError = "AddDevice failed with " + statusText(status);
        return status;
    }
    LowerFilter* filter = _filter.get();
    _pnp->checkPassedDown([filter](UCHAR minor) {
        size_t n = 0;
        for (const FilteredRequest& r : filter->requests())
            n += r.majorFunction == IRP_MJ_PNP && r.minorFunction == minor;
        return n;
    });
    return status;
}

RequestOutcome ClassDriver::ioctl(ULONG code, void* buffer, ULONG length, const char* what) {
    return sendAndWait(
        _fdo,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
            // METHOD_NEITHER: the output buffer travels as UserBuffer.
            stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            stack->Parameters.DeviceIoControl.IoControlCode = code;
            stack->Parameters.DeviceIoControl.OutputBufferLength = length;
            irp->UserBuffer = buffer;
        },
        what, _options.realTimeoutMs);
}

NTSTATUS ClassDriver::readDescriptors() {
    HID_DESCRIPTOR descriptor{};
    RequestOutcome got = ioctl(IOCTL_HID_GET_DEVICE_DESCRIPTOR, &descriptor, sizeof descriptor,
                               "IOCTL_HID_GET_DEVICE_DESCRIPTOR");
    if (!NT_SUCCESS(got.status)) {
        _lastError = "IOCTL_HID_GET_DEVICE_DESCRIPTOR failed with " + statusText(got.status);
        return got.status;
    }
    auto* bytes = reinterpret_cast<const uint8_t*>(&descriptor);
    _hidDescriptor.assign(bytes, bytes + std::min<size_t>(got.information, sizeof descriptor));
    if (got.information < sizeof descriptor || descriptor.bNumDescriptors == 0 ||
        descriptor.DescriptorList[0].bReportType != 0x22) {
        _lastError = "the HID descriptor names no report descriptor";
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    std::vector<uint8_t> report(descriptor.DescriptorList[0].wReportLength);
    got = ioctl(IOCTL_HID_GET_REPORT_DESCRIPTOR, report.data(), static_cast<ULONG>(report.size()),
                "IOCTL_HID_GET_REPORT_DESCRIPTOR");
    if (!NT_SUCCESS(got.status)) {
        _lastError = "IOCTL_HID_GET_REPORT_DESCRIPTOR failed with " + statusText(got.status);
        return got.status;
    }
    report.resize(std::min<size_t>(got.information, report.size()));
    _reportDescriptor = report;

    _attributes = HID_DEVICE_ATTRIBUTES{};
    got = ioctl(IOCTL_HID_GET_DEVICE_ATTRIBUTES, &_attributes, sizeof _attributes,
                "IOCTL_HID_GET_DEVICE_ATTRIBUTES");
    if (!NT_SUCCESS(got.status)) {
        _lastError = "IOCTL_HID_GET_DEVICE_ATTRIBUTES failed with " + statusText(got.status);
        return got.status;
    }

    _parsed = parseReportDescriptor(_reportDescriptor);
    if (!_parsed.ok || _parsed.maxInputLength() == 0) {
        _lastError = "the report descriptor does not parse: " + _parsed.error;
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    _keys.setDescriptor(_parsed);
    return STATUS_SUCCESS;
}

NTSTATUS ClassDriver::start() {
    _lastError.clear();
    RequestOutcome started = _pnp->pnp(IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(started.status)) {
        _lastError = "IRP_MN_START_DEVICE failed with " + statusText(started.status);
        return started.status;
    }
    NTSTATUS status = readDescriptors();
    if (!NT_SUCCESS(status))
        return status;
    auto reads =
        std::make_unique<ReadReportClient>(_fdo, static_cast<ULONG>(_parsed.maxInputLength()));
    reads->setSink([this](const InputReport& report) {
        if (!NT_SUCCESS(report.status))
            return;
        {
            std::lock_guard<std::mutex> guard(_handlesLock);
            for (Handle& handle : _handles)
                if (handle.open && handle.pendingReads != 0)
                    handle.reports.push_back(report.bytes);
        }
        _keys.deliver(report.bytes);
    });
    ReadReportClient* client = reads.get();
    {
        std::lock_guard<std::mutex> guard(_readsLock);
        _reads = std::move(reads);
    }
    if (_options.pendingReads != 0)
        client->keepPending(_options.pendingReads);
    return STATUS_SUCCESS;
}

size_t ClassDriver::cancelReads(bool thenResume) {
    std::lock_guard<std::mutex> guard(_readsLock);
    if (!_reads)
        return 0;
    size_t cancelled = _reads->cancelPending();
    if (thenResume && _options.pendingReads != 0)
        _reads->keepPending(_options.pendingReads);
    return cancelled;
}

// Waits for the reads to come back and lets the client go.
void ClassDriver::dropReads() {
    if (!_reads)
        return;
    _reads->stopResending();
    if (!_reads->waitUntilNonePending(_options.realTimeoutMs))
        emu::verifierFailure("IRP never completed",
                             "%zu read-report request(s) still pending %d ms after the device "
                             "stopped or went away",
                             _reads->pending(), _options.realTimeoutMs);
    std::unique_ptr<ReadReportClient> gone;
    {
        std::lock_guard<std::mutex> guard(_readsLock);
        gone = std::move(_reads);
    }
}

RequestOutcome ClassDriver::stop() {
    RequestOutcome query = _pnp->pnp(IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        _pnp->pnp(IRP_MN_CANCEL_STOP_DEVICE);
        return query;
    }
    return stopQueried();
}

RequestOutcome ClassDriver::stopQueried() {
    if (_reads)
        _reads->stopResending();
    cancelReads();
    RequestOutcome outcome = _pnp->pnp(IRP_MN_STOP_DEVICE);
    dropReads();
    return outcome;
}

RequestOutcome ClassDriver::surpriseRemove() {
    return _pnp->pnp(IRP_MN_SURPRISE_REMOVAL);
}

RequestOutcome ClassDriver::remove() {
    if (_reads)
        _reads->stopResending();
    // A removal the test sent itself is not sent again: no PnP manager sends two.
    bool sent = false;
    for (const FilteredRequest& r : _filter->requests())
        sent = sent || (r.majorFunction == IRP_MJ_PNP && r.minorFunction == IRP_MN_REMOVE_DEVICE);
    RequestOutcome outcome;
    outcome.returned = outcome.status = STATUS_SUCCESS;
    if (!sent)
        outcome = _pnp->pnp(IRP_MN_REMOVE_DEVICE);
    {
        std::lock_guard<std::mutex> guard(_handlesLock);
        for (Handle& handle : _handles)
            if (handle.open)
                failHandleReads(handle, STATUS_DEVICE_NOT_CONNECTED);
    }
    dropReads();
    _pnp.reset();
    // A queued work item holds a reference on the device object: it outlives the removal
    // until the item has run.
    if (!emu::workitems::waitIdle(_options.realTimeoutMs))
        emu::verifierFailure("work item never ran", "work items still queued %d ms after removal",
                             _options.realTimeoutMs);
    _filter->device()->AttachedDevice = nullptr;
    emu::deleteDeviceObject(_fdo);
    _fdo = nullptr;
    _filter.reset();
    return outcome;
}

bool ClassDriver::disable() {
    bool vetoed = false;
    {
        std::lock_guard<std::mutex> guard(_handlesLock);
        for (Handle& handle : _handles) {
            if (handle.open && handle.closesOnNotification) {
                failHandleReads(handle, STATUS_CANCELLED);
                handle.open = false;
            }
            vetoed = vetoed || handle.open;
        }
    }
    RequestOutcome query = _pnp->pnp(IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.status) || vetoed) {
        _pnp->pnp(IRP_MN_CANCEL_REMOVE_DEVICE);
        return false;
    }
    remove();
    return true;
}

RequestOutcome ClassDriver::sleep(SYSTEM_POWER_STATE state) {
    RequestOutcome outcome = _pnp->queryPower(SystemPowerState, state);
    if (NT_SUCCESS(outcome.status))
        outcome = _pnp->setSystemPower(state);
    if (NT_SUCCESS(outcome.status))
        outcome = _pnp->setDevicePower(PowerDeviceD3);
    return outcome;
}

RequestOutcome ClassDriver::wake() {
    RequestOutcome outcome = _pnp->setSystemPower(PowerSystemWorking);
    if (NT_SUCCESS(outcome.status))
        outcome = _pnp->setDevicePower(PowerDeviceD0);
    return outcome;
}

size_t ClassDriver::openHandle(bool closesOnNotification, unsigned pendingReads) {
    std::lock_guard<std::mutex> guard(_handlesLock);
    Handle handle;
    handle.closesOnNotification = closesOnNotification;
    handle.pendingReads = pendingReads;
    _handles.push_back(handle);
    return _handles.size() - 1;
}

void ClassDriver::closeHandle(size_t id) {
    std::lock_guard<std::mutex> guard(_handlesLock);
    failHandleReads(_handles.at(id), STATUS_CANCELLED);
    _handles[id].open = false;
}

ClassDriver::Handle ClassDriver::handle(size_t id) const {
    std::lock_guard<std::mutex> guard(_handlesLock);
    return _handles.at(id);
}

void ClassDriver::failHandleReads(Handle& handle, NTSTATUS status) {
    handle.failedReads.insert(handle.failedReads.end(), handle.pendingReads, status);
    handle.pendingReads = 0;
}

void ClassDriver::unload() {
    if (_driver->DriverUnload != nullptr)
        _driver->DriverUnload(_driver);
    _loaded = false;
    emu::verifyImageReleasedAll(reinterpret_cast<const void*>(_entry), "after DriverUnload");
    emu::verifyWorldIrpsCompleted("after DriverUnload");
}

} // namespace emu::hid
