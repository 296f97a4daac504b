#include "decode/RlcParse.h"

#include "platform/Diagnostics.h"

namespace {

// Length of a response item by its id (header and id included), 0 for an id the receiver
// does not send: the header alone is then dropped.
ULONG responseLength(UCHAR id) {
    switch (id) {
        case 0x81:
        case 0xFE:
            return 2;
        case 0x08:
        case 0x14:
        case 0x17:
            return 3;
        case 0x06:
        case 0x0C:
        case 0x15:
        case 0x16:
            return 4;
        case 0x11:
            return 7;
        default:
            return 0;
    }
}

} // namespace

RLC_parse::RLC_parse(NTSTATUS* status)
    : _p_buffer(nullptr), _p_write(nullptr), _carried(0), _released(1), _carry{} {
    _p_buffer = new UCHAR[RLC_WORK_BUFFER_BYTES];
    if (_p_buffer == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    RtlZeroMemory(_p_buffer, RLC_WORK_BUFFER_BYTES);
    _p_write = _p_buffer;
    *status = STATUS_SUCCESS;
}

RLC_parse::~RLC_parse() {
    if (_p_buffer != nullptr) {
        delete[] _p_buffer;
    }
    _p_buffer = nullptr;
    _p_write = nullptr;
}

void RLC_parse::reset() {
    _released = 1;
    _carried = 0;
    _p_write = _p_buffer;
}

bool RLC_parse::isKeyReleased() {
    if (_released == 1) {
        _released = 0;
        return true;
    }
    return false;
}

void RLC_parse::carryTail(const UCHAR* cursor, ULONG remaining) {
    RtlCopyMemory(_carry, cursor, remaining);
    _carried += remaining;
}

ULONG RLC_parse::takeGroup(const UCHAR* cursor, ULONG count, ULONG remaining, IrSample** out) {
    if (count > remaining - 1) {
        carryTail(cursor, remaining);
        return remaining;
    }
    IrSample* sample = *out;
    for (ULONG i = 1; i <= count; ++i) {
        UCHAR byte = cursor[i];
        sample->level = (UCHAR)(byte >> 7);
        sample->duration = (UCHAR)(byte & 0x7F);
        ++sample;
    }
    *out = sample;
    return count + 1;
}

ULONG RLC_parse::takeResponse(const UCHAR* cursor, ULONG remaining) {
    UCHAR type = cursor[0];
    UCHAR id = 0;
    ULONG needed = 2;
    if (remaining > 1) {
        id = cursor[1];
        needed = responseLength(id);
        if (needed == 0) {
            return 1;
        }
    }
    if (needed > remaining) {
        carryTail(cursor, remaining);
        return remaining;
    }
    // Nothing of a response is used but its header and id.
    RAVO_NOTICE("response type is %0x,id is %0x\n", (ULONG)type, (ULONG)id);
    return needed;
}

bool RLC_parse::parse(const UCHAR* packet, IrSample* out, ULONG length) {
    if (out == nullptr) {
        return true;
    }
    if (_p_buffer == nullptr || packet == nullptr) {
        // A parser whose creation failed, or no packet: nothing to read.
        out->level = 1;
        out->duration = 0;
        return true;
    }
    // A read brings 32 bytes at most; a device that claims more must not overrun the work
    // buffer. The item cut at byte 32 goes on in the dropped bytes, so it is not kept.
    bool oversized = length > RLC_MAX_PACKET_BYTES;
    if (oversized) {
        RAVO_ERROR("RLC_parse::parse: packet of %u bytes, only the first %u parsed\n",
                   (ULONG)length, (ULONG)RLC_MAX_PACKET_BYTES);
        length = RLC_MAX_PACKET_BYTES;
    }

    RtlZeroMemory(_carry, sizeof(_carry));
    RtlCopyMemory(_p_write, packet, length);
    ULONG total = length + _carried;
    // Only a cut item ends the loop early, so only the last item can leave a tail.
    _carried = 0;
    const UCHAR* cursor = _p_buffer;
    ULONG consumed = 0;

    while (consumed < total && *cursor != RLC_END_OF_SIGNAL) {
        ULONG remaining = total - consumed;
        UCHAR type = (UCHAR)(*cursor >> 5);
        UCHAR count = (UCHAR)(*cursor & 0x1F);
        ULONG taken;
        if (type == 7 || (type == 4 && count == 31)) {
            taken = takeResponse(cursor, remaining);
        } else if (type == 4 && count <= 4) {
            taken = takeGroup(cursor, count, remaining, &out);
        } else {
            taken = 1;
        }
        consumed += taken;
        cursor += taken;
    }
    if (consumed < total) {
        // Stopped at the marker; what follows it in the packet is dropped. The marker means
        // the sensor has seen silence for longer than any signal has spaces: the decoders
        // are handed that silence as the longest space a sample holds, so that no frame or
        // leader they keep from this signal is continued by the next one, and a frame that
        // ends right before the marker is known to have ended.
        _released = 1;
        out->level = 0;
        out->duration = RLC_SILENCE_UNITS;
        ++out;
    }

    if (oversized) {
        _carried = 0;
    }
    if (_carried != 0) {
        RtlCopyMemory(_p_buffer, _carry, _carried);
    }
    _p_write = _p_buffer + _carried;

    out->level = 1;
    out->duration = 0;
    return true;
}
