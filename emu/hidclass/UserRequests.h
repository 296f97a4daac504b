// What user mode can make the HID class driver send a minidriver: feature, input and output
// reports, writes, strings, the physical descriptor (and the class driver's own requests),
// each with whatever buffer the application passed - none, empty, too short, exact, huge or
// at an odd address. The class driver passes each on as Windows' does and checks what comes
// back as Driver Verifier's I/O checks would: the buffers sit between guard bytes, so a write
// before or past them shows; Information may not exceed the bytes the driver was given; the
// bytes past the answer, and every byte of a buffer the device only reads, stay as they were;
// the class driver's HID_XFER_PACKET stays untouched; the request comes back.
#pragma once

#include "emu/kernel/PnpManager.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace emu::hid {

// The string ids of IOCTL_HID_GET_STRING (the low word of Type3InputBuffer; the high word
// is the language).
constexpr ULONG kStringManufacturer = 14;
constexpr ULONG kStringProduct = 15;
constexpr ULONG kStringSerialNumber = 16;

// How the class driver passes a request's buffer.
enum class Carrier : uint8_t {
    Output,      // UserBuffer, OutputBufferLength
    Packet,      // a HID_XFER_PACKET in UserBuffer; the report in it
    StringId,    // the string id and language in Type3InputBuffer; the output as Output
    StringIndex, // the string index in Type3InputBuffer; the output as Output
};

struct HidRequestKind {
    ULONG code;
    const char* name; // the request, and the call of user mode that makes it
    Carrier carrier;
    bool deviceReadsOnly; // the device may not write into the buffer at all
};

// Every request the class driver may pass on for an application or on its own, except the
// read-report request: the class driver answers an application's reads from reports it
// already has, and keeps its own reads pending with buffers of its own.
const std::vector<HidRequestKind>& hidRequestKinds();
// The kind of a code; null for a code no class driver sends.
const HidRequestKind* hidRequestKind(ULONG code);

// The buffer of one request as the application shaped it.
struct UserBuffer {
    ULONG length = 0;
    bool null = false;       // no buffer (for a packet request: no packet) and yet a length
    bool nullReport = false; // a packet whose report buffer is null
    unsigned misalign = 0;   // bytes past a 16-byte boundary where the buffer starts (0-15)
    UCHAR reportId = 0;      // the packet's report id, also the report's first byte
    ULONG argument = 0;      // Type3InputBuffer of the string requests
};

struct UserRequestOutcome {
    RequestOutcome io;
    std::vector<uint8_t> answer; // the buffer's first Information bytes
    std::string fault;           // the rule the answer broke; empty when none
};

} // namespace emu::hid
