// Decoder for RC5 remotes: 14 Manchester-coded bits of two 889 us halves each, most
// significant first within each field: two start bits, toggle, 5 address bits, 6 command
// bits. Two neighbouring halves of one level arrive as one long sample, which is split in
// place in the history. Unfinished frames are kept between calls as the NEC decoder does.
#pragma once

#include "decode/IrProtocol.h"

// One start half and 13 bits of two halves each: an attempt begins at most 27 samples.
#define RC5_FRAME_SAMPLES 28
// A kept frame followed by one whole IR data buffer.
#define RC5_HISTORY_SAMPLES (RC5_FRAME_SAMPLES + IR_DATA_BUFFER_SAMPLES)

class RC5_Protocol : public IR_Protocol {
public:
    // Allocates the history and the frame copy; status is STATUS_INSUFFICIENT_RESOURCES
    // when either cannot be had, and the object then holds nothing.
    explicit RC5_Protocol(NTSTATUS* status);
    ~RC5_Protocol() override;

    RC5_Protocol(const RC5_Protocol&) = delete;
    RC5_Protocol& operator=(const RC5_Protocol&) = delete;

    bool decode(IrSample* data, KeyInfo* info) override;
    void reset() override;

private:
    friend struct DecoderProbe;

    void beginAttempt();
    // Reads one half bit; level gets 1 for a pulse, 0 for a space. False for an invalid
    // half or the end of the data.
    bool readHalfBit(UCHAR* level);
    bool checkStartBit();
    // Reads count bits (1 to 6), the first read being the most significant; value is
    // written only when all of them were read.
    bool readBits(ULONG count, ULONG* value);

    ULONG _count;
    UCHAR _phase;
    IrSample* _p_history;
    IrSample* _p_read;
    IrSample* _p_history_end;
    IrSample* _p_frame;
    IrSample* _p_frame_end;
    ULONG _start;
    ULONG _field;
    ULONG _toggle;
    ULONG _address;
    ULONG _command;
};
