// The receiver's run-length-code packet parser: turns each USB packet into IR samples for
// the protocol decoder, notices the end-of-signal marker and drops the response items
// that share the stream. Items cut at the end of a packet are completed with the next one.
// Used by the parse thread alone, so it has no lock.
#pragma once

#include "platform/platform.h"
#include "decode/IrSample.h"

// Bytes of one packet: one completed 32-byte USB read.
#define RLC_MAX_PACKET_BYTES 32
// The longest unfinished item: a response of 7 bytes less its last byte.
#define RLC_MAX_CARRIED_BYTES 6
// A full packet behind the longest carried tail, rounded up.
#define RLC_WORK_BUFFER_BYTES 40
#define RLC_CARRY_BYTES 7

// Header bytes of the packet stream.
#define RLC_END_OF_SIGNAL 0x80
#define RLC_GROUP_FIRST 0x81     // a group of 1 sample ...
#define RLC_GROUP_LAST 0x84      // ... to 4 samples
#define RLC_RESPONSE_HEADER 0x9F // and 0xE0 to 0xFF
// The space written in place of the end-of-signal marker, in sample units.
#define RLC_SILENCE_UNITS 127

class RLC_parse {
public:
    // Reports STATUS_INSUFFICIENT_RESOURCES when the work buffer cannot be allocated; the
    // creator then deletes the object.
    explicit RLC_parse(NTSTATUS* status);
    virtual ~RLC_parse();

    RLC_parse(const RLC_parse&) = delete;
    RLC_parse& operator=(const RLC_parse&) = delete;

    // Forgets a carried tail and arms the release report.
    void reset();
    // Writes the samples of one packet to out (at least 40 slots), then the terminator. An
    // end-of-signal marker adds a space of RLC_SILENCE_UNITS behind the samples before it.
    // A length above 32 comes only from a misbehaving device: the first 32 bytes are
    // parsed and nothing is carried over. Always returns true.
    bool parse(const UCHAR* packet, IrSample* out, ULONG length);
    // True once for every end-of-signal marker seen (and once after creation or reset).
    bool isKeyReleased();

    // Bytes of an unfinished item kept for the next packet.
    ULONG carried() const { return _carried; }

private:
    ULONG takeResponse(const UCHAR* cursor, ULONG remaining);
    void carryTail(const UCHAR* cursor, ULONG remaining);

    UCHAR* _p_buffer; // work buffer: carried tail, then the packet behind it
    UCHAR* _p_write;  // where the next packet goes: _p_buffer + _carried
    ULONG _carried;
    UCHAR _released; // a marker was seen and not yet reported
    UCHAR _carry[RLC_CARRY_BYTES];
};
