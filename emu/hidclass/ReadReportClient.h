// The input side of the HID class driver, as a minidriver sees it: IOCTL_HID_READ_REPORT
// requests kept pending at the minidriver's functional device object and sent again as
// each one completes, and the reports they bring back.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace emu::hid {

// A functional device object laid out as the HID class driver lays it out: its extension
// is a HID_DEVICE_EXTENSION whose MiniDeviceExtension points at miniExtensionSize zeroed
// bytes behind it. Internal device-control requests sent to it go to the handler, which
// plays the minidriver's dispatch routine.
class StandInFdo {
public:
    using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    StandInFdo(ULONG miniExtensionSize, Handler internalDeviceControl);
    ~StandInFdo();
    StandInFdo(const StandInFdo&) = delete;
    StandInFdo& operator=(const StandInFdo&) = delete;

    PDEVICE_OBJECT fdo() const { return _fdo; }
    PVOID miniExtension() const;

private:
    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS refuse(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT _driver = nullptr;
    PDEVICE_OBJECT _fdo = nullptr;
    Handler _handler;
};

struct InputReport {
    uint64_t sequence = 0; // completion order, from 1
    NTSTATUS status = 0;
    std::vector<uint8_t> bytes; // the first IoStatus.Information bytes of the buffer
};

class ReadReportClient {
public:
    // Reads of bufferLength bytes each (the longest input report, report ID included) go
    // to the top of target's stack.
    explicit ReadReportClient(PDEVICE_OBJECT target, ULONG bufferLength = 9);
    // Every read must have completed by now (the minidriver flushed or drained its queue):
    // a request still pending would complete into a freed client, so that is a verifier
    // failure.
    ~ReadReportClient();
    ReadReportClient(const ReadReportClient&) = delete;
    ReadReportClient& operator=(const ReadReportClient&) = delete;

    // Sends reads until depth are pending and sends a new one whenever one completes with a
    // report, until stopResending. A read that fails with STATUS_NO_SUCH_DEVICE or
    // STATUS_CANCELLED is not sent again, nor is one the minidriver refused at dispatch.
    void keepPending(unsigned depth);
    void stopResending();
    // Stops resending and cancels every pending read with IoCancelIrp, as the class driver
    // does when its device stops; returns how many cancel routines ran. The reads complete
    // whenever the minidriver completes them.
    size_t cancelPending();
    // Blocks (real time, at most realTimeoutMs) until no read is pending.
    bool waitUntilNonePending(int realTimeoutMs = 5000) const;

    // Called on the completing thread for every completed read, before it is resent.
    void setSink(std::function<void(const InputReport&)> sink);

    size_t pending() const;
    // Reads the minidriver refused at dispatch (any status but STATUS_PENDING).
    size_t refused() const;
    uint64_t completedCount() const;
    // The completed reads not taken yet, in completion order.
    std::vector<InputReport> take();

private:
    struct Slot;
    void pump();
    void onComplete(Slot* slot, PIRP irp);
    void release(Slot* slot); // with _lock held; frees the request once nobody holds it

    PDEVICE_OBJECT _target;
    ULONG _bufferLength;
    mutable std::mutex _lock;
    mutable std::condition_variable _changed;
    unsigned _depth = 0;
    bool _resend = false;
    size_t _pending = 0;
    size_t _owed = 0; // reads to send once the current pump call gets to them
    size_t _refused = 0;
    uint64_t _completed = 0;
    std::vector<Slot*> _slots;
    std::vector<InputReport> _reports;
    std::function<void(const InputReport&)> _sink;
};

} // namespace emu::hid
