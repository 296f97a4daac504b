#include "emu/hidclass/ClassDriver.h"
#include "emu/hidclass/UserRequests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emu::hid {

namespace {

constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint8_t kFillByte = 0x5A;

std::string format(const char* text, size_t a, size_t b = 0) {
    char line[160];
    std::snprintf(line, sizeof line, text, a, b);
    return line;
}

// Bytes the world owns with guard bytes on both sides, starting misalign bytes past a
// 16-byte boundary; seal() takes the picture that damage() compares against.
class Guarded {
public:
    Guarded(size_t length, unsigned misalign)
        : _bytes(2 * kGuardBytes + 16 + length, kGuardByte), _offset(kGuardBytes + misalign % 16),
          _length(length) {
        std::memset(data(), kFillByte, length);
    }
    uint8_t* data() { return _bytes.data() + _offset; }
    void seal() { _sealed = _bytes; }

    // The first change outside the first `answered` bytes, in words; empty when none.
    std::string damage(size_t answered, const char* what) const {
        for (size_t i = 0; i < _bytes.size(); i++) {
            if (_bytes[i] == _sealed[i] || (i >= _offset && i < _offset + answered))
                continue;
            if (i < _offset)
                return format("byte %zu before the start of the ", _offset - i) + what + " written";
            size_t at = i - _offset;
            if (at >= _length)
                return format("byte %zu after the end of the %zu-byte ", at - _length + 1,
                              _length) +
                       what + " written";
            return format("byte %zu of the %zu-byte ", at, _length) + what + " written" +
                   (answered != 0 ? format(" beyond the answer's %zu byte(s)", answered) : "");
        }
        return "";
    }

private:
    std::vector<uint8_t> _bytes;
    std::vector<uint8_t> _sealed;
    size_t _offset;
    size_t _length;
};

} // namespace

const std::vector<HidRequestKind>& hidRequestKinds() {
    static const std::vector<HidRequestKind> kinds = {
        {IOCTL_HID_GET_FEATURE, "IOCTL_HID_GET_FEATURE (HidD_GetFeature)", Carrier::Packet, false},
        {IOCTL_HID_SET_FEATURE, "IOCTL_HID_SET_FEATURE (HidD_SetFeature)", Carrier::Packet, true},
        {IOCTL_HID_GET_INPUT_REPORT, "IOCTL_HID_GET_INPUT_REPORT (HidD_GetInputReport)",
         Carrier::Packet, false},
        {IOCTL_HID_SET_OUTPUT_REPORT, "IOCTL_HID_SET_OUTPUT_REPORT (HidD_SetOutputReport)",
         Carrier::Packet, true},
        {IOCTL_HID_WRITE_REPORT, "IOCTL_HID_WRITE_REPORT (WriteFile)", Carrier::Packet, true},
        {IOCTL_HID_GET_STRING, "IOCTL_HID_GET_STRING (HidD_GetProductString, ...)",
         Carrier::StringId, false},
        {IOCTL_HID_GET_INDEXED_STRING, "IOCTL_HID_GET_INDEXED_STRING (HidD_GetIndexedString)",
         Carrier::StringIndex, false},
        {IOCTL_GET_PHYSICAL_DESCRIPTOR,
         "IOCTL_GET_PHYSICAL_DESCRIPTOR (HidD_GetPhysicalDescriptor)", Carrier::Output, false},
        {IOCTL_HID_ACTIVATE_DEVICE, "IOCTL_HID_ACTIVATE_DEVICE", Carrier::Output, true},
        {IOCTL_HID_DEACTIVATE_DEVICE, "IOCTL_HID_DEACTIVATE_DEVICE", Carrier::Output, true},
        {IOCTL_HID_GET_DEVICE_DESCRIPTOR, "IOCTL_HID_GET_DEVICE_DESCRIPTOR", Carrier::Output,
         false},
        {IOCTL_HID_GET_REPORT_DESCRIPTOR, "IOCTL_HID_GET_REPORT_DESCRIPTOR", Carrier::Output,
         false},
        {IOCTL_HID_GET_DEVICE_ATTRIBUTES, "IOCTL_HID_GET_DEVICE_ATTRIBUTES", Carrier::Output,
         false},
    };
    return kinds;
}

const HidRequestKind* hidRequestKind(ULONG code) {
    for (const HidRequestKind& kind : hidRequestKinds()) {
        if (kind.code == code)
            return &kind;
    }
    return nullptr;
}

UserRequestOutcome ClassDriver::userRequest(ULONG code, const UserBuffer& shape) {
    UserRequestOutcome outcome;
    if (code == IOCTL_HID_READ_REPORT) {
        outcome.fault = "the class driver sends no read-report request for an application";
        return outcome;
    }
    const HidRequestKind* kind = hidRequestKind(code);
    const Carrier carrier = kind != nullptr ? kind->carrier : Carrier::Output;
    Guarded report(shape.length, shape.misalign);
    if (carrier == Carrier::Packet && shape.length != 0)
        report.data()[0] = shape.reportId;
    report.seal();
    HID_XFER_PACKET packet{shape.nullReport ? nullptr : report.data(), shape.length,
                           shape.reportId};
    Guarded packetBytes(sizeof packet, 0);
    std::memcpy(packetBytes.data(), &packet, sizeof packet);
    packetBytes.seal();

    const bool isPacket = carrier == Carrier::Packet;
    PVOID userBuffer = shape.null ? nullptr : isPacket ? packetBytes.data() : report.data();
    PVOID type3 = carrier == Carrier::StringId || carrier == Carrier::StringIndex
                      ? reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(shape.argument))
                      : nullptr;
    char name[48];
    std::snprintf(name, sizeof name, "HID request 0x%X", static_cast<unsigned>(code));
    outcome.io = sendAndWait(
        _fdo,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            stack->Parameters.DeviceIoControl.IoControlCode = code;
            stack->Parameters.DeviceIoControl.OutputBufferLength =
                isPacket ? static_cast<ULONG>(sizeof packet) : shape.length;
            stack->Parameters.DeviceIoControl.Type3InputBuffer = type3;
            irp->UserBuffer = userBuffer;
            // What the I/O manager leaves there before any driver answered.
            irp->IoStatus.Information = 0;
        },
        kind != nullptr ? kind->name : name, _options.realTimeoutMs);

    // The bytes the driver was given: none without a buffer, or without a report buffer.
    const bool given = !shape.null && !(isPacket && shape.nullReport);
    const size_t length = given ? shape.length : 0;
    const size_t answered = std::min<size_t>(outcome.io.information, length);
    if (outcome.io.information > length)
        outcome.fault =
            format("Information %zu for a buffer of %zu byte(s)", outcome.io.information, length);
    if (outcome.fault.empty())
        outcome.fault = report.damage(kind != nullptr && kind->deviceReadsOnly ? 0 : answered,
                                      isPacket ? "report buffer" : "output buffer");
    if (outcome.fault.empty())
        outcome.fault = packetBytes.damage(0, "HID_XFER_PACKET");
    if (!outcome.fault.empty())
        outcome.fault = (kind != nullptr ? kind->name : std::string(name)) + ": " + outcome.fault;
    outcome.answer.assign(report.data(), report.data() + answered);
    return outcome;
}

} // namespace emu::hid
