// The NEC decoder as it was before it kept its state between buffers, to prove that the
// streaming decoder gives the same keys. Decoder for NEC remotes: a 9 ms leader pulse, a 4.5 ms
// leader space and 32 bits, least significant first, in the bytes address, inverted address,
// command, inverted command. A frame spans several packets, so an unfinished frame is kept from its
// leader on and decoded again, with the next IR data buffer appended, at the next call.
#pragma once

#include "decode/IrProtocol.h"

// A frame attempt accepts the leader pulse samples, the leader space, 64 bit samples and the
// stop pulse: 68 with the leader in two samples, 69 in three. An attempt that would accept
// more fails.
#define REDECODE_FRAME_SAMPLES 69
// A kept frame followed by one whole IR data buffer.
#define REDECODE_HISTORY_SAMPLES (REDECODE_FRAME_SAMPLES + IR_DATA_BUFFER_SAMPLES)

class NEC_RedecodeReference : public IR_Protocol {
public:
    // Allocates the history and the frame copy; status is STATUS_INSUFFICIENT_RESOURCES
    // when either cannot be had, and the object then holds nothing.
    explicit NEC_RedecodeReference(NTSTATUS* status);
    ~NEC_RedecodeReference() override;

    NEC_RedecodeReference(const NEC_RedecodeReference&) = delete;
    NEC_RedecodeReference& operator=(const NEC_RedecodeReference&) = delete;

    bool decode(IrSample* data, KeyInfo* info) override;
    void reset() override;

private:
    friend struct DecoderProbe;

    void beginAttempt();
    bool acceptSample();
    // How the leader pulse check ended: in the window, outside it, or with the data
    // ending while the pulse could still grow into the window.
    enum LeaderPulse { LeaderPassed, LeaderFailed, LeaderCut };
    LeaderPulse readLeaderPulse();
    bool readLeaderSpace();
    bool readByte(ULONG* value);
    // After the 32 bits: the stop pulse and a space longer than a bit's end the frame;
    // anything else means it was the start of a longer signal.
    enum FrameEnd { FrameEnded, FrameGoesOn, FrameCut };
    FrameEnd readFrameEnd();

    ULONG _count;
    IrSample* _p_history;
    IrSample* _p_read;
    IrSample* _p_history_end;
    IrSample* _p_frame;
    IrSample* _p_frame_end;
    ULONG _address;
    ULONG _address_inv;
    ULONG _command;
    ULONG _command_inv;
};
