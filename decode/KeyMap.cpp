#include "decode/KeyMap.h"

// Key map 0: the buttons of the NEC remote. The first row with a matching command wins.
// clang-format off
static const KeyMapEntry KeyMap0Entries[] = {
    {0x54, 0x01001E}, // 1
    {0x16, 0x01001F}, // 2
    {0x15, 0x010020}, // 3
    {0x14, 0x010021}, // 4
    {0x50, 0x010022}, // 5
    {0x12, 0x010023}, // 6
    {0x11, 0x010024}, // 7
    {0x10, 0x010025}, // 8
    {0x0E, 0x010026}, // 9
    {0x0D, 0x010027}, // 0
    {0x07, 0x01004F}, // Right Arrow
    {0x47, 0x010050}, // Left Arrow
    {0x1A, 0x010052}, // Up Arrow
    {0x48, 0x010051}, // Down Arrow
    {0x06, 0x010028}, // Enter
    {0x0A, 0x11002A}, // Backspace
    {0x4B, 0x110043}, // F10 (kind 0x11: not repeated while held)
    {0x4F, 0x110042}, // F9 (kind 0x11: not repeated while held)
    {0x09, 0x11022E}, // Shift and = (+)
    {0x05, 0x11022D}, // Shift and - (_)
    {0x1C, 0x110545}, // Control, Alt and F12
    {0x1D, 0x110115}, // Control and R
    {0x01, 0x110116}, // Control and S
    {0x08, 0x110041}, // F8
    {0x4A, 0x000081}, // no kind bit: an empty consumer-control report
};
// clang-format on

static_assert(sizeof(KeyMap0Entries) / sizeof(KeyMap0Entries[0]) == 25, "key map 0 has 25 rows");

const KeyMap KeyMaps[] = {
    {sizeof(KeyMap0Entries) / sizeof(KeyMap0Entries[0]), KeyMap0Entries},
};

const ULONG KeyMapCount = sizeof(KeyMaps) / sizeof(KeyMaps[0]);
