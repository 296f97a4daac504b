// The constant tables that turn a decoded IR command byte into a key code, and the layout
// of a key code.
#pragma once

#include "platform/platform.h"

// A key code: bits 0..7 usage, bits 8..15 modifier byte, bits 16..23 kind, bits 24..31 zero.
#define KEY_CODE_USAGE(code) ((UCHAR)((code)&0xFF))
#define KEY_CODE_MODIFIER(code) ((UCHAR)(((code) >> 8) & 0xFF))
#define KEY_CODE_KIND(code) ((UCHAR)(((code) >> 16) & 0xFF))

// Kind bits. Either of the first two makes a keyboard code.
#define KEY_KIND_KEYBOARD 0x01 // usage goes to the first key slot of the keyboard report
#define KEY_KIND_MODIFIER 0x10 // modifier byte goes to the keyboard report's modifier byte
// Consumer-control kinds: the usage byte is a bit mask of byte 1, 2 or 3 of the
// consumer-control report. No row of key map 0 uses them.
#define KEY_KIND_CONSUMER_VOLUME 0x02
#define KEY_KIND_CONSUMER_CHANNEL 0x04
#define KEY_KIND_CONSUMER_TRANSPORT 0x08

// Keyboard usage 0x66 (Power) lies beyond the keyboard report's key range; it is sent as
// the system-control report's System Power Down instead.
#define KEY_CODE_SYSTEM_POWER 0x010066

struct KeyMapEntry {
    ULONG ir_command; // only the low byte is compared
    ULONG key_code;
};
static_assert(sizeof(KeyMapEntry) == 8, "a key map row is 8 bytes");

struct KeyMap {
    ULONG count; // only the low byte is read: at most 255 rows
    const KeyMapEntry* p_entries;
};

// The key maps, indexed by key-map number.
extern const KeyMap KeyMaps[];
extern const ULONG KeyMapCount;

// The key map the device uses.
#define KEY_MAP_DEFAULT 0
