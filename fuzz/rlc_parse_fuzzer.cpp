// Feeds one packet parser a sequence of packets cut from the input: each chunk is a length
// byte and the packet bytes behind it. Lengths 1..32 are what a USB read brings; a length
// byte from 0xE0 on claims more than 32 bytes (up to 250) on a 32-byte packet, as a
// misbehaving device might.
//
// Checked on every packet: nothing read past the packet (it sits in a block of exactly its
// size), the samples fill contiguous slots from the first one, end with the terminator
// within 31 slots and never touch the 40 slots' neighbours (the IR data buffer is a block
// of exactly 80 bytes), and the carried tail stays within 6 bytes.
#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"
#include "platform/Diagnostics.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace {

constexpr UCHAR kUnwritten = 0xEE;
constexpr size_t kMostSlotsPerPacket = 31;

[[noreturn]] void fail(const char* what, size_t packet) {
    std::fprintf(stderr, "rlc_parse_fuzzer: packet %zu: %s\n", packet, what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Response items are logged; the log is a bounded ring, and nobody reads it here.
    emu::debuglog::setEcho(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::optional<RLC_parse> parser;
    parser.emplace(&status);
    if (status != STATUS_SUCCESS)
        fail("the parser could not be created", 0);
    parser->isKeyReleased();

    std::unique_ptr<IrSample[]> out(new IrSample[IR_DATA_BUFFER_SAMPLES]);
    size_t at = 0, number = 0;
    while (at < size) {
        uint8_t lengthByte = data[at++];
        size_t bytes = lengthByte >= 0xE0 ? RLC_MAX_PACKET_BYTES : lengthByte % 32 + 1;
        ULONG claimed = lengthByte >= 0xE0 ? 33 + (lengthByte - 0xE0) * 7 : ULONG(bytes);
        if (bytes > size - at)
            bytes = claimed = ULONG(size - at);
        if (bytes == 0)
            break;
        ++number;
        std::unique_ptr<UCHAR[]> packet(new UCHAR[bytes]);
        std::memcpy(packet.get(), data + at, bytes);
        at += bytes;

        std::memset(out.get(), kUnwritten, IR_DATA_BUFFER_BYTES);
        if (!parser->parse(packet.get(), out.get(), claimed))
            fail("parse answered false", number);

        size_t written = 0;
        while (written < IR_DATA_BUFFER_SAMPLES && out[written].level != kUnwritten)
            ++written;
        for (size_t i = written; i < IR_DATA_BUFFER_SAMPLES; ++i)
            if (out[i].level != kUnwritten || out[i].duration != kUnwritten)
                fail("a slot written behind a gap", number);
        if (written == 0)
            fail("no terminator written", number);
        if (written > kMostSlotsPerPacket)
            fail("more than 30 samples and the terminator", number);
        if (!isTerminator(out[written - 1]))
            fail("the last slot written is not the terminator", number);
        for (size_t i = 0; i < written; ++i)
            if (out[i].level > 1 || out[i].duration > 127)
                fail("a sample that no byte can give", number);
        if (parser->carried() > RLC_MAX_CARRIED_BYTES)
            fail("more than 6 bytes carried", number);
    }
    return 0;
}
