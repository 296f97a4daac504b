// The IOCTL_HID_READ_REPORT requests the HID class driver keeps pending at the driver, in
// arrival order. Each report completes the oldest one; the I/O manager may cancel any of
// them; stop and removal fail all of them. A queued request belongs to whoever clears its
// cancel routine first.
//
// Lock order: the system cancel spin lock, then _lock; the device's _cancel_lock, then
// _lock. The cancel spin lock is never taken while _lock is held.
#pragma once

#include "platform/platform.h"
#include "hid/RequestCount.h"

class ReadReportQueue {
public:
    ReadReportQueue();
    ReadReportQueue(const ReadReportQueue&) = delete;
    ReadReportQueue& operator=(const ReadReportQueue&) = delete;

    // STATUS_PENDING when the request was taken (it may already be completed when this
    // returns, so the caller must not touch it again), STATUS_INVALID_PARAMETER when it is
    // refused for having no buffer; the caller completes a refused request.
    NTSTATUS queueRead(PIRP irp);
    // Completes the oldest pending request with the report; dropped when none is pending.
    // The bytes need to live only for the call.
    void sendReport(const void* report, ULONG length);
    // The cancel routine installed in every queued request.
    static VOID static_cancelRead(PDEVICE_OBJECT device, PIRP irp);
    void cancelRead(PDEVICE_OBJECT device, PIRP irp);
    // Completes every queued request with STATUS_NO_SUCH_DEVICE.
    void flushReads();
    // close, then waits until every accepted request has been completed.
    void drain();
    // Stop: refuses every request from now on and completes the queued ones with
    // STATUS_NO_SUCH_DEVICE. A request that passed the device's state test before the stop
    // and arrives after it is refused here rather than kept on a stopped device.
    void close();
    // Start: accepts requests again.
    void open();
    // Readies the _cancel_lock of the device's minidriver extension.
    static void initCancelLock(PDEVICE_OBJECT fdo);

    // List operations, each under _lock. pushRequest refuses while the queue is closed.
    bool pushRequest(PIRP irp);
    PIRP popRequest();
    bool removeRequest(PIRP irp);

    KSPIN_LOCK _lock; // guards _list, _count and _open
    LIST_ENTRY _list;
    ULONG _count;
    bool _open;
    RequestCount _request_count;
};
