// The capture the replay tool plays when it is given none: button presses of an NEC remote
// as a person makes them, with releases (silences) between them and some noise.
#pragma once

#include "irkit/IrTiming.h"
#include "irkit/Packetizer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace irkit {

// One button press of the default capture, in the order they appear.
struct CaptureButton {
    const char* name;     // what the button means to the key map, or why it is there
    uint16_t address;     // NEC address (standard form)
    uint8_t command;      // NEC command byte
    unsigned frames;      // full frames sent while the button is held
    unsigned repeatCodes; // NEC repeat codes after the last frame
    bool inKeyMap;        // whether the key map has a row for the command
};

// The NEC address the default remote uses.
constexpr uint16_t kDefaultCaptureAddress = 0x04;
// Silence after every button and every noise burst. Within a button the longest silence
// is the 96 ms between NEC repeat codes (40 ms between the held arrow's frames), so any
// end-of-signal threshold from 97 to 250 ms (the packetizer's default is 100 ms) gives one
// marker per button and per noise burst.
constexpr uint32_t kDefaultReleaseUs = 250000;

const std::vector<CaptureButton>& defaultCaptureButtons();
// The periods of the whole capture (the same on every call).
Timings defaultCapture();
// The same capture as mode2 text, with a comment header naming the buttons.
std::string defaultCaptureMode2();

// A longer stream for measurements: eight buttons of an NEC remote pressed and held the way
// people use a remote (1, 5, 9, 4, 8 ... frames, then repeat codes and a release), with
// 40 us of seeded timing jitter, as the receiver's packets.
std::vector<UsbPacket> heldButtonsPackets();

} // namespace irkit
