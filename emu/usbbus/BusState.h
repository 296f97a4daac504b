// The state the emulated bus shares between its three concerns: the bus driver's request
// handling (BusDriver.cpp: dispatch, the request log, parking, cancellation, completion,
// the bus thread), the receiver's device model (ReceiverModel.cpp: what each URB does to
// the device, its pipes and IN data) and the fault injection (FaultInjection.cpp: scripted
// failures, stalls, port states, removal).
//
// Request ownership: a request the PDO accepts is in exactly one place until it is
// completed: parked (waiting for IN data, or held back by a fault; these carry a cancel
// routine), queued for the bus thread, or in the hands of the one thread completing it.
// A parked request is taken out only by whoever clears its cancel routine first: the
// canceller (IoCancelIrp, then the cancel routine removes it) or the bus (which skips
// an entry whose routine is already gone and leaves it to the cancel routine).
//
// Internal to emu/usbbus: members named ...Locked are called with `lock` held.
#pragma once

#include "emu/usbbus/VirtualReceiver.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace emu {
namespace usb {

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

struct VirtualReceiver::State {
    DescriptorBytes descriptors;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;

    mutable std::mutex lock;
    mutable std::condition_variable changed; // any state change: bus thread and waiters
    std::thread thread;
    bool stopping = false;
    bool threadGone = false;

    CompletionMode mode = CompletionMode::Deferred;
    PortState port;
    bool removedFlag = false; // the device was pulled out
    int resets = 0;

    // What Plug and Play and power told the PDO. A query-stop or a query-remove leaves the
    // device working (the hub holds no I/O for them); the cancel goes back to Started.
    enum class Pnp {
        NotStarted,
        Started,
        StopPending,
        Stopped,
        RemovePending,
        SurpriseRemoved,
        Removed
    } pnp = Pnp::NotStarted;
    Pnp beforeQuery = Pnp::NotStarted; // where a cancel-stop or cancel-remove goes back to
    DEVICE_POWER_STATE power = PowerDeviceD0;

    // Configuration
    bool isConfigured = false;
    UCHAR configValue = 0;
    uint64_t generation = 0;
    std::vector<Pipe> openPipes;
    struct Endpoint {
        bool stalled = false;                       // the device's Halt feature
        NTSTATUS getStatusFailure = STATUS_SUCCESS; // GET_STATUS fails so while stalled
        bool haltShown = true;                      // GET_STATUS answers Halt = 1 then
        bool halted = false;                        // the host's side of the pipe
    };
    std::map<UCHAR, Endpoint> endpoints;

    std::map<UCHAR, std::deque<std::vector<uint8_t>>> inData;
    std::vector<FaultRule> faults;
    std::map<uint64_t, FaultRule> positionalFaults; // ordinal of the request -> its fault
    uint64_t internalOrdinal = 0;                   // ordinal of the internal request being handled

    std::deque<Parked> parked;
    std::deque<Completion> queued;
    int completing = 0;

    std::deque<RequestRecord> log;
    uint64_t logBase = 0; // sequence of log.front()
    uint64_t nextSequence = 0;

    // --- request handling (BusDriver.cpp) ------------------------------------------------
    RequestRecord* recordLocked(uint64_t sequence);
    uint64_t addRecordLocked(RequestRecord record);
    // Takes a parked request out if its cancel routine can still be cleared. Returns the
    // position after it (erasing invalidates the deque's iterators).
    std::deque<Parked>::iterator claimLocked(std::deque<Parked>::iterator it, Parked& out,
                                             bool& claimed);
    // Claims every parked request that pred selects and turns it into a completion.
    void failParkedLocked(const std::function<bool(const Parked&)>& pred, NTSTATUS status,
                          USBD_STATUS usbd, std::vector<Completion>& out);
    void complete(Completion& c); // without the lock
    void deliver(std::vector<Completion>& completions);
    NTSTATUS finishDispatch(PIRP irp, PURB urb, uint64_t sequence, const Outcome& o,
                            std::optional<UCHAR> endpoint, UCHAR* buffer, ULONG requested,
                            std::vector<USBD_STATUS> isoStatus);
    static State* of(PDEVICE_OBJECT device);
    static VOID cancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS dispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS dispatchOther(PDEVICE_OBJECT device, PIRP irp);
    // The PDO's part of a Plug and Play or power request; its status.
    NTSTATUS pnpLocked(UCHAR minor, NTSTATUS status, std::vector<Completion>& ended);
    void powerLocked(PIO_STACK_LOCATION stack);
    NTSTATUS portRequest(PIRP irp, ULONG code, PVOID argument);
    NTSTATUS submitUrb(PIRP irp, PURB urb);
    void run();
    bool idleLocked() const;

    // --- the receiver's device model (ReceiverModel.cpp) -------------------------------
    const Pipe* pipeByHandleLocked(USBD_PIPE_HANDLE handle) const;
    const Pipe* pipeByAddressLocked(UCHAR address) const;
    bool portUsableLocked() const { return !removedFlag && port.connected && port.enabled; }
    // Whether the device is there for a URB: present, started, not removed.
    bool presentLocked() const { return !removedFlag && port.connected && startedLocked(); }
    // Started, and not stopped or removed since: a pending query changes nothing yet.
    bool startedLocked() const {
        return pnp == Pnp::Started || pnp == Pnp::StopPending || pnp == Pnp::RemovePending;
    }
    // The hub's stop or removal of the device: its configuration and pipes are gone, and
    // what still waited at them fails as for a device that is not there.
    void closeDeviceLocked(std::vector<Completion>& ended);
    // Whether transfers on the endpoint move data now.
    bool runningLocked(UCHAR endpoint) const;
    // A transfer of the endpoint failed on the wire: its pipe halts, and a STALL sets the
    // endpoint's Halt feature.
    void wireFailureLocked(UCHAR endpoint, USBD_STATUS status);
    // Fails the oldest transfer waiting on the endpoint (true), or none (false).
    bool failOldestLocked(UCHAR endpoint, USBD_STATUS status, std::vector<Completion>& out);
    // URBs of the driver the bus holds (waiting, held, or completed and not yet delivered).
    size_t pendingUrbsLocked() const;
    bool deliverableLocked() const;
    // Builds the completion of the first waiting transfer that can be satisfied now.
    bool takeDeliveryLocked(Completion& out);
    static void takeBytes(std::deque<std::vector<uint8_t>>& queue, ULONG capacity,
                          std::vector<uint8_t>& bytes);
    static void fillBulkLocked(Parked& p, std::deque<std::vector<uint8_t>>& queue, Completion& out);
    static void fillIsoLocked(Parked& p, std::deque<std::vector<uint8_t>>& queue, Completion& out);
    // What a port IOCTL does to the port.
    Outcome portRequestLocked(ULONG code, PVOID argument);
    // Validates and carries out one URB; fills the log record's request fields.
    Outcome handleUrbLocked(PURB urb, RequestRecord& r, std::vector<Completion>& others,
                            UCHAR*& buffer, ULONG& requested, std::vector<USBD_STATUS>& isoStatus);
    static std::optional<ULONG> zeroLengthFor(USHORT function);
    Outcome getDescriptorLocked(PURB urb, RequestRecord& r);
    Outcome endpointStatusLocked(PURB urb, RequestRecord& r);
    Outcome bulkLocked(PURB urb, RequestRecord& r, UCHAR*& buffer, ULONG& requested);
    Outcome isochLocked(PURB urb, RequestRecord& r, UCHAR*& buffer, ULONG& requested,
                        std::vector<USBD_STATUS>& isoStatus);
    Outcome selectConfigurationLocked(PURB urb, RequestRecord&, std::vector<Completion>& others);

    // --- fault injection (FaultInjection.cpp) ------------------------------------------
    // First rule that matches, consumed by one use.
    std::optional<FaultRule> takeFaultLocked(std::optional<USHORT> function,
                                             std::optional<UCHAR> endpoint,
                                             std::optional<ULONG> ioctl);
    // The positional fault of the request being handled, if one is armed; the rules are
    // left for takeFaultLocked.
    std::optional<FaultRule> takePositionalLocked();
    static Outcome faultOutcome(const FaultRule& f, std::optional<ULONG> length = 0);
};

} // namespace usb
} // namespace emu
