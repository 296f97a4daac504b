// Broadlink IR packets, read and written, alone or in the code files that keep them.
//
// A packet, as base64 (an optional "b64:" prefix) or as hex digits:
//   byte 0     type: 0x26 infrared (0xB2 and 0xD7 are 433 and 315 MHz radio: named, no
//              timings)
//   byte 1     repeat count: the signal is sent count + 1 times
//   bytes 2-3  the length of the durations that follow, little endian
//   durations  pulse first, alternating, each in ticks of 2^-15 s (30.52 us): one byte
//              1-255, or 0x00 and two bytes big endian for a longer one
// Learned codes end with a long silence (00 0D 05: 3333 ticks, 102 ms); a bare 0D 05 at the
// very end of the durations, or right after them, is that trailer and no duration. Zero
// bytes may pad the packet after its durations; anything else there is an error, as is a
// packet shorter than it declares.
//
// The file is either JSON (Home Assistant's learned codes, SmartIR code files): every
// string value that is a packet is a button named by its keys ("tv/power"; a leading
// "commands" or "data" key is left out), other values are passed over; or lines of
// "name: packet" or a packet alone, "#" beginning a comment line.
#pragma once

#include "irkit/RemoteFile.h"

#include <string>
#include <vector>

namespace irkit {

class BroadlinkReader : public ButtonReader {
public:
    explicit BroadlinkReader(std::istream& in) : _in(in), _lines(in) {}
    bool next(RemoteButton& button) override;

private:
    bool nextLine(RemoteButton& button);
    bool nextJson(RemoteButton& button);
    int get();  // the next character of the JSON text, or -1
    int peek(); // after white space
    bool readString(std::string& text);
    bool jsonFail(const std::string& what);
    std::string path() const;

    std::istream& _in;
    LineReader _lines;
    std::string _line; // in JSON, the first line, read again by get()
    size_t _pushed = 0;
    bool _pendingLine = false; // the line that told the lines form is still to be read
    int _ahead = -2;           // a character peek() put back; -2: none
    int _mode = 0;             // 0: not yet known, 1: lines, 2: JSON
    size_t _unnamed = 0;
    // JSON: the containers open around the reader, and what it expects next.
    struct Level {
        bool object;
        std::string key;
        size_t index = 0;
    };
    std::vector<Level> _stack;
    enum class Expect {
        Value,
        ValueOrEnd,
        Key,
        KeyOrEnd,
        Colon,
        CommaOrEnd,
        End
    } _expect = Expect::Value;
    size_t _jsonLine = 1;
};

// Reads one packet's text (base64 or hex) into button.timings (or button.protocol for a
// radio packet); false with the reason, naming the byte of the packet, in *problem.
bool parseBroadlinkPacket(std::string_view text, RemoteButton& button, std::string* problem);

// One infrared packet sent once, every period as the count of ticks nearest to it among
// those the receiver reports in the same 50 us unit (so it reads back to what the receiver
// made of the original); a signal that ends with a pulse gets the 102 ms trailer silence.
// Base64, or hex digits.
std::string writeBroadlink(const Timings& timings, bool base64 = true);
// "name: packet" lines.
std::string writeBroadlinkLines(const std::vector<NamedTimings>& buttons, bool base64 = true);

} // namespace irkit
