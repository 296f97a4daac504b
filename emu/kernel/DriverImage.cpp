// The unload check of a driver image: everything its code allocated, created or opened must
// be gone when DriverUnload has returned. What belongs to the image is told by the address
// of the code that asked for it, as the kernel tells by the caller of a pool allocation.
#include "Internal.h"

#include <dlfcn.h>

namespace emu {

namespace {

const void* imageBase(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0)
        return nullptr;
    return info.dli_fbase;
}

} // namespace

void verifyImageReleasedAll(const void* addressInImage, const char* when) {
    const void* base = imageBase(addressInImage);
    if (base == nullptr)
        verifierFailure("unload check without an image", "%p lies in no loaded image",
                        addressInImage);
    ImageTest ownedByImage = [base](const void* caller) { return imageBase(caller) == base; };
    uint64_t blocks = 0, bytes = 0;
    ULONG tag = 0;
    size_t firstBytes = 0;
    findLivePoolOf(ownedByImage, blocks, bytes, tag, firstBytes);
    if (blocks != 0)
        verifierFailure("pool leaked at teardown",
                        "%llu block(s), %llu bytes, allocated by or for the driver (one of "
                        "them: tag '%s', %zu bytes) still live %s",
                        (unsigned long long)blocks, (unsigned long long)bytes,
                        poolTagText(tag).c_str(), firstBytes, when);
    if (int64_t irps = liveIrpsOf(ownedByImage))
        verifierFailure("driver IRP not freed at teardown",
                        "%lld request(s) the driver allocated are still live %s", (long long)irps,
                        when);
    if (int64_t handles = openHandlesOf(ownedByImage))
        verifierFailure("driver handle left open at teardown",
                        "%lld handle(s) the driver opened are still open %s", (long long)handles,
                        when);
    if (int64_t threads = runningThreadsOf(ownedByImage))
        verifierFailure("driver thread still running at teardown",
                        "%lld system thread(s) the driver created still run %s", (long long)threads,
                        when);
}

} // namespace emu
