#include "decode/SampleBuffers.h"

NTSTATUS allocateSampleBuffers(IrSample** history, ULONG historySamples, IrSample** frame,
                               ULONG frameSamples) {
    *frame = nullptr;
    *history = new IrSample[historySamples];
    if (*history == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *frame = new IrSample[frameSamples];
    if (*frame == nullptr) {
        delete[] * history;
        *history = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(*history, historySamples * sizeof(IrSample));
    RtlZeroMemory(*frame, frameSamples * sizeof(IrSample));
    return STATUS_SUCCESS;
}

void freeSampleBuffers(IrSample** history, IrSample** frame) {
    if (*history != nullptr) {
        delete[] * history;
        *history = nullptr;
    }
    if (*frame != nullptr) {
        delete[] * frame;
        *frame = nullptr;
    }
}
