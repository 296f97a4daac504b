#include "emu/hidclass/ReadReportClient.h"

#include "emu/kernel/Kernel.h"

#include <algorithm>
#include <cstring>

namespace emu::hid {

// ---------------------------------------------------------------------------------------
// StandInFdo. The extension is the HID_DEVICE_EXTENSION, the minidriver's part, then a
// pointer back to the StandInFdo for the dispatch trampoline.

namespace {

size_t alignUp(size_t bytes) {
    return (bytes + 15) & ~size_t(15);
}

size_t backPointerOffset(ULONG miniExtensionSize) {
    return alignUp(sizeof(HID_DEVICE_EXTENSION)) + alignUp(miniExtensionSize);
}

} // namespace

StandInFdo::StandInFdo(ULONG miniExtensionSize, Handler internalDeviceControl)
    : _handler(std::move(internalDeviceControl)) {
    _driver = emu::createDriverObject("hidclass-stand-in");
    for (auto& slot : _driver->MajorFunction) {
        slot = refuse;
    }
    _driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    size_t backOffset = backPointerOffset(miniExtensionSize);
    _fdo = emu::createDeviceObject(_driver, static_cast<ULONG>(backOffset + sizeof(void*)));
    auto* base = static_cast<UCHAR*>(_fdo->DeviceExtension);
    auto* hid = reinterpret_cast<PHID_DEVICE_EXTENSION>(base);
    hid->MiniDeviceExtension = base + alignUp(sizeof(HID_DEVICE_EXTENSION));
    StandInFdo* self = this;
    std::memcpy(base + backOffset, &self, sizeof(self));
}

StandInFdo::~StandInFdo() {
    emu::deleteDeviceObject(_fdo);
    emu::deleteDriverObject(_driver);
}

PVOID StandInFdo::miniExtension() const {
    return static_cast<PHID_DEVICE_EXTENSION>(_fdo->DeviceExtension)->MiniDeviceExtension;
}

NTSTATUS StandInFdo::dispatch(PDEVICE_OBJECT device, PIRP irp) {
    // The back pointer sits behind the minidriver's part, whose size only the constructor
    // knew; find it again from the device's extension size.
    size_t extensionSize = device->Size - sizeof(DEVICE_OBJECT);
    auto* base = static_cast<UCHAR*>(device->DeviceExtension);
    StandInFdo* self = nullptr;
    std::memcpy(&self, base + extensionSize - sizeof(void*), sizeof(self));
    return self->_handler(device, irp);
}

NTSTATUS StandInFdo::refuse(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

// ---------------------------------------------------------------------------------------
// ReadReportClient

struct ReadReportClient::Slot {
    std::vector<uint8_t> buffer;
    PIRP irp = nullptr;
    bool done = false;  // completion came back to the top
    int cancellers = 0; // cancelPending calls that may still pass irp to IoCancelIrp
};

namespace {
// Completions that arrive while this thread is already sending (a report completing a
// read inside the very dispatch that queued it) are left to the outer pump loop.
thread_local bool t_pumping = false;
// The read this thread is dispatching right now: one that completes inside its own
// dispatch was refused (or cancelled before it was queued) and is not sent again.
thread_local const void* t_dispatching = nullptr;
} // namespace

ReadReportClient::ReadReportClient(PDEVICE_OBJECT target, ULONG bufferLength)
    : _target(target), _bufferLength(bufferLength) {}

ReadReportClient::~ReadReportClient() {
    std::lock_guard<std::mutex> hold(_lock);
    if (_pending != 0) {
        emu::verifierFailure("read-report requests outlive their client",
                             "%zu read-report request(s) still pending at the minidriver",
                             _pending);
    }
}

void ReadReportClient::keepPending(unsigned depth) {
    {
        std::lock_guard<std::mutex> hold(_lock);
        _depth = depth;
        _resend = true;
        _owed = _depth > _pending ? _depth - _pending : 0;
    }
    pump();
}

void ReadReportClient::stopResending() {
    std::lock_guard<std::mutex> hold(_lock);
    _resend = false;
    _owed = 0;
}

void ReadReportClient::setSink(std::function<void(const InputReport&)> sink) {
    std::lock_guard<std::mutex> hold(_lock);
    _sink = std::move(sink);
}

size_t ReadReportClient::pending() const {
    std::lock_guard<std::mutex> hold(_lock);
    return _pending;
}

size_t ReadReportClient::refused() const {
    std::lock_guard<std::mutex> hold(_lock);
    return _refused;
}

size_t ReadReportClient::cancelPending() {
    std::vector<Slot*> held;
    {
        std::lock_guard<std::mutex> hold(_lock);
        _resend = false;
        _owed = 0;
        for (Slot* slot : _slots) {
            if (!slot->done && slot->irp != nullptr) {
                slot->cancellers++;
                held.push_back(slot);
            }
        }
    }
    size_t cancelled = 0;
    for (Slot* slot : held) {
        // The request cannot be freed under us: completion leaves it to the last canceller.
        cancelled += IoCancelIrp(slot->irp) ? 1 : 0;
        std::lock_guard<std::mutex> hold(_lock);
        slot->cancellers--;
        release(slot);
    }
    return cancelled;
}

bool ReadReportClient::waitUntilNonePending(int realTimeoutMs) const {
    std::unique_lock<std::mutex> hold(_lock);
    return _changed.wait_for(hold, std::chrono::milliseconds(realTimeoutMs),
                             [this] { return _pending == 0; });
}

void ReadReportClient::release(Slot* slot) {
    if (!slot->done || slot->cancellers != 0) {
        return;
    }
    IoFreeIrp(slot->irp);
    _slots.erase(std::find(_slots.begin(), _slots.end(), slot));
    delete slot;
}

uint64_t ReadReportClient::completedCount() const {
    std::lock_guard<std::mutex> hold(_lock);
    return _completed;
}

std::vector<InputReport> ReadReportClient::take() {
    std::lock_guard<std::mutex> hold(_lock);
    std::vector<InputReport> taken;
    taken.swap(_reports);
    return taken;
}

void ReadReportClient::pump() {
    if (t_pumping) {
        return;
    }
    t_pumping = true;
    for (;;) {
        Slot* slot = nullptr;
        {
            std::lock_guard<std::mutex> hold(_lock);
            if (_owed == 0 || !_resend) {
                break;
            }
            _owed--;
            _pending++;
            slot = new Slot();
            slot->buffer.assign(_bufferLength, 0xCC);
            _slots.push_back(slot);
        }
        PIRP irp = emu::allocateWorldIrp(_target->StackSize,
                                         [this, slot](PIRP done) { onComplete(slot, done); });
        PIO_STACK_LOCATION location = emu::firstStackLocation(irp);
        location->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        location->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
        location->Parameters.DeviceIoControl.OutputBufferLength = _bufferLength;
        location->Parameters.DeviceIoControl.InputBufferLength = 0;
        irp->UserBuffer = slot->buffer.data();
        {
            std::lock_guard<std::mutex> hold(_lock);
            slot->irp = irp;
        }
        t_dispatching = slot;
        NTSTATUS status = IofCallDriver(_target, irp); // slot may be gone after this
        t_dispatching = nullptr;
        if (status != STATUS_PENDING) {
            // Refused: completed already, and not worth sending again.
            std::lock_guard<std::mutex> hold(_lock);
            _refused++;
        }
    }
    t_pumping = false;
}

void ReadReportClient::onComplete(Slot* slot, PIRP irp) {
    InputReport report;
    report.status = irp->IoStatus.Status;
    size_t length = std::min<size_t>(irp->IoStatus.Information, slot->buffer.size());
    if (NT_SUCCESS(report.status)) {
        report.bytes.assign(slot->buffer.begin(), slot->buffer.begin() + length);
    }
    (void)irp;

    std::function<void(const InputReport&)> sink;
    {
        std::lock_guard<std::mutex> hold(_lock);
        bool refusedAtDispatch = t_dispatching == slot;
        slot->done = true;
        release(slot);
        _pending--;
        _changed.notify_all();
        report.sequence = ++_completed;
        _reports.push_back(report);
        sink = _sink;
        bool gone = report.status == STATUS_NO_SUCH_DEVICE || report.status == STATUS_CANCELLED;
        if (_resend && !gone && !refusedAtDispatch && _pending + _owed < _depth) {
            _owed++;
        }
    }
    if (sink) {
        sink(report);
    }
    pump();
}

} // namespace emu::hid
