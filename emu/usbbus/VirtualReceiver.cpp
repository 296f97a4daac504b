// The emulated USB bus driver and its virtual receiver.
//
// Request ownership: a request the PDO accepts is in exactly one place until it is
// completed: parked (waiting for IN data, or held back by a fault; these carry a cancel
// routine), queued for the bus thread, or in the hands of the one thread completing it.
// A parked request is taken out only by whoever clears its cancel routine first: the
// canceller (IoCancelIrp, then the cancel routine removes it) or the bus (which skips
// an entry whose routine is already gone and leaves it to the cancel routine).
#include "emu/usbbus/VirtualReceiver.h"

#include "emu/kernel/Kernel.h"
#include "emu/usbbus/DescriptorWalk.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace emu {
namespace usb {

namespace {

constexpr size_t kLogLimit = 200000;
constexpr ULONG kMaxIsoPackets = 1024;

// Handles are values no driver can dereference (non-canonical addresses) and that change
// with every configuration, so that a stale handle is recognised.
PVOID makeHandle(uint64_t generation, UCHAR kind, UCHAR interfaceNumber, ULONG index) {
    uint64_t v = (uint64_t{0xB5} << 56) | ((generation & 0xFFFFFF) << 32) | (uint64_t{kind} << 24) |
                 (uint64_t{interfaceNumber} << 16) | (index & 0xFFFF);
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(v));
}

USBD_STATUS usbdStatusFor(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return USBD_STATUS_SUCCESS;
        case STATUS_CANCELLED:
            return USBD_STATUS_CANCELED;
        case STATUS_DEVICE_NOT_CONNECTED:
            return USBD_STATUS_DEVICE_GONE;
        case STATUS_DEVICE_DATA_ERROR:
            return USBD_STATUS_DEV_NOT_RESPONDING;
        case STATUS_INVALID_PARAMETER:
            return USBD_STATUS_INVALID_PARAMETER;
        default:
            return NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    }
}

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

struct Pipe {
    UCHAR interfaceNumber;
    UCHAR alternateSetting;
    ULONG index;
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT maxPacketSize;
    USBD_PIPE_HANDLE handle;
};

// A request the bus keeps with a cancel routine set.
struct Parked {
    PIRP irp = nullptr;
    PURB urb = nullptr; // null for a port IOCTL
    std::optional<UCHAR> endpoint;
    bool held = false;       // held back by a fault: no data completes it
    bool cancelling = false; // its cancel routine is on its way
    uint64_t sequence = 0;
    // IN transfers
    UCHAR* buffer = nullptr;
    ULONG requested = 0;
    std::vector<USBD_STATUS> isoStatus;
};

// Data for one isochronous packet of an IN transfer.
struct IsoFill {
    ULONG offset;
    USBD_STATUS status;
    std::vector<uint8_t> bytes;
};

struct Completion {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    std::optional<ULONG> length; // TransferBufferLength to report
    ULONG_PTR information = 0;
    uint64_t sequence = 0;
    // IN data copied into the caller's buffer just before completion.
    UCHAR* destination = nullptr;
    std::vector<uint8_t> bytes;
    bool iso = false;
    std::vector<IsoFill> isoPackets;
};

// What a handler decided for a request.
struct Outcome {
    enum Kind { Complete, Wait, Hold } kind = Complete;
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    std::optional<ULONG> length;
    ULONG_PTR information = 0;

    static Outcome fail(NTSTATUS s, USBD_STATUS u, std::optional<ULONG> len = std::nullopt) {
        Outcome o;
        o.status = s;
        o.usbdStatus = u;
        o.length = len;
        return o;
    }
    static Outcome ok(std::optional<ULONG> len = std::nullopt) {
        Outcome o;
        o.length = len;
        return o;
    }
};

} // namespace

struct VirtualReceiver::State {
    DeviceDescriptors descriptors;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;

    mutable std::mutex lock;
    mutable std::condition_variable changed; // any state change: bus thread and waiters
    std::thread thread;
    bool stopping = false;
    bool threadGone = false;

    CompletionMode mode = CompletionMode::Deferred;
    PortState port;
    bool removedFlag = false;
    int resets = 0;

    // Configuration
    bool isConfigured = false;
    UCHAR configValue = 0;
    uint64_t generation = 0;
    std::vector<Pipe> openPipes;
    std::map<UCHAR, NTSTATUS> stalls; // endpoint -> status GET_STATUS reports

    std::map<UCHAR, std::deque<std::vector<uint8_t>>> inData;
    std::vector<FaultRule> faults;

    std::deque<Parked> parked;
    std::deque<Completion> queued;
    int completing = 0;

    std::deque<RequestRecord> log;
    uint64_t logBase = 0; // sequence of log.front()
    uint64_t nextSequence = 0;

    // --- helpers, called with lock held ------------------------------------------------

    RequestRecord* recordLocked(uint64_t sequence) {
        if (sequence < logBase || sequence - logBase >= log.size())
            return nullptr;
        return &log[sequence - logBase];
    }

    uint64_t addRecordLocked(RequestRecord record) {
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

    const Pipe* pipeByHandleLocked(USBD_PIPE_HANDLE handle) const {
        if (handle == nullptr)
            return nullptr;
        for (const Pipe& p : openPipes)
            if (p.handle == handle)
                return &p;
        return nullptr;
    }

    const Pipe* pipeByAddressLocked(UCHAR address) const {
        for (const Pipe& p : openPipes)
            if (p.address == address)
                return &p;
        return nullptr;
    }

    bool portUsableLocked() const { return !removedFlag && port.connected && port.enabled; }

    // First rule that matches, consumed by one use.
    std::optional<FaultRule> takeFaultLocked(std::optional<USHORT> function,
                                             std::optional<UCHAR> endpoint,
                                             std::optional<ULONG> ioctl) {
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            FaultRule& rule = *it;
            if (ioctl) {
                if (!rule.ioControlCode || *rule.ioControlCode != *ioctl)
                    continue;
            } else {
                if (rule.ioControlCode)
                    continue;
                if (rule.urbFunction && (!function || *rule.urbFunction != *function))
                    continue;
                if (rule.endpoint && (!endpoint || *rule.endpoint != *endpoint))
                    continue;
            }
            FaultRule copy = rule;
            if (rule.count > 0 && --rule.count == 0)
                faults.erase(it);
            return copy;
        }
        return std::nullopt;
    }

    // Takes a parked request out if its cancel routine can still be cleared. Returns the
    // position after it (erasing invalidates the deque's iterators).
    std::deque<Parked>::iterator claimLocked(std::deque<Parked>::iterator it, Parked& out,
                                             bool& claimed) {
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
    void failParkedLocked(const std::function<bool(const Parked&)>& pred, NTSTATUS status,
                          USBD_STATUS usbd, std::vector<Completion>& out) {
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

    bool deliverableLocked() const {
        if (!portUsableLocked())
            return false;
        for (const Parked& p : parked) {
            if (p.held || p.cancelling || !p.endpoint)
                continue;
            if (!p.isoStatus.empty())
                return true;
            auto found = inData.find(*p.endpoint);
            if (found != inData.end() && !found->second.empty())
                return true;
        }
        return false;
    }

    // Builds the completion of the first waiting transfer that can be satisfied now.
    bool takeDeliveryLocked(Completion& out) {
        for (auto it = parked.begin(); it != parked.end(); ++it) {
            if (it->held || it->cancelling || !it->endpoint)
                continue;
            auto& queue = inData[*it->endpoint];
            if (queue.empty() && it->isoStatus.empty())
                continue;
            Parked p;
            bool claimed;
            claimLocked(it, p, claimed);
            if (!claimed)
                return takeDeliveryLocked(out); // marked cancelling; look again
            out = Completion();
            out.irp = p.irp;
            out.urb = p.urb;
            out.sequence = p.sequence;
            if (p.urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER)
                fillIsoLocked(p, queue, out);
            else
                fillBulkLocked(p, queue, out);
            return true;
        }
        return false;
    }

    static void takeBytes(std::deque<std::vector<uint8_t>>& queue, ULONG capacity,
                          std::vector<uint8_t>& bytes) {
        std::vector<uint8_t>& front = queue.front();
        size_t n = std::min<size_t>(capacity, front.size());
        bytes.assign(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < front.size())
            front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
        else
            queue.pop_front();
    }

    static void fillBulkLocked(Parked& p, std::deque<std::vector<uint8_t>>& queue,
                               Completion& out) {
        takeBytes(queue, p.requested, out.bytes);
        out.destination = p.buffer;
        out.length = static_cast<ULONG>(out.bytes.size());
        out.status = STATUS_SUCCESS;
        out.usbdStatus = USBD_STATUS_SUCCESS;
    }

    static void fillIsoLocked(Parked& p, std::deque<std::vector<uint8_t>>& queue, Completion& out) {
        auto& iso = p.urb->UrbIsochronousTransfer;
        PUSBD_ISO_PACKET_DESCRIPTOR packets = iso.IsoPacket;
        ULONG count = iso.NumberOfPackets;
        out.iso = true;
        out.destination = p.buffer;
        ULONG total = 0;
        ULONG failed = 0;
        for (ULONG i = 0; i < count; ++i) {
            ULONG end = i + 1 < count ? packets[i + 1].Offset : p.requested;
            IsoFill fill{packets[i].Offset, USBD_STATUS_SUCCESS, {}};
            if (i < p.isoStatus.size() && !USBD_SUCCESS(p.isoStatus[i])) {
                fill.status = p.isoStatus[i];
                ++failed;
            } else {
                if (i < p.isoStatus.size())
                    fill.status = p.isoStatus[i];
                if (!queue.empty())
                    takeBytes(queue, end - packets[i].Offset, fill.bytes);
                total += static_cast<ULONG>(fill.bytes.size());
            }
            out.isoPackets.push_back(std::move(fill));
        }
        iso.ErrorCount = failed;
        out.length = total;
        if (count > 0 && failed == count) {
            out.status = STATUS_UNSUCCESSFUL;
            out.usbdStatus = kUsbdStatusIsochRequestFailed;
        } else {
            out.status = STATUS_SUCCESS;
            out.usbdStatus = USBD_STATUS_SUCCESS;
        }
    }

    // --- completion, called without the lock ---------------------------------------------

    void complete(Completion& c) {
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
        KeRaiseIrql(DISPATCH_LEVEL, &old);
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
    void deliver(std::vector<Completion>& completions) {
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

    // --- dispatch --------------------------------------------------------------------

    NTSTATUS finishDispatch(PIRP irp, PURB urb, uint64_t sequence, const Outcome& o,
                            std::optional<UCHAR> endpoint, UCHAR* buffer, ULONG requested,
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

    static State* of(PDEVICE_OBJECT device) {
        return device ? *static_cast<State**>(device->DeviceExtension) : nullptr;
    }

    static VOID cancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
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

    static NTSTATUS dispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
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
                    seq = s->addRecordLocked(r);
                }
                Outcome o = Outcome::fail(kStatusInvalidDeviceRequest, 0);
                return s->finishDispatch(irp, nullptr, seq, o, std::nullopt, nullptr, 0, {});
            }
        }
    }

    // Plug and Play, power and WMI: what a bus PDO does for a device it has nothing to do for.
    static NTSTATUS dispatchOther(PDEVICE_OBJECT device, PIRP irp) {
        State* s = of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        RequestRecord r;
        r.majorFunction = stack->MajorFunction;
        r.minorFunction = stack->MinorFunction;
        r.submitIrql = KeGetCurrentIrql();
        NTSTATUS status = irp->IoStatus.Status;
        if (stack->MajorFunction == IRP_MJ_PNP) {
            r.kind = RequestKind::Pnp;
            switch (stack->MinorFunction) {
                case IRP_MN_START_DEVICE:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                    status = STATUS_SUCCESS;
                    break;
                default:
                    break;
            }
        } else if (stack->MajorFunction == IRP_MJ_POWER) {
            r.kind = RequestKind::Power;
            if (stack->MinorFunction == IRP_MN_SET_POWER ||
                stack->MinorFunction == IRP_MN_QUERY_POWER)
                status = STATUS_SUCCESS;
            PoStartNextPowerIrp(irp);
        } else {
            r.kind = RequestKind::Other;
        }
        r.completed = true;
        r.status = status;
        r.completionIrql = KeGetCurrentIrql();
        {
            std::lock_guard<std::mutex> guard(s->lock);
            s->addRecordLocked(r);
        }
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    NTSTATUS portRequest(PIRP irp, ULONG code, PVOID argument) {
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
            seq = addRecordLocked(r);
            std::optional<FaultRule> fault = takeFaultLocked(std::nullopt, std::nullopt, code);
            if (fault) {
                if (fault->neverComplete)
                    o.kind = Outcome::Hold;
                else
                    o = Outcome::fail(fault->status, 0);
            } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
                if (argument == nullptr) {
                    o = Outcome::fail(STATUS_INVALID_PARAMETER, 0);
                } else {
                    ULONG bits = 0;
                    if (!removedFlag && port.connected) {
                        bits |= USBD_PORT_CONNECTED;
                        if (port.enabled)
                            bits |= USBD_PORT_ENABLED;
                    }
                    *static_cast<ULONG*>(argument) = bits;
                }
            } else if (removedFlag || !port.connected) {
                o = Outcome::fail(STATUS_DEVICE_NOT_CONNECTED, 0);
            } else {
                // A reset brings the port back and clears the endpoints' halt; the
                // configuration is restored as it was.
                port.enabled = true;
                stalls.clear();
                ++resets;
                changed.notify_all();
            }
        }
        return finishDispatch(irp, nullptr, seq, o, std::nullopt, nullptr, 0, {});
    }

    NTSTATUS submitUrb(PIRP irp, PURB urb) {
        RequestRecord r;
        r.kind = RequestKind::Urb;
        r.majorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        r.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        r.submitIrql = KeGetCurrentIrql();
        if (urb == nullptr) {
            uint64_t seq;
            {
                std::lock_guard<std::mutex> guard(lock);
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
            o = handleUrbLocked(urb, r, others, buffer, requested, isoStatus);
            endpoint = r.endpoint;
            seq = addRecordLocked(std::move(r));
        }
        if (!others.empty())
            deliver(others);
        return finishDispatch(irp, urb, seq, o, endpoint, buffer, requested, std::move(isoStatus));
    }

    // Validates and carries out one URB; fills the log record's request fields.
    Outcome handleUrbLocked(PURB urb, RequestRecord& r, std::vector<Completion>& others,
                            UCHAR*& buffer, ULONG& requested, std::vector<USBD_STATUS>& isoStatus) {
        USHORT function = urb->UrbHeader.Function;
        USHORT length = urb->UrbHeader.Length;
        if (length < sizeof(struct _URB_HEADER))
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

        if (function == URB_FUNCTION_ABORT_PIPE) {
            // Host-side: works whatever the state of the device.
            if (length < sizeof(struct _URB_PIPE_REQUEST))
                return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            r.pipeHandle = urb->UrbPipeRequest.PipeHandle;
            const Pipe* pipe = pipeByHandleLocked(r.pipeHandle);
            if (pipe == nullptr)
                return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle);
            UCHAR address = pipe->address;
            r.endpoint = address;
            if (std::optional<FaultRule> f = takeFaultLocked(function, address, std::nullopt))
                return faultOutcome(*f);
            failParkedLocked([address](const Parked& p) { return p.endpoint == address; },
                             STATUS_CANCELLED, USBD_STATUS_CANCELED, others);
            return Outcome::ok();
        }

        if (removedFlag || !port.connected)
            return Outcome::fail(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
                                 zeroLengthFor(function));
        if (!port.enabled)
            return Outcome::fail(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING,
                                 zeroLengthFor(function));

        switch (function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
                return getDescriptorLocked(urb, r);
            case URB_FUNCTION_SELECT_CONFIGURATION:
                return selectConfigurationLocked(urb, r, others);
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                return bulkLocked(urb, r, buffer, requested);
            case URB_FUNCTION_ISOCH_TRANSFER:
                return isochLocked(urb, r, buffer, requested, isoStatus);
            case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
                return endpointStatusLocked(urb, r);
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
                if (length < sizeof(struct _URB_PIPE_REQUEST))
                    return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
                r.pipeHandle = urb->UrbPipeRequest.PipeHandle;
                const Pipe* pipe = pipeByHandleLocked(r.pipeHandle);
                if (pipe == nullptr)
                    return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle);
                r.endpoint = pipe->address;
                if (std::optional<FaultRule> f =
                        takeFaultLocked(function, pipe->address, std::nullopt))
                    return faultOutcome(*f);
                stalls.erase(pipe->address);
                return Outcome::ok();
            }
            default:
                return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
        }
    }

    static std::optional<ULONG> zeroLengthFor(USHORT function) {
        switch (function) {
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            case URB_FUNCTION_ISOCH_TRANSFER:
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
                return 0;
            default:
                return std::nullopt;
        }
    }

    static Outcome faultOutcome(const FaultRule& f, std::optional<ULONG> length = 0) {
        if (f.neverComplete) {
            Outcome o;
            o.kind = Outcome::Hold;
            return o;
        }
        return Outcome::fail(f.status, f.usbdStatus, length);
    }

    Outcome getDescriptorLocked(PURB urb, RequestRecord& r) {
        if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        auto& d = urb->UrbControlDescriptorRequest;
        r.descriptorType = d.DescriptorType;
        r.descriptorIndex = d.Index;
        r.requestedLength = d.TransferBufferLength;
        if (d.TransferBufferLength > 0 && d.TransferBuffer == nullptr)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        if (std::optional<FaultRule> f = takeFaultLocked(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                                         std::nullopt, std::nullopt))
            return faultOutcome(*f);
        const std::vector<uint8_t>* bytes = nullptr;
        if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
            bytes = &descriptors.device;
        else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
                 d.Index < descriptors.configurations.size())
            bytes = &descriptors.configurations[d.Index];
        if (bytes == nullptr) // the device stalls a request for a descriptor it has not
            return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
        // A control transfer moves at most 65535 bytes (wLength).
        size_t n = std::min<size_t>({d.TransferBufferLength, bytes->size(), 0xFFFF});
        if (n > 0)
            memcpy(d.TransferBuffer, bytes->data(), n);
        return Outcome::ok(static_cast<ULONG>(n));
    }

    Outcome endpointStatusLocked(PURB urb, RequestRecord& r) {
        if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST))
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        auto& g = urb->UrbControlGetStatusRequest;
        r.requestedLength = g.TransferBufferLength;
        UCHAR address = static_cast<UCHAR>(g.Index & 0xFF);
        r.endpoint = address;
        r.pipeHandle = g.Reserved;
        if (g.TransferBufferLength < 2 || g.TransferBuffer == nullptr)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        if (std::optional<FaultRule> f =
                takeFaultLocked(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, address, std::nullopt))
            return faultOutcome(*f);
        bool defaultPipe = (address & 0x7F) == 0;
        if (!defaultPipe && pipeByAddressLocked(address) == nullptr)
            return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
        UCHAR halted = 0;
        auto stall = stalls.find(address);
        if (stall != stalls.end()) {
            if (!NT_SUCCESS(stall->second))
                return Outcome::fail(stall->second, usbdStatusFor(stall->second), 0);
            halted = 1;
        }
        auto* word = static_cast<UCHAR*>(g.TransferBuffer);
        word[0] = halted;
        word[1] = 0;
        return Outcome::ok(2);
    }

    Outcome bulkLocked(PURB urb, RequestRecord& r, UCHAR*& buffer, ULONG& requested) {
        if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        auto& t = urb->UrbBulkOrInterruptTransfer;
        r.pipeHandle = t.PipeHandle;
        r.transferFlags = t.TransferFlags;
        r.requestedLength = t.TransferBufferLength;
        const Pipe* pipe = pipeByHandleLocked(t.PipeHandle);
        if (pipe == nullptr)
            return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle, 0);
        r.endpoint = pipe->address;
        if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        if (t.TransferBufferLength > 0 && t.TransferBuffer == nullptr)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        bool in = USB_ENDPOINT_DIRECTION_IN(pipe->address) != 0;
        if (!in && t.TransferBufferLength > 0) {
            auto* data = static_cast<const uint8_t*>(t.TransferBuffer);
            r.outData.assign(data, data + t.TransferBufferLength);
        }
        if (std::optional<FaultRule> f = takeFaultLocked(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
                                                         pipe->address, std::nullopt))
            return faultOutcome(*f);
        if (stalls.count(pipe->address))
            return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
        if (!in)
            return Outcome::ok(t.TransferBufferLength);
        if (t.TransferBufferLength == 0)
            return Outcome::ok(0);
        buffer = static_cast<UCHAR*>(t.TransferBuffer);
        requested = t.TransferBufferLength;
        Outcome o;
        o.kind = Outcome::Wait;
        return o;
    }

    Outcome isochLocked(PURB urb, RequestRecord& r, UCHAR*& buffer, ULONG& requested,
                        std::vector<USBD_STATUS>& isoStatus) {
        if (urb->UrbHeader.Length < sizeof(struct _URB_ISOCH_TRANSFER))
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        auto& t = urb->UrbIsochronousTransfer;
        r.pipeHandle = t.PipeHandle;
        r.transferFlags = t.TransferFlags;
        r.requestedLength = t.TransferBufferLength;
        r.isoPackets = t.NumberOfPackets;
        ULONG count = t.NumberOfPackets;
        if (count == 0 || count > kMaxIsoPackets || urb->UrbHeader.Length < GET_ISO_URB_SIZE(count))
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        const Pipe* pipe = pipeByHandleLocked(t.PipeHandle);
        if (pipe == nullptr)
            return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle, 0);
        r.endpoint = pipe->address;
        if (pipe->type != UsbdPipeTypeIsochronous)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        if (t.TransferBufferLength > 0 && t.TransferBuffer == nullptr)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        // Packet offsets must rise and stay inside the buffer: they say where data goes.
        PUSBD_ISO_PACKET_DESCRIPTOR packets = t.IsoPacket;
        for (ULONG i = 0; i < count; ++i) {
            ULONG end = i + 1 < count ? packets[i + 1].Offset : t.TransferBufferLength;
            if (packets[i].Offset > end || end > t.TransferBufferLength)
                return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        }
        bool in = USB_ENDPOINT_DIRECTION_IN(pipe->address) != 0;
        if (!in && t.TransferBufferLength > 0) {
            auto* data = static_cast<const uint8_t*>(t.TransferBuffer);
            r.outData.assign(data, data + t.TransferBufferLength);
        }
        std::optional<FaultRule> f =
            takeFaultLocked(URB_FUNCTION_ISOCH_TRANSFER, pipe->address, std::nullopt);
        if (f && f->isoPacketStatus.empty())
            return faultOutcome(*f);
        if (stalls.count(pipe->address))
            return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
        if (f)
            isoStatus = f->isoPacketStatus;
        buffer = static_cast<UCHAR*>(t.TransferBuffer);
        requested = t.TransferBufferLength;
        if (!in) {
            t.ErrorCount = 0;
            ULONG failed = 0;
            for (ULONG i = 0; i < count; ++i) {
                packets[i].Status = i < isoStatus.size() ? isoStatus[i] : USBD_STATUS_SUCCESS;
                if (!USBD_SUCCESS(packets[i].Status))
                    ++failed;
            }
            t.ErrorCount = failed;
            if (failed == count)
                return Outcome::fail(STATUS_UNSUCCESSFUL, kUsbdStatusIsochRequestFailed,
                                     t.TransferBufferLength);
            return Outcome::ok(t.TransferBufferLength);
        }
        Outcome o;
        o.kind = Outcome::Wait; // with packet statuses to report it is delivered at once
        return o;
    }

    Outcome selectConfigurationLocked(PURB urb, RequestRecord&, std::vector<Completion>& others) {
        constexpr size_t kRecordsOffset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        constexpr size_t kRecordHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        size_t urbLength = urb->UrbHeader.Length;
        if (urbLength < kRecordsOffset)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        if (std::optional<FaultRule> f =
                takeFaultLocked(URB_FUNCTION_SELECT_CONFIGURATION, std::nullopt, std::nullopt))
            return faultOutcome(*f, std::nullopt);
        auto& sel = urb->UrbSelectConfiguration;
        PUSB_CONFIGURATION_DESCRIPTOR config = sel.ConfigurationDescriptor;

        auto closeAll = [&] {
            failParkedLocked([](const Parked& p) { return p.urb != nullptr && !p.held; },
                             STATUS_CANCELLED, USBD_STATUS_CANCELED, others);
            openPipes.clear();
            stalls.clear();
            ++generation;
        };

        if (config == nullptr) { // back to the unconfigured state
            closeAll();
            isConfigured = false;
            configValue = 0;
            sel.ConfigurationHandle = nullptr;
            return Outcome::ok();
        }

        auto* base = reinterpret_cast<const UCHAR*>(config);
        size_t total = config->wTotalLength;
        if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
            return Outcome::fail(STATUS_INVALID_PARAMETER,
                                 kUsbdStatusInvalidConfigurationDescriptor);
        bool known = false;
        for (const auto& bytes : descriptors.configurations)
            if (bytes.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
                bytes[5] == config->bConfigurationValue)
                known = true;
        if (!known) // the device refuses SET_CONFIGURATION with a value it does not have
            return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);

        // Check every record first, so that a refused request changes nothing.
        struct Planned {
            size_t recordOffset;
            size_t interfaceOffset;
            std::vector<size_t> endpointOffsets;
        };
        std::vector<Planned> plan;
        auto* urbBytes = reinterpret_cast<UCHAR*>(urb);
        size_t offset = kRecordsOffset;
        for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
            if (urbLength - offset < kRecordHeader)
                break; // the request holds fewer records than the configuration declares
            auto* rec = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(urbBytes + offset);
            if (rec->Length < kRecordHeader || rec->Length > urbLength - offset)
                return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            size_t at = detail::findInterface(base, total, 0, rec->InterfaceNumber,
                                              rec->AlternateSetting, -1, -1, -1);
            if (at >= total)
                return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInterfaceNotFound);
            auto* ifd = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(base + at);
            if (rec->Length < GET_USBD_INTERFACE_SIZE(ifd->bNumEndpoints))
                return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusBufferTooSmall);
            Planned p{offset, at, {}};
            detail::walkDescriptors(base, total, at + ifd->bLength,
                                    [&](size_t o, size_t len, UCHAR type) {
                                        if (type == USB_INTERFACE_DESCRIPTOR_TYPE ||
                                            p.endpointOffsets.size() >= ifd->bNumEndpoints)
                                            return false;
                                        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                                            len >= sizeof(USB_ENDPOINT_DESCRIPTOR))
                                            p.endpointOffsets.push_back(o);
                                        return true;
                                    });
            if (p.endpointOffsets.size() < ifd->bNumEndpoints)
                return Outcome::fail(STATUS_INVALID_PARAMETER,
                                     kUsbdStatusInvalidConfigurationDescriptor);
            plan.push_back(std::move(p));
            offset += rec->Length;
        }

        closeAll();
        for (const Planned& p : plan) {
            auto* rec = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(urbBytes + p.recordOffset);
            auto* ifd = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(base + p.interfaceOffset);
            rec->Class = ifd->bInterfaceClass;
            rec->SubClass = ifd->bInterfaceSubClass;
            rec->Protocol = ifd->bInterfaceProtocol;
            rec->InterfaceHandle = makeHandle(generation, 1, ifd->bInterfaceNumber, 0);
            rec->NumberOfPipes = static_cast<ULONG>(p.endpointOffsets.size());
            PUSBD_PIPE_INFORMATION pipes = rec->Pipes;
            for (size_t e = 0; e < p.endpointOffsets.size(); ++e) {
                auto* ep =
                    reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(base + p.endpointOffsets[e]);
                Pipe pipe;
                pipe.interfaceNumber = ifd->bInterfaceNumber;
                pipe.alternateSetting = ifd->bAlternateSetting;
                pipe.index = static_cast<ULONG>(e);
                pipe.address = ep->bEndpointAddress;
                pipe.type = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                pipe.maxPacketSize = static_cast<USHORT>(ep->wMaxPacketSize & 0x7FF);
                pipe.handle =
                    makeHandle(generation, 2, ifd->bInterfaceNumber, static_cast<ULONG>(e));
                pipes[e].MaximumPacketSize = pipe.maxPacketSize;
                pipes[e].EndpointAddress = pipe.address;
                pipes[e].Interval = ep->bInterval;
                pipes[e].PipeType = pipe.type;
                pipes[e].PipeHandle = pipe.handle;
                openPipes.push_back(pipe);
            }
        }
        isConfigured = true;
        configValue = config->bConfigurationValue;
        sel.ConfigurationHandle = makeHandle(generation, 0, 0, configValue);
        return Outcome::ok();
    }

    // --- bus thread ------------------------------------------------------------------

    void run() {
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

    bool idleLocked() const {
        return queued.empty() && completing == 0 && (!deliverableLocked() || threadGone);
    }
};

// ---------------------------------------------------------------------------------------

VirtualReceiver::VirtualReceiver(const DeviceSpec& spec)
    : VirtualReceiver(buildDescriptors(spec)) {}

VirtualReceiver::VirtualReceiver(DeviceDescriptors descriptors) : _state(new State()) {
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
const DeviceDescriptors& VirtualReceiver::descriptors() const {
    return _state->descriptors;
}

void VirtualReceiver::setCompletionMode(CompletionMode mode) {
    std::lock_guard<std::mutex> guard(_state->lock);
    _state->mode = mode;
}

void VirtualReceiver::queueInPacket(std::vector<uint8_t> bytes, UCHAR endpoint) {
    std::lock_guard<std::mutex> guard(_state->lock);
    if (_state->removedFlag)
        return; // a removed device sends nothing
    _state->inData[endpoint].push_back(std::move(bytes));
    _state->changed.notify_all();
}

size_t VirtualReceiver::queuedInPackets(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    auto found = _state->inData.find(endpoint);
    return found == _state->inData.end() ? 0 : found->second.size();
}

size_t VirtualReceiver::waitingTransfers(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return static_cast<size_t>(
        std::count_if(_state->parked.begin(), _state->parked.end(), [endpoint](const Parked& p) {
            return !p.held && !p.cancelling && p.endpoint == endpoint;
        }));
}

bool VirtualReceiver::waitForWaitingTransfers(size_t n, UCHAR endpoint, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(_state->lock);
    return _state->changed.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        size_t count = 0;
        for (const Parked& p : _state->parked)
            if (!p.held && !p.cancelling && p.endpoint == endpoint)
                ++count;
        return count >= n;
    });
}

bool VirtualReceiver::waitUntilIdle(int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(_state->lock);
    return _state->changed.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                                    [&] { return _state->idleLocked(); });
}

void VirtualReceiver::injectFault(const FaultRule& rule) {
    std::lock_guard<std::mutex> guard(_state->lock);
    if (rule.count != 0)
        _state->faults.push_back(rule);
}

void VirtualReceiver::clearFaults() {
    std::lock_guard<std::mutex> guard(_state->lock);
    _state->faults.clear();
}

void VirtualReceiver::stallEndpoint(UCHAR endpoint, NTSTATUS getStatusFailure) {
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        _state->stalls[endpoint] = getStatusFailure;
        _state->failParkedLocked(
            [endpoint](const Parked& p) { return !p.held && p.urb && p.endpoint == endpoint; },
            STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, ended);
    }
    _state->deliver(ended);
}

bool VirtualReceiver::isStalled(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->stalls.count(endpoint) != 0;
}

void VirtualReceiver::setPortState(PortState state) {
    std::lock_guard<std::mutex> guard(_state->lock);
    _state->port = state;
    _state->changed.notify_all();
}

PortState VirtualReceiver::portState() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->port;
}

void VirtualReceiver::surpriseRemove() {
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        _state->removedFlag = true;
        _state->port = PortState{false, false};
        _state->inData.clear();
        _state->failParkedLocked([](const Parked&) { return true; }, STATUS_DEVICE_NOT_CONNECTED,
                                 USBD_STATUS_DEVICE_GONE, ended);
    }
    _state->deliver(ended);
}

bool VirtualReceiver::removed() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->removedFlag;
}

size_t VirtualReceiver::heldRequests() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return static_cast<size_t>(std::count_if(_state->parked.begin(), _state->parked.end(),
                                             [](const Parked& p) { return p.held; }));
}

bool VirtualReceiver::waitForHeldRequests(size_t n, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(_state->lock);
    return _state->changed.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        return static_cast<size_t>(std::count_if(_state->parked.begin(), _state->parked.end(),
                                                 [](const Parked& p) { return p.held; })) >= n;
    });
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

std::vector<std::vector<uint8_t>> VirtualReceiver::outData(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    std::vector<std::vector<uint8_t>> out;
    for (const RequestRecord& r : _state->log)
        if (r.kind == RequestKind::Urb && r.endpoint == endpoint && !(endpoint & 0x80) &&
            (r.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
             r.urbFunction == URB_FUNCTION_ISOCH_TRANSFER) &&
            NT_SUCCESS(r.status) && r.completed)
            out.push_back(r.outData);
    return out;
}

bool VirtualReceiver::configured() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->isConfigured;
}

UCHAR VirtualReceiver::configurationValue() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->configValue;
}

std::vector<PipeSnapshot> VirtualReceiver::pipes() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    std::vector<PipeSnapshot> out;
    for (const Pipe& p : _state->openPipes)
        out.push_back(PipeSnapshot{p.interfaceNumber, p.alternateSetting, p.index, p.address,
                                   p.type, p.maxPacketSize, p.handle,
                                   _state->stalls.count(p.address) != 0});
    return out;
}

USBD_PIPE_HANDLE VirtualReceiver::pipeHandle(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    const Pipe* p = _state->pipeByAddressLocked(endpoint);
    return p ? p->handle : nullptr;
}

int VirtualReceiver::portResets() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->resets;
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

} // namespace usb
} // namespace emu
