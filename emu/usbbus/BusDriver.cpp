// The emulated USB bus driver's request handling: the PDO's dispatch routines, the request
// log, parking with a cancel routine, completion (from the bus thread at DISPATCH_LEVEL or
// inline) and the tear-down. What a request does to the device is the receiver model's
// business (ReceiverModel.cpp); scripted failures come from FaultInjection.cpp.
#include "emu/usbbus/BusState.h"

#include "emu/kernel/Kernel.h"
#include "emu/kernel/PnpManager.h"

#include <algorithm>
#include <chrono>

namespace emu {
namespace usb {

namespace {

constexpr size_t kLogLimit = 200000;

void setTransferLength(PURB urb, ULONG length) {
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
            break;
        case URB_FUNCTION_ISOCH_TRANSFER:
            urb->UrbIsochronousTransfer.TransferBufferLength = length;
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            urb->UrbControlDescriptorRequest.TransferBufferLength = length;
            break;
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            urb->UrbControlGetStatusRequest.TransferBufferLength = length;
            break;
        default:
            break;
    }
}

} // namespace

RequestRecord* VirtualReceiver::State::recordLocked(uint64_t sequence) {
    if (sequence < logBase || sequence - logBase >= log.size())
        return nullptr;
    return &log[sequence - logBase];
}

uint64_t VirtualReceiver::State::addRecordLocked(RequestRecord record) {
    record.sequence = nextSequence++;
    if (log.empty())
        logBase = record.sequence;
    log.push_back(std::move(record));
    while (log.size() > kLogLimit) {
        log.pop_front();
        ++logBase;
    }
    return nextSequence - 1;
}

// Takes a parked request out if its cancel routine can still be cleared. Returns the
// position after it (erasing invalidates the deque's iterators).
std::deque<Parked>::iterator VirtualReceiver::State::claimLocked(std::deque<Parked>::iterator it,
                                                                 Parked& out, bool& claimed) {
    claimed = false;
    if (it->cancelling)
        return it + 1;
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
        it->cancelling = true;
        return it + 1;
    }
    out = std::move(*it);
    claimed = true;
    return parked.erase(it);
}

// Claims every parked request that pred selects and turns it into a completion.
void VirtualReceiver::State::failParkedLocked(const std::function<bool(const Parked&)>& pred,
                                              NTSTATUS status, USBD_STATUS usbd,
                                              std::vector<Completion>& out) {
    for (auto it = parked.begin(); it != parked.end();) {
        if (!pred(*it)) {
            ++it;
            continue;
        }
        Parked p;
        bool claimed;
        it = claimLocked(it, p, claimed);
        if (!claimed)
            continue;
        Completion c;
        c.irp = p.irp;
        c.urb = p.urb;
        c.status = status;
        c.usbdStatus = usbd;
        c.length = p.urb ? std::optional<ULONG>(0) : std::nullopt;
        c.sequence = p.sequence;
        out.push_back(std::move(c));
    }
}

void VirtualReceiver::State::complete(Completion& c) {
    if (c.destination != nullptr && !c.iso && !c.bytes.empty())
        memcpy(c.destination, c.bytes.data(), c.bytes.size());
    if (c.iso) {
        PUSBD_ISO_PACKET_DESCRIPTOR packets = c.urb->UrbIsochronousTransfer.IsoPacket;
        for (size_t i = 0; i < c.isoPackets.size(); ++i) {
            IsoFill& f = c.isoPackets[i];
            if (!f.bytes.empty())
                memcpy(c.destination + f.offset, f.bytes.data(), f.bytes.size());
            packets[i].Length = static_cast<ULONG>(f.bytes.size());
            packets[i].Status = f.status;
        }
    }
    if (c.urb != nullptr) {
        c.urb->UrbHeader.Status = c.usbdStatus;
        if (c.length)
            setTransferLength(c.urb, *c.length);
    }
    c.irp->IoStatus.Status = c.status;
    c.irp->IoStatus.Information = c.information;
    KIRQL old;
    KeRaiseIrql(std::max(KeGetCurrentIrql(), emu::completion::irql()), &old);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (RequestRecord* r = recordLocked(c.sequence)) {
            r->completed = true;
            r->status = c.status;
            r->usbdStatus = c.usbdStatus;
            r->transferredLength = c.length ? *c.length : static_cast<ULONG>(c.information);
            r->completionIrql = KeGetCurrentIrql();
        }
    }
    IofCompleteRequest(c.irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

// Completes now (Immediate mode, or when the bus thread is gone) or through the bus
// thread; requests already marked pending are simply queued.
void VirtualReceiver::State::deliver(std::vector<Completion>& completions) {
    std::vector<Completion> now;
    {
        std::lock_guard<std::mutex> guard(lock);
        bool inline_ = mode == CompletionMode::Immediate || threadGone;
        for (Completion& c : completions) {
            if (inline_) {
                ++completing;
                now.push_back(std::move(c));
            } else {
                queued.push_back(std::move(c));
            }
        }
        changed.notify_all();
    }
    for (Completion& c : now)
        complete(c);
    if (!now.empty()) {
        std::lock_guard<std::mutex> guard(lock);
        completing -= static_cast<int>(now.size());
        changed.notify_all();
    }
}

NTSTATUS VirtualReceiver::State::finishDispatch(PIRP irp, PURB urb, uint64_t sequence,
                                                const Outcome& o, std::optional<UCHAR> endpoint,
                                                UCHAR* buffer, ULONG requested,
                                                std::vector<USBD_STATUS> isoStatus) {
    Completion c;
    c.irp = irp;
    c.urb = urb;
    c.status = o.status;
    c.usbdStatus = o.usbdStatus;
    c.length = o.length;
    c.information = o.information;
    c.sequence = sequence;

    if (o.kind == Outcome::Complete) {
        std::unique_lock<std::mutex> guard(lock);
        bool inline_ = mode == CompletionMode::Immediate || threadGone;
        if (!inline_) {
            IoMarkIrpPending(irp);
            if (RequestRecord* r = recordLocked(sequence))
                r->pended = true;
            queued.push_back(std::move(c));
            changed.notify_all();
            return STATUS_PENDING;
        }
        ++completing;
        guard.unlock();
        NTSTATUS status = c.status;
        complete(c);
        guard.lock();
        --completing;
        changed.notify_all();
        return status;
    }

    // Wait or Hold: parked with a cancel routine. The cancel spin lock keeps IoCancelIrp
    // out between the test of Cancel and the installation of the routine.
    IoMarkIrpPending(irp);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    bool cancelled = irp->Cancel;
    bool gone = false;
    if (!cancelled) {
        std::lock_guard<std::mutex> guard(lock);
        if (RequestRecord* r = recordLocked(sequence))
            r->pended = true;
        if (removedFlag || threadGone) {
            gone = true;
        } else {
            Parked p;
            p.irp = irp;
            p.urb = urb;
            p.endpoint = endpoint;
            p.held = o.kind == Outcome::Hold;
            p.sequence = sequence;
            p.buffer = buffer;
            p.requested = requested;
            p.isoStatus = std::move(isoStatus);
            IoSetCancelRoutine(irp, &State::cancelRoutine);
            parked.push_back(std::move(p));
            changed.notify_all();
        }
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (cancelled || gone) {
        c.status = cancelled ? STATUS_CANCELLED : STATUS_DEVICE_NOT_CONNECTED;
        c.usbdStatus = cancelled ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE;
        c.length = urb ? std::optional<ULONG>(0) : std::nullopt;
        std::vector<Completion> one;
        one.push_back(std::move(c));
        deliver(one);
    }
    return STATUS_PENDING;
}

VirtualReceiver::State* VirtualReceiver::State::of(PDEVICE_OBJECT device) {
    return device ? *static_cast<State**>(device->DeviceExtension) : nullptr;
}

VOID VirtualReceiver::State::cancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    State* s = of(device);
    Parked p;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        for (auto it = s->parked.begin(); it != s->parked.end(); ++it) {
            if (it->irp == irp) {
                p = std::move(*it);
                s->parked.erase(it);
                found = true;
                break;
            }
        }
        if (found)
            ++s->completing;
    }
    if (!found)
        verifierFailure("bus lost a cancelled request",
                        "cancel routine for request %p, which the bus does not hold", irp);
    Completion c;
    c.irp = irp;
    c.urb = p.urb;
    c.status = STATUS_CANCELLED;
    c.usbdStatus = USBD_STATUS_CANCELED;
    c.length = p.urb ? std::optional<ULONG>(0) : std::nullopt;
    c.sequence = p.sequence;
    s->complete(c);
    std::lock_guard<std::mutex> guard(s->lock);
    --s->completing;
    s->changed.notify_all();
}

NTSTATUS VirtualReceiver::State::dispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    State* s = of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return s->submitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return s->portRequest(irp, code, stack->Parameters.Others.Argument1);
        default: {
            RequestRecord r;
            r.kind = RequestKind::OtherIoctl;
            r.majorFunction = stack->MajorFunction;
            r.ioControlCode = code;
            r.submitIrql = KeGetCurrentIrql();
            uint64_t seq;
            {
                std::lock_guard<std::mutex> guard(s->lock);
                ++s->internalOrdinal;
                seq = s->addRecordLocked(r);
            }
            Outcome o = Outcome::fail(kStatusInvalidDeviceRequest, 0);
            return s->finishDispatch(irp, nullptr, seq, o, std::nullopt, nullptr, 0, {});
        }
    }
}

// What the PDO makes of a Plug and Play request: the hub's state of its device (Microsoft,
// "State Transitions for PnP Devices"). A query-stop or query-remove changes nothing for I/O;
// its cancel goes back to where the query found the device. A stop takes the device's
// configuration away (the next start configures it again) with the packets the device had
// not sent yet, as does a removal of a device still there (disabled), and until the next
// start the device hears nothing; a surprise removal and a removal end whatever the driver
// still had at the bus.
NTSTATUS VirtualReceiver::State::pnpLocked(UCHAR minor, NTSTATUS status,
                                           std::vector<Completion>& ended) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
            pnp = Pnp::Started;
            power = PowerDeviceD0;
            return STATUS_SUCCESS;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
            beforeQuery = pnp;
            pnp = minor == IRP_MN_QUERY_STOP_DEVICE ? Pnp::StopPending : Pnp::RemovePending;
            return STATUS_SUCCESS;
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (pnp == (minor == IRP_MN_CANCEL_STOP_DEVICE ? Pnp::StopPending : Pnp::RemovePending))
                pnp = beforeQuery;
            return STATUS_SUCCESS;
        case IRP_MN_STOP_DEVICE:
            pnp = Pnp::Stopped;
            closeDeviceLocked(ended);
            return STATUS_SUCCESS;
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            pnp = minor == IRP_MN_REMOVE_DEVICE ? Pnp::Removed : Pnp::SurpriseRemoved;
            closeDeviceLocked(ended);
            return STATUS_SUCCESS;
        default:
            return status; // not the PDO's to answer: left as it came
    }
}

void VirtualReceiver::State::closeDeviceLocked(std::vector<Completion>& ended) {
    failParkedLocked([](const Parked&) { return true; }, STATUS_DEVICE_NOT_CONNECTED,
                     USBD_STATUS_DEVICE_GONE, ended);
    openPipes.clear();
    endpoints.clear();
    inData.clear(); // what the device had not sent yet goes with its configuration
    isConfigured = false;
    configValue = 0;
    ++generation;
}

void VirtualReceiver::State::powerLocked(PIO_STACK_LOCATION stack) {
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState) {
        power = stack->Parameters.Power.State.DeviceState;
        changed.notify_all();
    }
}

// Plug and Play, power and WMI: the PDO's state, then what a bus PDO does for a device it
// has nothing else to do for.
NTSTATUS VirtualReceiver::State::dispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    State* s = of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    RequestRecord r;
    r.majorFunction = stack->MajorFunction;
    r.minorFunction = stack->MinorFunction;
    r.submitIrql = KeGetCurrentIrql();
    NTSTATUS status = irp->IoStatus.Status;
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        if (stack->MajorFunction == IRP_MJ_PNP) {
            r.kind = RequestKind::Pnp;
            status = s->pnpLocked(stack->MinorFunction, status, ended);
        } else if (stack->MajorFunction == IRP_MJ_POWER) {
            r.kind = RequestKind::Power;
            r.powerType = stack->Parameters.Power.Type;
            r.powerState = static_cast<ULONG>(stack->Parameters.Power.State.DeviceState);
            if (stack->MinorFunction == IRP_MN_SET_POWER ||
                stack->MinorFunction == IRP_MN_QUERY_POWER)
                status = STATUS_SUCCESS;
            s->powerLocked(stack);
        } else {
            r.kind = RequestKind::Other;
        }
        r.completed = true;
        r.status = status;
        r.completionIrql = KeGetCurrentIrql();
        s->addRecordLocked(r);
    }
    s->deliver(ended);
    if (stack->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS VirtualReceiver::State::portRequest(PIRP irp, ULONG code, PVOID argument) {
    RequestRecord r;
    r.kind = code == IOCTL_INTERNAL_USB_GET_PORT_STATUS ? RequestKind::GetPortStatus
                                                        : RequestKind::ResetPort;
    r.majorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    r.ioControlCode = code;
    r.submitIrql = KeGetCurrentIrql();
    Outcome o;
    uint64_t seq;
    {
        std::lock_guard<std::mutex> guard(lock);
        ++internalOrdinal;
        seq = addRecordLocked(r);
        size_t pending = pendingUrbsLocked();
        if (code == IOCTL_INTERNAL_USB_RESET_PORT && pending != 0)
            verifierFailure("port reset with I/O pending",
                            "IOCTL_INTERNAL_USB_RESET_PORT while %zu URB(s) of the driver are "
                            "still at the bus; cancel all I/O and wait for it to complete first",
                            pending);
        o = portRequestLocked(code, argument);
    }
    return finishDispatch(irp, nullptr, seq, o, std::nullopt, nullptr, 0, {});
}

NTSTATUS VirtualReceiver::State::submitUrb(PIRP irp, PURB urb) {
    RequestRecord r;
    r.kind = RequestKind::Urb;
    r.majorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    r.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    r.submitIrql = KeGetCurrentIrql();
    if (urb == nullptr) {
        uint64_t seq;
        {
            std::lock_guard<std::mutex> guard(lock);
            ++internalOrdinal;
            seq = addRecordLocked(r);
        }
        return finishDispatch(irp, nullptr, seq, Outcome::fail(STATUS_INVALID_PARAMETER, 0),
                              std::nullopt, nullptr, 0, {});
    }
    r.urbFunction = urb->UrbHeader.Function;
    r.urbLength = urb->UrbHeader.Length;

    std::vector<Completion> others; // requests this one ends (abort, new configuration)
    UCHAR* buffer = nullptr;
    ULONG requested = 0;
    std::vector<USBD_STATUS> isoStatus;
    std::optional<UCHAR> endpoint;
    Outcome o;
    uint64_t seq;
    {
        std::lock_guard<std::mutex> guard(lock);
        ++internalOrdinal;
        o = handleUrbLocked(urb, r, others, buffer, requested, isoStatus);
        endpoint = r.endpoint;
        seq = addRecordLocked(std::move(r));
    }
    if (!others.empty())
        deliver(others);
    return finishDispatch(irp, urb, seq, o, endpoint, buffer, requested, std::move(isoStatus));
}

void VirtualReceiver::State::run() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [&] { return stopping || !queued.empty() || deliverableLocked(); });
        if (stopping)
            return;
        Completion c;
        if (!queued.empty()) {
            c = std::move(queued.front());
            queued.pop_front();
        } else if (!takeDeliveryLocked(c)) {
            continue;
        }
        ++completing;
        guard.unlock();
        complete(c);
        guard.lock();
        --completing;
        changed.notify_all();
    }
}

size_t VirtualReceiver::State::pendingUrbsLocked() const {
    return static_cast<size_t>(
        std::count_if(parked.begin(), parked.end(), [](const Parked& p) { return p.urb; }) +
        std::count_if(queued.begin(), queued.end(), [](const Completion& c) { return c.urb; }));
}

bool VirtualReceiver::State::idleLocked() const {
    return queued.empty() && completing == 0 && (!deliverableLocked() || threadGone);
}

VirtualReceiver::~VirtualReceiver() {
    shutdown();
    deleteDeviceObject(_state->pdo);
    deleteDriverObject(_state->driver);
}

PDEVICE_OBJECT VirtualReceiver::pdo() const {
    return _state->pdo;
}

PDRIVER_OBJECT VirtualReceiver::busDriver() const {
    return _state->driver;
}

void VirtualReceiver::setCompletionMode(CompletionMode mode) {
    std::lock_guard<std::mutex> guard(_state->lock);
    _state->mode = mode;
}

bool VirtualReceiver::waitUntilIdle(int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(_state->lock);
    return _state->changed.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                                    [&] { return _state->idleLocked(); });
}

std::vector<RequestRecord> VirtualReceiver::requests() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return std::vector<RequestRecord>(_state->log.begin(), _state->log.end());
}

void VirtualReceiver::clearRequests() {
    std::lock_guard<std::mutex> guard(_state->lock);
    _state->log.clear();
    _state->logBase = _state->nextSequence;
}

size_t VirtualReceiver::countUrbs(USHORT urbFunction) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return static_cast<size_t>(std::count_if(
        _state->log.begin(), _state->log.end(), [urbFunction](const RequestRecord& r) {
            return r.kind == RequestKind::Urb && r.urbFunction == urbFunction;
        }));
}

size_t VirtualReceiver::countRequests(RequestKind kind) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return static_cast<size_t>(
        std::count_if(_state->log.begin(), _state->log.end(),
                      [kind](const RequestRecord& r) { return r.kind == kind; }));
}

NTSTATUS VirtualReceiver::startDevice() {
    return sendAndWait(
               _state->pdo,
               [](PIRP, PIO_STACK_LOCATION stack) {
                   stack->MajorFunction = IRP_MJ_PNP;
                   stack->MinorFunction = IRP_MN_START_DEVICE;
               },
               "IRP_MN_START_DEVICE to the bus PDO")
        .status;
}

bool VirtualReceiver::started() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->startedLocked();
}

DEVICE_POWER_STATE VirtualReceiver::powerState() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->power;
}

size_t VirtualReceiver::outstandingRequests() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->parked.size() + _state->queued.size() + static_cast<size_t>(_state->completing);
}

size_t VirtualReceiver::shutdown() {
    State& s = *_state;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.threadGone)
            return 0;
        s.stopping = true;
        s.changed.notify_all();
    }
    if (s.thread.joinable())
        s.thread.join();
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.threadGone = true;
        while (!s.queued.empty()) {
            ended.push_back(std::move(s.queued.front()));
            s.queued.pop_front();
        }
        s.failParkedLocked([](const Parked&) { return true; }, STATUS_DEVICE_NOT_CONNECTED,
                           USBD_STATUS_DEVICE_GONE, ended);
    }
    size_t count = ended.size();
    s.deliver(ended);
    // A request being cancelled right now finishes in its cancel routine; wait for it so
    // that nothing of the bus runs once this returns.
    std::unique_lock<std::mutex> guard(s.lock);
    s.changed.wait(guard, [&] { return s.parked.empty() && s.completing == 0; });
    return count;
}

VirtualReceiver::VirtualReceiver(const ReceiverDescription& receiver)
    : VirtualReceiver(buildDescriptors(receiver)) {}

VirtualReceiver::VirtualReceiver(DescriptorBytes descriptors) : _state(new State()) {
    State& s = *_state;
    s.descriptors = std::move(descriptors);
    s.driver = createDriverObject("usbbus");
    s.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &State::dispatchInternal;
    s.driver->MajorFunction[IRP_MJ_PNP] = &State::dispatchOther;
    s.driver->MajorFunction[IRP_MJ_POWER] = &State::dispatchOther;
    s.driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = &State::dispatchOther;
    s.pdo = createDeviceObject(s.driver, sizeof(State*));
    *static_cast<State**>(s.pdo->DeviceExtension) = &s;
    s.pdo->DeviceType = FILE_DEVICE_USB;
    s.thread = std::thread([&s] { s.run(); });
}

} // namespace usb
} // namespace emu
