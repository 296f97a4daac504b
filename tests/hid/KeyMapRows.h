// What a host must receive for each row of key map 0, written out independently of the
// driver's table so that a changed row shows up as a failure.
#pragma once

#include <cstdint>
#include <vector>

namespace keymap_rows {

using Bytes = std::vector<uint8_t>;

inline const Bytes kRelease = {1, 0, 0, 0, 0, 0, 0, 0, 0};
inline const Bytes kEmptyConsumer = {2, 0, 0, 0};

inline Bytes keyboard(uint8_t modifier, uint8_t usage) {
    return {1, modifier, 0, usage, 0, 0, 0, 0, 0};
}

// Every row of key map 0 with the report a host must receive for it.
struct Row {
    uint8_t command;
    Bytes report;
    const char* key;
};
inline const Row kRows[] = {
    {0x54, keyboard(0, 0x1E), "1"},
    {0x16, keyboard(0, 0x1F), "2"},
    {0x15, keyboard(0, 0x20), "3"},
    {0x14, keyboard(0, 0x21), "4"},
    {0x50, keyboard(0, 0x22), "5"},
    {0x12, keyboard(0, 0x23), "6"},
    {0x11, keyboard(0, 0x24), "7"},
    {0x10, keyboard(0, 0x25), "8"},
    {0x0E, keyboard(0, 0x26), "9"},
    {0x0D, keyboard(0, 0x27), "0"},
    {0x07, keyboard(0, 0x4F), "Right Arrow"},
    {0x47, keyboard(0, 0x50), "Left Arrow"},
    {0x1A, keyboard(0, 0x52), "Up Arrow"},
    {0x48, keyboard(0, 0x51), "Down Arrow"},
    {0x06, keyboard(0, 0x28), "Enter"},
    {0x0A, keyboard(0, 0x2A), "Backspace"},
    {0x4B, keyboard(0, 0x43), "F10"},
    {0x4F, keyboard(0, 0x42), "F9"},
    {0x09, keyboard(0x02, 0x2E), "Shift+="},
    {0x05, keyboard(0x02, 0x2D), "Shift+-"},
    {0x1C, keyboard(0x05, 0x45), "Ctrl+Alt+F12"},
    {0x1D, keyboard(0x01, 0x15), "Ctrl+R"},
    {0x01, keyboard(0x01, 0x16), "Ctrl+S"},
    {0x08, keyboard(0, 0x41), "F8"},
    {0x4A, kEmptyConsumer, "empty consumer control"},
};

inline const Row* rowFor(uint8_t command) {
    for (const Row& row : kRows) {
        if (row.command == command) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace keymap_rows
