#include "irkit/DefaultCapture.h"

#include "irkit/Encoders.h"
#include "irkit/Mode2.h"

#include <cstdio>
#include <random>

namespace irkit {

namespace {

// A few short flashes of stray light (a lamp, a phone camera's autofocus beam): pulses of
// 100 to 400 us with spaces of 1 to 8 ms, far from anything an NEC decoder accepts.
void appendNoise(Timings& timings, std::mt19937& engine) {
    const unsigned flashes = 3 + engine() % 4;
    for (unsigned i = 0; i < flashes; ++i) {
        if (i != 0) {
            append(timings, space(1000 + engine() % 7001));
        }
        append(timings, pulse(100 + engine() % 301));
    }
}

void appendButton(Timings& timings, const CaptureButton& button) {
    for (unsigned frame = 0; frame < button.frames; ++frame) {
        if (frame != 0) {
            append(timings, space(kNecPeriodUs - static_cast<uint32_t>(totalMicroseconds(
                                                     necFrame(button.address, button.command)))));
        }
        if (frame + 1 < button.frames || button.repeatCodes == 0) {
            append(timings, necFrame(button.address, button.command));
        } else {
            EncodeOptions options;
            options.repeats = button.repeatCodes;
            append(timings, encode(Protocol::Nec, button.address, button.command, options));
        }
    }
}

} // namespace

const std::vector<CaptureButton>& defaultCaptureButtons() {
    static const std::vector<CaptureButton> buttons = {
        {"2", kDefaultCaptureAddress, 0x16, 1, 0, true},
        {"Enter, held briefly (repeat codes)", kDefaultCaptureAddress, 0x06, 1, 2, true},
        {"Ctrl+Alt+F12", kDefaultCaptureAddress, 0x1C, 1, 0, true},
        {"Right Arrow, held (auto-repeat)", kDefaultCaptureAddress, 0x07, 9, 0, true},
        {"0x33, not in the key map", kDefaultCaptureAddress, 0x33, 1, 0, false},
        {"2 again (a new key after the release)", kDefaultCaptureAddress, 0x16, 1, 0, true},
    };
    return buttons;
}

Timings defaultCapture() {
    std::mt19937 engine(20240611);
    const std::vector<CaptureButton>& buttons = defaultCaptureButtons();
    Timings timings;
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (i != 0) {
            append(timings, space(kDefaultReleaseUs));
            // Noise between some of the buttons, each burst released like a button.
            if (i % 2 == 0) {
                appendNoise(timings, engine);
                append(timings, space(kDefaultReleaseUs));
            }
        }
        appendButton(timings, buttons[i]);
    }
    return timings;
}

std::string defaultCaptureMode2() {
    std::string text = "# Default capture: an NEC remote, address 0x04, buttons in order:\n";
    for (const CaptureButton& button : defaultCaptureButtons()) {
        char line[160];
        std::snprintf(line, sizeof line, "#   command 0x%02X x%u frame(s)%s: %s\n", button.command,
                      button.frames, button.repeatCodes != 0 ? " + repeat codes" : "", button.name);
        text += line;
    }
    text += "# with noise bursts between some buttons and 250 ms of silence after each.\n";
    text += writeMode2(defaultCapture());
    return text;
}

std::vector<UsbPacket> heldButtonsPackets() {
    Timings timings;
    const uint8_t commands[] = {0x07, 0x16, 0x1C, 0x48, 0x33, 0x0A, 0x47, 0x54};
    unsigned frames = 1;
    for (uint8_t command : commands) {
        const Timings frame = necFrame(0x04, command);
        const uint32_t gap = kNecPeriodUs - static_cast<uint32_t>(totalMicroseconds(frame));
        for (unsigned i = 0; i < frames; i++) {
            append(timings, frame);
            append(timings, space(gap));
        }
        EncodeOptions repeats;
        repeats.repeats = 2;
        append(timings, encode(Protocol::Nec, 0x04, command, repeats));
        append(timings, space(200000));
        frames = frames % 9 + 4; // 1, 5, 9, 4, 8, ...
    }
    Distortion jitter;
    jitter.jitterMicroseconds = 40;
    jitter.seed = 7;
    return packetize(distort(timings, jitter));
}

} // namespace irkit
