// A device object laid out as the HID class driver lays it out, a read-report queue behind
// its dispatch, and read-report requests sent through IofCallDriver, their ends recorded.
#pragma once

#include "emu/kernel/Kernel.h"
#include "frame/MinidriverExtension.h"
#include "hid/ReadReportQueue.h"
#include "platform/CheckedList.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <memory>

namespace queues_test {

constexpr UCHAR kCanary = 0xCC;
constexpr ULONG kBufferBytes = 64;

struct Read {
    PIRP irp = nullptr;
    NTSTATUS dispatchStatus = 0;
    std::atomic<int> completions{0};
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    bool pendingReturned = false;
    UCHAR buffer[kBufferBytes];

    bool done() const { return completions.load(std::memory_order_acquire) > 0; }
};

class HidReadHarness {
public:
    HidReadHarness() {
        _driver = emu::createDriverObject("queues-test");
        _driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternal;
        fdo = emu::createDeviceObject(_driver,
                                      sizeof(HID_DEVICE_EXTENSION) + sizeof(MinidriverExtension));
        auto* hid = static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension);
        hid->MiniDeviceExtension = hid + 1;
        ReadReportQueue::initCancelLock(fdo);
        s_queue = &queue;
    }

    ~HidReadHarness() {
        for (auto& read : reads) {
            EXPECT_EQ(read->completions.load(), 1)
                << "every accepted request completes exactly once";
            if (read->completions.load() > 0)
                IoFreeIrp(read->irp);
        }
        s_queue = nullptr;
        emu::deleteDeviceObject(fdo);
        emu::deleteDriverObject(_driver);
    }

    // A read-report request as the HID class driver builds it, not yet sent.
    Read& prepare(ULONG length, bool withBuffer = true) {
        reads.push_back(std::make_unique<Read>());
        Read* read = reads.back().get();
        memset(read->buffer, kCanary, sizeof read->buffer);
        read->irp = emu::allocateWorldIrp(fdo->StackSize, [read](PIRP irp) {
            read->status = irp->IoStatus.Status;
            read->information = irp->IoStatus.Information;
            read->pendingReturned = irp->PendingReturned;
            read->completions.fetch_add(1, std::memory_order_release);
        });
        PIO_STACK_LOCATION location = emu::firstStackLocation(read->irp);
        location->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        location->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
        location->Parameters.DeviceIoControl.OutputBufferLength = length;
        read->irp->UserBuffer = withBuffer ? read->buffer : nullptr;
        return *read;
    }

    Read& submit(ULONG length, KIRQL irql = PASSIVE_LEVEL) {
        Read& read = prepare(length);
        dispatch(read, irql);
        return read;
    }

    void dispatch(Read& read, KIRQL irql = PASSIVE_LEVEL) {
        emu::ScopedIrql level(irql);
        read.dispatchStatus = IofCallDriver(fdo, read.irp);
    }

    LONG outstanding() const { return queue._request_count._outstanding; }
    PKSPIN_LOCK cancelLock() { return &minidriverExtension(fdo)->_cancel_lock; }

    PDEVICE_OBJECT fdo = nullptr;
    ReadReportQueue queue;
    std::deque<std::unique_ptr<Read>> reads;

private:
    // What the minidriver's dispatch does with a read-report request once IofCallDriver has
    // made the location current.
    static NTSTATUS dispatchInternal(PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = s_queue->queueRead(irp);
        if (status != STATUS_PENDING) {
            irp->IoStatus.Status = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return status;
    }

    static inline ReadReportQueue* s_queue = nullptr;
    PDRIVER_OBJECT _driver = nullptr;
};

} // namespace queues_test
