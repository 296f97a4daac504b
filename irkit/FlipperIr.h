// Flipper Zero infrared files (.ir), read and written.
//
// The file is "key: value" lines; "#" lines are comments, CR LF or LF ends a line. It opens
// with "Filetype: IR signals file" (or "IR library file") and "Version: N"; each signal
// begins with "name:" and has "type: raw" or "type: parsed":
// - raw: "frequency:" and "duty_cycle:" of the carrier, and "data:" with the periods in
//   microseconds, pulse first; a long signal may carry several "data:" lines, read as one;
// - parsed: "protocol:", "address:" and "command:", each value four hex bytes, least
//   significant first. NEC (8-bit address and command), NECext (16-bit address, the two
//   command bytes as given), RC5 (5-bit address, 6-bit command) and RC5X (command 64-127:
//   the field bit cleared) are encoded to their ideal timings; any other protocol
//   (Samsung32, SIRC, RC6, Kaseikyo, ...) is handed out by name without timings.
#pragma once

#include "irkit/RemoteFile.h"

namespace irkit {

class FlipperIrReader : public ButtonReader {
public:
    explicit FlipperIrReader(std::istream& in) : _lines(in) {}
    bool next(RemoteButton& button) override;

private:
    struct Block {
        bool open = false;
        RemoteButton button;
        std::string type;
        size_t protocolLine = 0, addressLine = 0, commandLine = 0;
        std::string protocol;
        uint32_t address = 0, command = 0;
        bool haveAddress = false, haveCommand = false;
        size_t values = 0; // raw periods read
    };
    bool field(std::string_view key, std::string_view value);
    bool finish(RemoteButton& button);
    bool fail(const std::string& what);

    LineReader _lines;
    std::string _line;
    int _header = 0; // 0: expecting Filetype, 1: Version, 2: signals
    Block _block;
    bool _ended = false;
};

// A signals file of raw signals (carrier 38 kHz, duty cycle 0.33); a signal that starts
// with a space loses it, as a .ir file's data starts with a pulse.
std::string writeFlipperIr(const std::vector<NamedTimings>& buttons);

} // namespace irkit
