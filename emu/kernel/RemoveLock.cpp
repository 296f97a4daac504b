// The remove lock in its checked layout. Acquisitions are remembered by tag, so that a
// release with a tag that holds nothing is caught as Driver Verifier would.
#include "Internal.h"

#include <map>
#include <set>

namespace emu {
namespace {

constexpr LONG kRemoveLockSignature = 0x6B4C6D52; // "RmLk"

struct TagRegistry {
    std::mutex lock;
    std::map<PIO_REMOVE_LOCK, std::multiset<PVOID>> held;
};

TagRegistry& registry() {
    static TagRegistry* r = new TagRegistry();
    return *r;
}

void requireSize(PIO_REMOVE_LOCK lock, ULONG size, const char* operation) {
    if (size != sizeof(IO_REMOVE_LOCK))
        verifierFailure("remove lock size mismatch", "%s(%p) with size %u; the lock is %zu bytes",
                        operation, lock, size, sizeof(IO_REMOVE_LOCK));
    if (lock->Dbg.Signature != kRemoveLockSignature)
        verifierFailure("remove lock not initialised", "%s(%p) before IoInitializeRemoveLockEx",
                        operation, lock);
}

} // namespace
} // namespace emu

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize) {
    emu::requireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLockEx");
    if (RemlockSize != sizeof(IO_REMOVE_LOCK))
        emu::verifierFailure("remove lock size mismatch",
                             "IoInitializeRemoveLockEx with size %u; the lock is %zu bytes",
                             RemlockSize, sizeof(IO_REMOVE_LOCK));
    memset(Lock, 0, sizeof *Lock);
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    Lock->Dbg.Signature = emu::kRemoveLockSignature;
    Lock->Dbg.HighWatermark = static_cast<LONG>(HighWatermark);
    Lock->Dbg.MaxLockedTicks = static_cast<LONGLONG>(MaxLockedMinutes) * 60 * 10000000;
    Lock->Dbg.AllocateTag = static_cast<LONG>(AllocateTag);
    Lock->Dbg.LockList.Flink = Lock->Dbg.LockList.Blink = &Lock->Dbg.LockList;
    std::lock_guard<std::mutex> guard(emu::registry().lock);
    emu::registry().held[Lock].clear();
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize) {
    (void)File;
    (void)Line;
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLockEx");
    emu::requireSize(RemoveLock, RemlockSize, "IoAcquireRemoveLockEx");
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    // Removed is set by a thread in IoReleaseRemoveLockAndWait while others acquire.
    if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_ACQUIRE)) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard<std::mutex> guard(emu::registry().lock);
    emu::registry().held[RemoveLock].insert(Tag);
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLockEx");
    emu::requireSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockEx");
    {
        std::lock_guard<std::mutex> guard(emu::registry().lock);
        auto& tags = emu::registry().held[RemoveLock];
        auto found = tags.find(Tag);
        if (found == tags.end())
            emu::verifierFailure("remove lock released with a tag it does not hold",
                                 "IoReleaseRemoveLockEx(%p, tag %p): no acquisition with that tag",
                                 RemoveLock, Tag);
        tags.erase(found);
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    emu::requireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx");
    emu::requireSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockAndWaitEx");
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_RELEASE);
    InterlockedDecrement(&RemoveLock->Common.IoCount); // the bias taken at initialisation
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

} // extern "C"
