// What one call of a decoder found: the last command decoded from the buffer it was given.
#pragma once

#include "platform/platform.h"

struct KeyInfo {
    ULONG toggle; // RC5 toggle bit; NEC leaves it 0
    ULONG key;    // the command byte
    UCHAR valid;  // 1 when a frame was decoded in this call
};
