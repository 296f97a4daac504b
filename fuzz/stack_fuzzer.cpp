// The whole stack under a stream of events: IN packets from the virtual receiver
// interleaved with Plug and Play and power requests (the stop after its query-stop, the
// query-remove an open handle vetoes) and read cancellations, in any order.
// Nothing may crash, hang past the class driver's guards, complete a request twice or
// never, or leave pool behind at unload (the emulated verifier stops the process).
//
// Input: a sequence of operations, each one byte: its low three bits pick the operation;
// a packet takes its length (1 to 32) from the high bits and its bytes from what follows.
#include "FuzzedStack.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

enum Operation : uint8_t {
    kPacket,
    kSleep,
    kWake,
    kStop,
    kStart,
    kCancelReads,
    kQueryRemove,
    kSurpriseRemove,
};

// The last operations of a long input are not worth their time.
constexpr size_t kMaxOperations = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedStack stack;
    if (!stack.added())
        return 0;
    emu::usb::VirtualReceiver& receiver = stack.receiver;
    emu::hid::ClassDriver& hidclass = stack.hidclass;
    // The PnP manager starts only a stopped device and stops only a started one.
    bool started = NT_SUCCESS(hidclass.start());
    bool removed = false;
    size_t at = 0;
    for (size_t n = 0; at < size && n < kMaxOperations && !removed; n++) {
        const uint8_t op = data[at++];
        switch (op & 7) {
            case kPacket: {
                size_t length = (op >> 3) + 1;
                length = length < size - at ? length : size - at;
                if (length != 0)
                    receiver.queueInPacket(std::vector<uint8_t>(data + at, data + at + length));
                at += length;
                break;
            }
            case kSleep:
                hidclass.pnp().setDevicePower(PowerDeviceD3);
                break;
            case kWake:
                hidclass.pnp().setDevicePower(PowerDeviceD0);
                break;
            case kStop:
                if (started)
                    hidclass.stop();
                started = false;
                break;
            case kStart:
                if (!started)
                    started = NT_SUCCESS(hidclass.start());
                break;
            case kCancelReads:
                hidclass.cancelReads(true);
                break;
            case kQueryRemove: // an open handle vetoes it: the cancel follows
                hidclass.pnp().pnp(IRP_MN_QUERY_REMOVE_DEVICE);
                hidclass.pnp().pnp(IRP_MN_CANCEL_REMOVE_DEVICE);
                break;
            case kSurpriseRemove:
                receiver.surpriseRemove();
                hidclass.surpriseRemove();
                removed = true;
                break;
        }
    }
    stack.settle();
    return 0;
}
