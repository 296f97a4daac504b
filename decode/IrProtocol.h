// The decoder interface the parse thread calls: one IR data buffer at a time, frames held
// over between calls inside the decoder.
#pragma once

#include "decode/IrSample.h"
#include "decode/KeyInfo.h"

class IR_Protocol {
public:
    virtual ~IR_Protocol() {}
    // Consumes one IR data buffer (ended by the terminator sample); sets info->valid and
    // info->key when a frame was decoded. Always returns true.
    virtual bool decode(IrSample* data, KeyInfo* info) = 0;
    // Drops every kept sample.
    virtual void reset() = 0;
};
