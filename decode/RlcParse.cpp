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

    // With nothing carried the packet is read where it lies; a carried tail is completed
    // behind it in the work buffer.
    const UCHAR* cursor = packet;
    ULONG total = length;
    if (_carried != 0) {
        RtlCopyMemory(_p_write, packet, length);
        cursor = _p_buffer;
        total = length + _carried;
    }
    // Only a cut item ends the loop early, so only the last item can leave a tail.
    _carried = 0;
    ULONG consumed = 0;

    while (consumed < total && *cursor != RLC_END_OF_SIGNAL) {
        const UCHAR header = *cursor;
        const ULONG remaining = total - consumed;
        ULONG taken = 1;
        if (header >= RLC_GROUP_FIRST && header <= RLC_GROUP_LAST) {
            // A group of samples, the bulk of the stream: written here, without a call.
            const ULONG count = header & 0x1F;
            if (count >= remaining) {
                carryTail(cursor, remaining);
                taken = remaining;
            } else if (count == 4) {
                // Full groups are nearly all of the stream: no loop.
                out[0].level = (UCHAR)(cursor[1] >> 7);
                out[0].duration = (UCHAR)(cursor[1] & 0x7F);
                out[1].level = (UCHAR)(cursor[2] >> 7);
                out[1].duration = (UCHAR)(cursor[2] & 0x7F);
                out[2].level = (UCHAR)(cursor[3] >> 7);
                out[2].duration = (UCHAR)(cursor[3] & 0x7F);
                out[3].level = (UCHAR)(cursor[4] >> 7);
                out[3].duration = (UCHAR)(cursor[4] & 0x7F);
                out += 4;
                taken = 5;
            } else {
                for (ULONG i = 1; i <= count; ++i) {
                    out->level = (UCHAR)(cursor[i] >> 7);
                    out->duration = (UCHAR)(cursor[i] & 0x7F);
                    ++out;
                }
                taken = count + 1;
            }
        } else if (header >= 0xE0 || header == RLC_RESPONSE_HEADER) {
            taken = takeResponse(cursor, remaining);
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
