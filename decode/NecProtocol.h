// Decoder for NEC remotes: a 9 ms leader pulse, a 4.5 ms leader space and 32 bits, least
// significant first, in the bytes address, inverted address, command, inverted command,
// then a stop pulse and a space longer than any bit's.
//
// A frame spans several packets. The decoder reads every sample once, as it arrives, and
// keeps where it stands in the frame between calls, so that a packet costs only its own
// samples.
#pragma once

#include "decode/IrProtocol.h"

// A frame accepts the leader pulse samples, the leader space, 64 bit samples and the stop
// pulse: 68 with the leader in two samples, 69 in three. A frame that would accept more
// (a leader cut into many pieces) fails.
#define NEC_FRAME_SAMPLES 69

class NEC_Protocol : public IR_Protocol {
public:
    // Holds no buffer; status is always STATUS_SUCCESS. The out-parameter keeps the shape
    // every decoder is created with.
    explicit NEC_Protocol(NTSTATUS* status);
    ~NEC_Protocol() override;

    NEC_Protocol(const NEC_Protocol&) = delete;
    NEC_Protocol& operator=(const NEC_Protocol&) = delete;

    bool decode(IrSample* data, KeyInfo* info) override;
    void reset() override;

private:
    friend struct DecoderProbe;

    // Where the decoder stands: the period it expects next.
    enum State : UCHAR {
        Idle,        // between frames: spaces are skipped, a pulse may begin a leader
        LeaderPulse, // summing the pulse samples of a leader; its space is read there too
        BitPulse,
        BitSpace,
        StopPulse,
        Gap, // the space behind the stop pulse
    };

    State _state;
    UCHAR _bit;    // bits read so far, 0 to 32
    USHORT _count; // samples the current frame has accepted
    ULONG _sum;    // leader pulse so far, in sample units
    ULONG _bits;   // the bits read, the first in bit 0
};
