// What user mode can make the class driver send the driver (emu/hidclass/UserRequests.h),
// any code with any buffer, between receiver packets, read cancellations, stops and starts.
// Every answer must keep within its buffer (the class driver's checks abort the run);
// nothing may crash, hang past the class driver's guard, or be left behind at unload.
//
// Input: operations. The low three bits of an operation's byte pick it: 0-4 a request,
// 5 a packet, 6 a read cancellation, 7 a stop or a start. A request's code is the kind
// its high bits pick, or for the last pick the next four bytes; then a shape byte (bit 0
// no buffer, bit 1 no report buffer, bit 2 the length times 16, bits 4-7 the misalignment),
// two bytes of length, the report id, four bytes of Type3InputBuffer. A packet takes its
// length (1 to 32) from the high bits and its bytes from what follows.
#include "FuzzedStack.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kMaxOperations = 64;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t word(int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; i++)
            value |= static_cast<uint32_t>(byte()) << (8 * i);
        return value;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedStack stack;
    if (!stack.added())
        return 0;
    emu::usb::VirtualReceiver& receiver = stack.receiver;
    emu::hid::ClassDriver& hidclass = stack.hidclass;
    bool started = NT_SUCCESS(hidclass.start());
    const std::vector<emu::hid::HidRequestKind>& kinds = emu::hid::hidRequestKinds();
    Input in{data, size};
    for (size_t n = 0; in.at < size && n < kMaxOperations; n++) {
        const uint8_t op = in.byte();
        if ((op & 7) == 5) {
            std::vector<uint8_t> packet;
            for (int i = 0; i <= op >> 3 && in.at < size; i++)
                packet.push_back(in.byte());
            receiver.queueInPacket(packet);
        } else if ((op & 7) == 6) {
            hidclass.cancelReads(true);
        } else if ((op & 7) == 7) {
            started = started ? (hidclass.stop(), false) : NT_SUCCESS(hidclass.start());
        } else {
            size_t pick = (op >> 3) % (kinds.size() + 1);
            ULONG code = pick < kinds.size() ? kinds[pick].code : in.word(4);
            const uint8_t shape = in.byte();
            emu::hid::UserBuffer buffer;
            buffer.null = shape & 1;
            buffer.nullReport = shape & 2;
            buffer.length = in.word(2) << (shape & 4 ? 4 : 0);
            buffer.misalign = shape >> 4;
            buffer.reportId = in.byte();
            buffer.argument = in.word(4);
            if (code == IOCTL_HID_READ_REPORT)
                continue; // no application's request; the class driver's own reads run
            emu::hid::UserRequestOutcome got = hidclass.userRequest(code, buffer);
            if (!got.fault.empty()) {
                std::fprintf(stderr, "*** %s\n", got.fault.c_str());
                std::abort();
            }
        }
    }
    stack.settle();
    return 0;
}
