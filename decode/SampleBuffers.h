// The two buffers in which a decoder keeps an unfinished frame between calls: the history
// (the kept frame followed by the newest IR data buffer) and the copy of the samples the
// current frame attempt has accepted.
#pragma once

#include "decode/IrSample.h"

// Allocates and zeroes both; on failure neither is left allocated and both are null.
NTSTATUS allocateSampleBuffers(IrSample** history, ULONG historySamples, IrSample** frame,
                               ULONG frameSamples);
void freeSampleBuffers(IrSample** history, IrSample** frame);
