// LIRC remote definitions (lircd.conf), read and written.
//
// One or more "begin remote" ... "end remote" blocks; "#" begins a comment. A remote has
// parameters, one per line, then "begin codes" ... "end codes" (a button name and its code,
// or several codes sent one after another) or "begin raw_codes" ... "end raw_codes" ("name
// KEY" lines, each followed by its periods in microseconds, pulse first). Buttons are named
// "remote/button".
//
// SPACE_ENC remotes (the default when no encoding flag is given) are encoded from header,
// plead, pre_data (pre_data_bits), pre, the code (bits), post, post_data (post_data_bits)
// and ptrail, most significant bit first (REVERSE: least significant first), each 1 sent
// as "one" and each 0 as "zero"; gap separates the codes of a button that has several.
// CONST_LENGTH, NO_HEAD_REP, NO_FOOT_REP and REPEAT_HEADER change only what a held button
// repeats. Toggle bits (toggle_bit_mask, toggle_bit, toggle_mask) are sent as written, as a
// first press sends them, and said so in the notes. Remotes of another encoding (RC5,
// SHIFT_ENC, RC6, RCMM, SPACE_FIRST, GOLDSTAR, GRUNDIG, BO, SERIAL, XMP) are handed out by
// that name without timings; parameters the reader does not model (foot, rc6_mask, ...)
// are named in each button's notes, not guessed.
#pragma once

#include "irkit/RemoteFile.h"

namespace irkit {

class LircdConfReader : public ButtonReader {
public:
    explicit LircdConfReader(std::istream& in) : _lines(in) {}
    bool next(RemoteButton& button) override;

private:
    struct Pair {
        uint32_t pulse = 0, space = 0;
        bool given = false;
    };
    struct Remote {
        std::string name;
        size_t line = 0;
        std::string encoding; // an encoding flag not modelled; empty for SPACE_ENC
        bool reverse = false;
        uint64_t bits = 0, preBits = 0, postBits = 0, pre = 0, post = 0;
        Pair header, one, zero, preP, postP;
        uint32_t plead = 0, ptrail = 0, gap = 0;
        std::vector<std::string> notes;
    };
    enum class State { Top, Remote, Codes, RawCodes };

    bool parameter(const std::vector<std::string_view>& words);
    bool code(const std::vector<std::string_view>& words, RemoteButton& button);
    Timings encode(uint64_t value) const;
    bool fail(const std::string& what);

    LineReader _lines;
    std::string _line;
    State _state = State::Top;
    Remote _remote;
    bool _rawOpen = false;
    RemoteButton _raw;
    size_t _rawValues = 0;
};

// One remote of raw codes: "name" lines each followed by the periods, six to a line; a
// button's periods start with its first pulse.
std::string writeLircdConf(const std::string& remoteName, const std::vector<NamedTimings>& buttons);

} // namespace irkit
