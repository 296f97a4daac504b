// Driving the emulated bus directly: a reusable request the way a client driver keeps one
// (its completion routine returns STATUS_MORE_PROCESSING_REQUIRED), URB builders, and the
// select-configuration built through the USBD library.
#pragma once

#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace bustest {

using namespace emu::usb;

// One request with its URB memory, reused for every submission.
struct Request {
    explicit Request(PDEVICE_OBJECT target)
        : pdo(target), irp(IoAllocateIrp(target->StackSize, FALSE)) {}
    ~Request() {
        if (sent && !isDone()) { // a failed test left it with the bus: take it back first
            IoCancelIrp(irp);
            wait(1000);
        }
        IoFreeIrp(irp);
    }
    PURB urb() { return reinterpret_cast<PURB>(urbMemory); }
    NTSTATUS submit(PURB other = nullptr) {
        return send(IOCTL_INTERNAL_USB_SUBMIT_URB, other ? other : urb());
    }
    NTSTATUS send(ULONG code, PVOID argument) {
        {
            std::lock_guard<std::mutex> guard(lock);
            done = false;
        }
        sent = true;
        IoInitializeIrp(irp, IoSizeOfIrp(pdo->StackSize), pdo->StackSize);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.Others.Argument1 = argument;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        IoSetCompletionRoutine(irp, &Request::completed, this, TRUE, TRUE, TRUE);
        return IofCallDriver(pdo, irp);
    }
    bool wait(int realMs = 5000) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(realMs), [&] { return done; });
    }
    bool isDone() {
        std::lock_guard<std::mutex> guard(lock);
        return done;
    }
    NTSTATUS status() const { return irp->IoStatus.Status; }
    USBD_STATUS usbdStatus() { return urb()->UrbHeader.Status; }
    ULONG transferred() { return urb()->UrbBulkOrInterruptTransfer.TransferBufferLength; }

    static NTSTATUS completed(PDEVICE_OBJECT, PIRP, PVOID context) {
        auto* self = static_cast<Request*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->completions++;
        self->done = true;
        self->changed.notify_all();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo;
    PIRP irp;
    alignas(16) UCHAR urbMemory[1024] = {};
    std::mutex lock;
    std::condition_variable changed;
    bool done = false, sent = false;
    int completions = 0;
};

inline void bulkUrb(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in) {
    memset(urb, 0, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags =
        USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
}

inline void pipeUrb(PURB urb, USHORT function, USBD_PIPE_HANDLE pipe) {
    memset(urb, 0, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
}

// Starts the PDO and selects alternate setting 0 of every interface of configuration 0, as
// a client driver does after its start; returns the request's status.
inline NTSTATUS selectFirst(VirtualReceiver& bus, std::vector<uint8_t>& config) {
    if (!bus.started() && !NT_SUCCESS(bus.startDevice()))
        return STATUS_UNSUCCESSFUL;
    config = bus.descriptors().configurations.at(0);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(cd->bNumInterfaces + 1u);
    for (UCHAR i = 0; i < cd->bNumInterfaces; ++i)
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, i, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    Request r(bus.pdo());
    r.submit(urb);
    r.wait();
    ExFreePool(urb);
    return r.status();
}

} // namespace bustest
