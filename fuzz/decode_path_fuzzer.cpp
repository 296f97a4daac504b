// The parse thread's decode path under arbitrary USB packets: RLC_parse, then both protocol
// decoders, then key translation into a read-report queue with no pending request.
//
// The first input byte picks how the rest is read:
// - even: raw packets, each a length byte (1 + value % 32 bytes follow, fewer at the end of
//   the input) and the packet bytes;
// - odd: samples, one byte each, packed into RLC groups and cut into packets of
//   1 + (second byte % 32) bytes. Bit 7 is the level; durations 1 to 16 stand for the
//   durations the decoders' windows turn on, so that random inputs reach whole frames
//   (and frames of many pieces); the byte 0x00 is the end-of-signal marker.
// Every input starts from freshly reset objects that were built once, so that any
// allocation made while decoding shows up as a change of the pool's allocation count.
#include "decode/IrControl.h"
#include "decode/NecProtocol.h"
#include "decode/Rc5Protocol.h"
#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"
#include "hid/ReadReportQueue.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

struct DecodePath {
    std::optional<RLC_parse> parser;
    std::optional<NEC_Protocol> nec;
    std::optional<RC5_Protocol> rc5;
    std::optional<ReadReportQueue> queue;
    std::optional<IR_Control> control;

    DecodePath() {
        NTSTATUS parserStatus = STATUS_UNSUCCESSFUL;
        NTSTATUS necStatus = STATUS_UNSUCCESSFUL;
        NTSTATUS rc5Status = STATUS_UNSUCCESSFUL;
        parser.emplace(&parserStatus);
        nec.emplace(&necStatus);
        rc5.emplace(&rc5Status);
        queue.emplace();
        control.emplace(&*queue, 0);
        if (parserStatus != STATUS_SUCCESS || necStatus != STATUS_SUCCESS ||
            rc5Status != STATUS_SUCCESS) {
            fprintf(stderr, "decode path objects could not be built\n");
            abort();
        }
    }
};

// Window edges and typical periods of both protocols, in 50 us units.
const UCHAR kLikelyUnits[16] = {5, 6, 11, 12, 16, 17, 18, 24, 29, 34, 36, 39, 53, 85, 90, 127};

void require(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "decode path fuzzer: %s\n", what);
        abort();
    }
}

KeyInfo decodeOne(IR_Protocol& decoder, IrSample* samples, ULONG highestKey) {
    KeyInfo info = {};
    require(decoder.decode(samples, &info), "decode answered false");
    require(info.valid <= 1, "valid is 0 or 1");
    require(info.key <= highestKey, "key out of the protocol's range");
    require(info.toggle <= 1, "toggle is one bit");
    require(info.valid || (info.key == 0 && info.toggle == 0), "a key without valid");
    return info;
}

// One packet through the parse thread's steps.
void runPacket(DecodePath& path, const uint8_t* bytes, size_t length) {
    // Exactly sized blocks, so that a read past the packet or the IR data buffer is seen.
    std::unique_ptr<UCHAR[]> packet(new UCHAR[length]);
    memcpy(packet.get(), bytes, length);
    std::unique_ptr<IrSample[]> samples(new IrSample[IR_DATA_BUFFER_SAMPLES]);
    std::unique_ptr<IrSample[]> copy(new IrSample[IR_DATA_BUFFER_SAMPLES]);

    memset(samples.get(), 0, IR_DATA_BUFFER_BYTES);
    path.parser->parse(packet.get(), samples.get(), static_cast<ULONG>(length));
    // Each decoder gets its own copy: neither may rely on the other leaving it as it was.
    memcpy(copy.get(), samples.get(), IR_DATA_BUFFER_BYTES);
    decodeOne(*path.rc5, copy.get(), 127);
    KeyInfo info = decodeOne(*path.nec, samples.get(), 255);
    require(info.toggle == 0, "NEC has no toggle");
    if (info.valid)
        path.control->processKey(info.key);
    if (path.parser->isKeyReleased())
        path.control->processKey(IR_KEY_RELEASE);
}

void runRawPackets(DecodePath& path, const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at < size) {
        size_t length = 1 + data[at++] % RLC_MAX_PACKET_BYTES;
        if (length > size - at)
            length = size - at;
        if (length == 0)
            break;
        runPacket(path, data + at, length);
        at += length;
    }
}

void runSamples(DecodePath& path, const uint8_t* data, size_t size) {
    if (size == 0)
        return;
    size_t packetBytes = 1 + data[0] % RLC_MAX_PACKET_BYTES;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> group;
    auto flush = [&]() {
        if (group.empty())
            return;
        stream.push_back(static_cast<uint8_t>(0x80 | group.size()));
        stream.insert(stream.end(), group.begin(), group.end());
        group.clear();
    };
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0x00) {
            flush();
            stream.push_back(RLC_END_OF_SIGNAL);
            continue;
        }
        UCHAR level = data[i] & 0x80;
        UCHAR units = data[i] & 0x7F;
        if (units >= 1 && units <= 16)
            units = kLikelyUnits[units - 1];
        group.push_back(static_cast<uint8_t>(level | units));
        if (group.size() == 4)
            flush();
    }
    flush();
    for (size_t at = 0; at < stream.size(); at += packetBytes) {
        size_t length = stream.size() - at < packetBytes ? stream.size() - at : packetBytes;
        runPacket(path, stream.data() + at, length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DecodePath path;
    if (size == 0)
        return 0;

    const uint64_t allocationsBefore = emu::pool::allocationCount();
    path.parser->reset();
    path.nec->reset();
    path.rc5->reset();
    path.control->processKey(IR_KEY_RELEASE);

    if (data[0] & 1)
        runSamples(path, data + 1, size - 1);
    else
        runRawPackets(path, data + 1, size - 1);

    require(emu::pool::allocationCount() == allocationsBefore, "the decode path allocated");
    return 0;
}
