// Helpers for driving the emulated bus directly: a reusable request the way a client driver
// keeps one (completion routine returning STATUS_MORE_PROCESSING_REQUIRED), URB builders, the
// select-configuration through the USBD library, and the port requests.
#pragma once

#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace bustest {

using namespace emu::usb;

inline ULONG tagOf(const char* four) {
    return ULONG(UCHAR(four[0])) | ULONG(UCHAR(four[1])) << 8 | ULONG(UCHAR(four[2])) << 16 |
           ULONG(UCHAR(four[3])) << 24;
}

// One request with its URB memory, reused for every submission.
struct Request {
    explicit Request(PDEVICE_OBJECT target)
        : pdo(target), irp(IoAllocateIrp(target->StackSize, FALSE)) {
        memset(urbMemory, 0, sizeof urbMemory);
    }
    ~Request() {
        // A request a failed test left with the bus is taken back before it is freed.
        if (sent && !isDone()) {
            IoCancelIrp(irp);
            wait(1000);
        }
        IoFreeIrp(irp);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    PURB urb() { return reinterpret_cast<PURB>(urbMemory); }

    // Submits the request's own URB, or another one.
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

    static NTSTATUS completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<Request*>(context);
        (void)irp;
        std::lock_guard<std::mutex> guard(self->lock);
        self->completions++;
        self->thread = std::this_thread::get_id();
        self->done = true;
        self->changed.notify_all();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo;
    PIRP irp;
    alignas(16) UCHAR urbMemory[1024];
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    bool sent = false;
    int completions = 0;
    std::thread::id thread;
};

inline void descriptorUrb(PURB urb, UCHAR type, UCHAR index, void* buffer, ULONG length) {
    memset(urb, 0, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbControlDescriptorRequest.DescriptorType = type;
    urb->UrbControlDescriptorRequest.Index = index;
    urb->UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb->UrbControlDescriptorRequest.TransferBufferLength = length;
}

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

inline void statusUrb(PURB urb, UCHAR endpoint, USHORT* word) {
    memset(urb, 0, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    urb->UrbControlGetStatusRequest.TransferBuffer = word;
    urb->UrbControlGetStatusRequest.TransferBufferLength = 2;
    urb->UrbControlGetStatusRequest.Index = endpoint;
}

inline void isoUrb(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG packets, ULONG size) {
    memset(urb, 0, GET_ISO_URB_SIZE(packets));
    urb->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    auto& iso = urb->UrbIsochronousTransfer;
    iso.PipeHandle = pipe;
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK | 1;
    iso.TransferBuffer = buffer;
    iso.TransferBufferLength = packets * size;
    iso.NumberOfPackets = packets;
    PUSBD_ISO_PACKET_DESCRIPTOR p = iso.IsoPacket;
    for (ULONG i = 0; i < packets; ++i) {
        p[i].Offset = i * size;
        p[i].Length = size;
    }
}

// Builds the select-configuration URB for alternate setting 0 of every interface, as a client
// driver does; the caller frees it with ExFreePool.
inline PURB selectUrb(std::vector<uint8_t>& config) {
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(cd->bNumInterfaces + 1u);
    for (UCHAR i = 0; i < cd->bNumInterfaces; ++i)
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, i, 0, -1, -1, -1);
    return USBD_CreateConfigurationRequestEx(cd, list.data());
}

// Selects configuration 0 of the device; returns the request's status.
inline NTSTATUS selectFirst(VirtualReceiver& bus, std::vector<uint8_t>& keep) {
    keep = bus.descriptors().configurations.at(0);
    PURB urb = selectUrb(keep);
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    Request r(bus.pdo());
    r.submit(urb);
    r.wait();
    ExFreePool(urb);
    return r.status();
}

// A port request built the way the I/O manager builds one, waited for without a time-out.
inline NTSTATUS portRequest(VirtualReceiver& bus, ULONG code, ULONG* word) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, bus.pdo(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = word;
    NTSTATUS status = IofCallDriver(bus.pdo(), irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

} // namespace bustest
