// The kernel surface of the host build: the structures the driver touches, in their x64
// layouts, and the ntoskrnl operations it imports. The emulated kernel implements the
// exported functions; the request-stack helpers are inline here exactly as in wdm.h.
#pragma once

#include "HostTypes.h"

// ---------------------------------------------------------------------------------------
// IRQL and processor modes

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define KernelMode 0
#define UserMode 1

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

// ---------------------------------------------------------------------------------------
// Dispatcher objects

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD* PETHREAD;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// ---------------------------------------------------------------------------------------
// Driver and device objects

struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject,
                                   PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef VOID DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct alignas(16) _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        UCHAR Wcb[72];
    } Queue;
    ULONG AlignmentRequirement;
    ULONGLONG DeviceQueue[5];
    ULONGLONG Dpc[8];
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
};

// ---------------------------------------------------------------------------------------
// Requests

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6
} SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4
} DEVICE_POWER_STATE;
typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;
typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE POINTER_ALIGNMENT Type;
            POWER_STATE POINTER_ALIGNMENT State;
            ULONG POINTER_ALIGNMENT ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define IO_TYPE_IRP 6

struct _IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL volatile CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                UCHAR DeviceQueueEntry[24];
                PVOID DriverContext[4];
            };
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION* CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PVOID OriginalFileObject;
        } Overlay;
        UCHAR Apc[88];
        PVOID CompletionKey;
    } Tail;
};

#define IoSizeOfIrp(StackSize) ((USHORT)(sizeof(IRP) + ((StackSize) * (sizeof(IO_STACK_LOCATION)))))

// ---------------------------------------------------------------------------------------
// Remove lock (the checked layout, 120 bytes, whose size every call passes)

typedef struct _IO_REMOVE_LOCK_COMMON_BLOCK {
    BOOLEAN Removed;
    BOOLEAN Reserved[3];
    LONG IoCount;
    KEVENT RemoveEvent;
} IO_REMOVE_LOCK_COMMON_BLOCK;

typedef struct _IO_REMOVE_LOCK_DBG_BLOCK {
    LONG Signature;
    LONG HighWatermark;
    LONGLONG MaxLockedTicks;
    LONG AllocateTag;
    LIST_ENTRY LockList;
    KSPIN_LOCK Spin;
    LONG LowMemoryCount;
    ULONG Reserved1[4];
    PVOID Reserved2;
    PVOID Blocks;
} IO_REMOVE_LOCK_DBG_BLOCK;

typedef struct _IO_REMOVE_LOCK {
    IO_REMOVE_LOCK_COMMON_BLOCK Common;
    IO_REMOVE_LOCK_DBG_BLOCK Dbg;
} IO_REMOVE_LOCK, *PIO_REMOVE_LOCK;

// ---------------------------------------------------------------------------------------
// Version information

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

// ---------------------------------------------------------------------------------------
// Object manager

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    do {                                                                                           \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                   \
        (p)->RootDirectory = (r);                                                                  \
        (p)->Attributes = (a);                                                                     \
        (p)->ObjectName = (n);                                                                     \
        (p)->SecurityDescriptor = (s);                                                             \
        (p)->SecurityQualityOfService = NULL;                                                      \
    } while (0)

typedef struct _CLIENT_ID* PCLIENT_ID;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION* POBJECT_HANDLE_INFORMATION;

#define THREAD_ALL_ACCESS 0x001FFFFF

// ---------------------------------------------------------------------------------------
// Exported kernel operations

#ifdef __cplusplus
extern "C" {
#endif

#if defined(RAVO_KERNEL_IMPLEMENTATION)
#define RAVO_KERNEL_EXPORT __attribute__((visibility("default")))
#else
#define RAVO_KERNEL_EXPORT
#endif

// Pool
RAVO_KERNEL_EXPORT PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
RAVO_KERNEL_EXPORT VOID ExFreePool(PVOID P);
RAVO_KERNEL_EXPORT VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

// IRQL and spin locks
RAVO_KERNEL_EXPORT KIRQL KeGetCurrentIrql(void);
RAVO_KERNEL_EXPORT VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
RAVO_KERNEL_EXPORT VOID KeLowerIrql(KIRQL NewIrql);
RAVO_KERNEL_EXPORT VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
RAVO_KERNEL_EXPORT KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
RAVO_KERNEL_EXPORT VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
RAVO_KERNEL_EXPORT VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
RAVO_KERNEL_EXPORT VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
RAVO_KERNEL_EXPORT VOID IoAcquireCancelSpinLock(PKIRQL Irql);
RAVO_KERNEL_EXPORT VOID IoReleaseCancelSpinLock(KIRQL Irql);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)

// Events, mutexes and waits
RAVO_KERNEL_EXPORT VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
RAVO_KERNEL_EXPORT LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
RAVO_KERNEL_EXPORT VOID KeClearEvent(PRKEVENT Event);
RAVO_KERNEL_EXPORT LONG KeResetEvent(PRKEVENT Event);
RAVO_KERNEL_EXPORT LONG KeReadStateEvent(PRKEVENT Event);
RAVO_KERNEL_EXPORT VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
RAVO_KERNEL_EXPORT LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
RAVO_KERNEL_EXPORT NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Timeout);
RAVO_KERNEL_EXPORT NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                   PLARGE_INTEGER Interval);
RAVO_KERNEL_EXPORT PKTHREAD KeGetCurrentThread(void);

// Requests
RAVO_KERNEL_EXPORT PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
RAVO_KERNEL_EXPORT VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
RAVO_KERNEL_EXPORT VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
RAVO_KERNEL_EXPORT VOID IoFreeIrp(PIRP Irp);
RAVO_KERNEL_EXPORT BOOLEAN IoCancelIrp(PIRP Irp);
RAVO_KERNEL_EXPORT PIRP IoBuildDeviceIoControlRequest(
    ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer, ULONG InputBufferLength,
    PVOID OutputBuffer, ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl, PKEVENT Event,
    PIO_STATUS_BLOCK IoStatusBlock);
RAVO_KERNEL_EXPORT NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
RAVO_KERNEL_EXPORT VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver(a, b) IofCallDriver(a, b)
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)

// Remove lock
RAVO_KERNEL_EXPORT VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                                 ULONG MaxLockedMinutes, ULONG HighWatermark,
                                                 ULONG RemlockSize);
RAVO_KERNEL_EXPORT NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                                  ULONG Line, ULONG RemlockSize);
RAVO_KERNEL_EXPORT VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                              ULONG RemlockSize);
RAVO_KERNEL_EXPORT VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                                     ULONG RemlockSize);
#define IoInitializeRemoveLock(Lock, Tag, Maxmin, HighWater)                                       \
    IoInitializeRemoveLockEx(Lock, Tag, Maxmin, HighWater, sizeof(IO_REMOVE_LOCK))
#define IoAcquireRemoveLock(RemoveLock, Tag)                                                       \
    IoAcquireRemoveLockEx(RemoveLock, Tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLock(RemoveLock, Tag)                                                       \
    IoReleaseRemoveLockEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLockAndWait(RemoveLock, Tag)                                                \
    IoReleaseRemoveLockAndWaitEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))

// Work items: a routine run later at PASSIVE_LEVEL on a system worker thread.
typedef struct _IO_WORKITEM* PIO_WORKITEM;
typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2
} WORK_QUEUE_TYPE;
RAVO_KERNEL_EXPORT PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
RAVO_KERNEL_EXPORT VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                        WORK_QUEUE_TYPE QueueType, PVOID Context);
RAVO_KERNEL_EXPORT VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

// Power
RAVO_KERNEL_EXPORT VOID PoStartNextPowerIrp(PIRP Irp);
RAVO_KERNEL_EXPORT NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Threads and objects
RAVO_KERNEL_EXPORT NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                 POBJECT_ATTRIBUTES ObjectAttributes,
                                                 HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                                 PKSTART_ROUTINE StartRoutine, PVOID StartContext);
RAVO_KERNEL_EXPORT DECLSPEC_NORETURN NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
RAVO_KERNEL_EXPORT NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                      POBJECT_TYPE ObjectType,
                                                      KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                      POBJECT_HANDLE_INFORMATION HandleInformation);
RAVO_KERNEL_EXPORT LONG_PTR ObfDereferenceObject(PVOID Object);
RAVO_KERNEL_EXPORT NTSTATUS ZwClose(HANDLE Handle);
#define ObDereferenceObject(o) ObfDereferenceObject(o)

// Diagnostics
RAVO_KERNEL_EXPORT ULONG DbgPrint(PCSTR Format, ...);
RAVO_KERNEL_EXPORT VOID DbgBreakPoint(void);
RAVO_KERNEL_EXPORT VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                                  PSTR Message);
RAVO_KERNEL_EXPORT NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
RAVO_KERNEL_EXPORT DECLSPEC_NORETURN VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1,
                                                       ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
RAVO_KERNEL_EXPORT DECLSPEC_NORETURN VOID __fastfail(unsigned int Code);

#ifdef __cplusplus
}
#endif

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3

#define ASSERT(exp)                                                                                \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)

// ---------------------------------------------------------------------------------------
// Request-stack helpers, as the platform headers define them

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION nextIrpSp = IoGetNextIrpStackLocation(Irp);
    RtlCopyMemory(nextIrpSp, irpSp, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    nextIrpSp->Control = 0;
}

inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION irpSp = IoGetNextIrpStackLocation(Irp);
    irpSp->CompletionRoutine = CompletionRoutine;
    irpSp->Context = Context;
    irpSp->Control = 0;
    if (InvokeOnSuccess)
        irpSp->Control = SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError)
        irpSp->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel)
        irpSp->Control |= SL_INVOKE_ON_CANCEL;
}

inline VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&Irp->CancelRoutine,
                                                      (PVOID)CancelRoutine);
}
