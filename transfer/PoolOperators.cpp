// The driver's global allocation operators. Every object and buffer of the driver comes
// from non-paged pool under the driver's tag, usable up to DISPATCH_LEVEL. A failed
// allocation yields null (the driver has no exceptions) and every caller tests for it;
// deleting null is reported, since a correct caller never does it.
#include "transfer/PoolOperators.h"

#include "platform/Diagnostics.h"
#include "transfer/PoolTag.h"

void* poolNew(size_t size) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, size, RAVO_POOL_TAG);
    if (block == nullptr) {
        RAVO_ERROR("FAIL: generic replacement new size %x\n", (ULONG)size);
    }
    return block;
}

void* poolNewArray(size_t size) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, size, RAVO_POOL_TAG);
    if (block == nullptr) {
        RAVO_ERROR("FAIL: generic replacement new [] size %x\n", (ULONG)size);
    }
    return block;
}

void poolDelete(void* block) {
    if (block == nullptr) {
        RAVO_ERROR("FAIL: generic replacement delete got NULL\n");
        return;
    }
    ExFreePool(block);
}

void poolDeleteArray(void* block) {
    if (block == nullptr) {
        RAVO_ERROR("FAIL: generic replacement delete [] got NULL\n");
        return;
    }
    ExFreePool(block);
}

void* operator new(size_t size) {
    return poolNew(size);
}
void* operator new[](size_t size) {
    return poolNewArray(size);
}
void operator delete(void* block) noexcept {
    poolDelete(block);
}
void operator delete[](void* block) noexcept {
    poolDeleteArray(block);
}
