#include "decode/IrCommand.h"

#include "decode/KeyMap.h"
#include "hid/HidDescriptors.h"
#include "platform/Diagnostics.h"

// Keys a host expects to repeat while the button is held: F10, F9, Page Up, Page Down and
// the four arrows, each with the keyboard kind alone.
static const ULONG AutoRepeatKeyCodes[] = {
    0x010043, 0x010042, 0x01004B, 0x01004E, 0x010052, 0x010051, 0x010050, 0x01004F,
};

// Bits of each consumer-control byte that the report descriptor declares; the others are
// padding a host must see as zero.
#define CONSUMER_VOLUME_BITS 0x07
#define CONSUMER_CHANNEL_BITS 0x03
#define CONSUMER_TRANSPORT_BITS 0x3F

IR_Command::IR_Command(UCHAR table) : _KEY_CODE(0), _table(table) {
    RtlZeroMemory(_report, sizeof(_report));
}

static ULONG lookUpKeyCode(UCHAR table, ULONG command) {
    // A key-map number beyond the table finds nothing rather than reading past it.
    if (table >= KeyMapCount) {
        return 0;
    }
    const KeyMap& map = KeyMaps[table];
    ULONG rows = map.count & 0xFF;
    for (ULONG row = 0; row < rows; row++) {
        if ((map.p_entries[row].ir_command & 0xFF) == command) {
            return map.p_entries[row].key_code;
        }
    }
    return 0;
}

static bool isKeyboardCode(ULONG key_code) {
    return (KEY_CODE_KIND(key_code) & (KEY_KIND_KEYBOARD | KEY_KIND_MODIFIER)) != 0;
}

void IR_Command::initialize(ULONG command) {
    RAVO_INFO("IR_Command::initialize, command = 0x%x\n", command);
    _KEY_CODE = lookUpKeyCode(_table, command);
    RAVO_INFO("_KEY_CODE = 0x%x\n", _KEY_CODE);
    buildReport();
}

void IR_Command::buildReport() {
    RtlZeroMemory(_report, sizeof(_report));
    UCHAR kind = KEY_CODE_KIND(_KEY_CODE);
    if (_KEY_CODE == KEY_CODE_SYSTEM_POWER) {
        _report[0] = HID_SYSTEM_CONTROL_REPORT_ID;
        _report[1] = HID_SYSTEM_POWER_DOWN_USAGE;
    } else if (isKeyboardCode(_KEY_CODE)) {
        _report[0] = HID_KEYBOARD_REPORT_ID;
        if (kind & KEY_KIND_KEYBOARD) {
            _report[HID_KEYBOARD_FIRST_KEY_BYTE] = KEY_CODE_USAGE(_KEY_CODE);
        }
        if (kind & KEY_KIND_MODIFIER) {
            _report[HID_KEYBOARD_MODIFIER_BYTE] = KEY_CODE_MODIFIER(_KEY_CODE);
        }
    } else {
        _report[0] = HID_CONSUMER_REPORT_ID;
        switch (kind) {
            case KEY_KIND_CONSUMER_VOLUME:
                _report[1] = KEY_CODE_USAGE(_KEY_CODE) & CONSUMER_VOLUME_BITS;
                break;
            case KEY_KIND_CONSUMER_CHANNEL:
                _report[2] = KEY_CODE_USAGE(_KEY_CODE) & CONSUMER_CHANNEL_BITS;
                break;
            case KEY_KIND_CONSUMER_TRANSPORT:
                _report[3] = KEY_CODE_USAGE(_KEY_CODE) & CONSUMER_TRANSPORT_BITS;
                break;
            default:
                // Unknown commands and key codes without a kind: the empty report.
                break;
        }
    }
}

bool IR_Command::isAutoRepeatKey() const {
    for (ULONG code : AutoRepeatKeyCodes) {
        if (_KEY_CODE == code) {
            return true;
        }
    }
    return false;
}

ULONG IR_Command::reportLength() const {
    switch (_report[0]) {
        case HID_KEYBOARD_REPORT_ID:
            return HID_KEYBOARD_REPORT_LENGTH;
        case HID_SYSTEM_CONTROL_REPORT_ID:
            return HID_SYSTEM_CONTROL_REPORT_LENGTH;
        default:
            return HID_CONSUMER_REPORT_LENGTH;
    }
}
