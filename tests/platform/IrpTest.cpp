// Requests through a device stack: completion routine order and flags,
// STATUS_MORE_PROCESSING_REQUIRED, pending propagation, and requests the I/O manager builds.
#include "KernelFixture.h"

#include <string>
#include <vector>

using namespace ktest;

namespace {

struct Trace {
    std::vector<std::string> events;
};

NTSTATUS recordingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* trace = static_cast<Trace*>(context);
    trace->events.push_back("completion irql=" + std::to_string(KeGetCurrentIrql()) +
                            " device=" + (device ? "set" : "null") +
                            " pending=" + std::to_string(irp->PendingReturned));
    return STATUS_SUCCESS;
}

NTSTATUS keepRequest(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

TEST(IrpTest, CompletionRoutinesRunBottomUpAtDispatchLevelWithTheirOwnDevice) {
    DeviceStack stack(3);
    Trace trace;
    PDEVICE_OBJECT seenBy[3] = {};
    // Each upper driver passes the request down with a completion routine; the bottom
    // completes it.
    for (int i = 1; i < 3; ++i) {
        stack.at(i).dispatch = [&, i](PDEVICE_OBJECT device, PIRP irp) {
            seenBy[i] = device;
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, recordingCompletion, &trace, TRUE, TRUE, TRUE);
            trace.events.push_back("down " + std::to_string(i));
            return IofCallDriver(stack.at(i - 1).device, irp);
        };
    }
    stack.at(0).dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        seenBy[0] = device;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 7;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    WorldResult result;
    PIRP irp = worldRequest(stack.top().device->StackSize, IRP_MJ_READ, &result);
    EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(stack.top().device, irp));
    ASSERT_TRUE(result.completed);
    EXPECT_EQ(7u, result.information);
    EXPECT_EQ(1, result.completions);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(stack.at(i).device, seenBy[i]) << "stack location " << i;
    std::vector<std::string> expected = {"down 2", "down 1",
                                         "completion irql=2 device=set pending=0",
                                         "completion irql=2 device=set pending=0"};
    EXPECT_EQ(expected, trace.events);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()) << "completion must restore the caller's IRQL";
}

TEST(IrpTest, InvokeFlagsSelectWhichRoutinesRun) {
    struct Case {
        NTSTATUS status;
        bool cancel;
        BOOLEAN onSuccess, onError, onCancel;
        bool runs;
    } cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
        {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false},
    };
    for (const Case& c : cases) {
        DeviceStack stack(2);
        Trace trace;
        stack.at(1).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, recordingCompletion, &trace, c.onSuccess, c.onError,
                                   c.onCancel);
            return IofCallDriver(stack.at(0).device, irp);
        };
        stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancel;
            irp->IoStatus.Status = c.status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return c.status;
        };
        WorldResult result;
        IofCallDriver(stack.top().device, worldRequest(2, IRP_MJ_READ, &result));
        EXPECT_TRUE(result.completed);
        EXPECT_EQ(c.runs ? 1u : 0u, trace.events.size())
            << "status " << std::hex << c.status << " cancel " << c.cancel;
    }
}

TEST(IrpTest, MoreProcessingRequiredHandsTheRequestBackToItsCaller) {
    DeviceStack stack(2);
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    NTSTATUS lowerStatus = STATUS_PENDING;
    stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    // The upper driver waits for the lower one, looks at the result, then completes the
    // request itself: the pattern of a start request.
    stack.at(1).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, keepRequest, &back, TRUE, TRUE, TRUE);
        IofCallDriver(stack.at(0).device, irp);
        KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
        lowerStatus = irp->IoStatus.Status;
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    };
    WorldResult result;
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE,
              IofCallDriver(stack.top().device, worldRequest(2, IRP_MJ_PNP, &result)));
    EXPECT_EQ(STATUS_SUCCESS, lowerStatus);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, result.status);
    EXPECT_EQ(1, result.completions);
}

TEST(IrpTest, PendingReturnedPropagatesUpwardWithoutRoutines) {
    DeviceStack stack(2);
    PIRP held = nullptr;
    stack.at(1).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(stack.at(0).device, irp);
    };
    stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    WorldResult result;
    EXPECT_EQ(STATUS_PENDING,
              IofCallDriver(stack.top().device, worldRequest(1, IRP_MJ_READ, &result)));
    EXPECT_FALSE(result.completed);
    held->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_TRUE(result.completed);
    EXPECT_TRUE(result.pendingReturned);
}

TEST(IrpTest, DriverAllocatedRequestIsReusableAfterItsRoutineKeepsIt) {
    DeviceStack stack(1);
    int served = 0;
    stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        served++;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = served;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    PIRP irp = IoAllocateIrp(stack.top().device->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    KEVENT done;
    for (int round = 1; round <= 3; ++round) {
        IoInitializeIrp(irp, IoSizeOfIrp(stack.top().device->StackSize),
                        stack.top().device->StackSize);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, keepRequest, &done, TRUE, TRUE, TRUE);
        IofCallDriver(stack.top().device, irp);
        EXPECT_EQ(STATUS_SUCCESS,
                  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr));
        EXPECT_EQ(static_cast<ULONG_PTR>(round), irp->IoStatus.Information);
    }
    int64_t live = emu::liveIrps();
    IoFreeIrp(irp);
    EXPECT_EQ(live - 1, emu::liveIrps());
}

TEST(IrpTest, BuiltDeviceIoControlRequestSignalsTheCallersEventAndIsFreedByTheKernel) {
    DeviceStack stack(1);
    ULONG seenCode = 0;
    PVOID seenArgument = nullptr;
    stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, sp->MajorFunction);
        seenCode = sp->Parameters.DeviceIoControl.IoControlCode;
        seenArgument = sp->Parameters.Others.Argument1;
        irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
        irp->IoStatus.Information = 4;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_NOT_CONNECTED;
    };
    int64_t liveBefore = emu::liveIrps();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG portStatus = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, stack.top().device,
                                             nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &portStatus;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, IofCallDriver(stack.top().device, irp));
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, iosb.Status);
    EXPECT_EQ(4u, iosb.Information);
    EXPECT_EQ(static_cast<ULONG>(IOCTL_INTERNAL_USB_GET_PORT_STATUS), seenCode);
    EXPECT_EQ(&portStatus, seenArgument);
    EXPECT_EQ(liveBefore, emu::liveIrps()) << "the I/O manager frees the request it built";
}

TEST(IrpTest, CancelCallsTheRoutineAtDispatchWithTheCancelLockHeld) {
    DeviceStack stack(1);
    static KIRQL irqlInRoutine;
    static int heldInRoutine;
    PIRP queued = nullptr;
    stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
            irqlInRoutine = KeGetCurrentIrql();
            heldInRoutine = emu::heldSpinLocks();
            IoReleaseCancelSpinLock(cancelled->CancelIrql);
            cancelled->IoStatus.Status = STATUS_CANCELLED;
            IofCompleteRequest(cancelled, IO_NO_INCREMENT);
        });
        IoReleaseCancelSpinLock(irql);
        IoMarkIrpPending(irp);
        queued = irp;
        return STATUS_PENDING;
    };
    WorldResult result;
    PIRP irp = worldRequest(1, IRP_MJ_READ, &result);
    IofCallDriver(stack.top().device, irp);
    EXPECT_TRUE(IoCancelIrp(queued));
    EXPECT_EQ(DISPATCH_LEVEL, irqlInRoutine);
    EXPECT_EQ(1, heldInRoutine);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(STATUS_CANCELLED, result.status);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}
