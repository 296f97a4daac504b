// Looks a command up in a key map and builds the HID input report for its key code.
#pragma once

#include "platform/platform.h"

// Room for the longest input report, the keyboard report.
#define IR_COMMAND_REPORT_BYTES 9

class IR_Command {
public:
    explicit IR_Command(UCHAR table);

    // Looks the command up in key map _table (first matching row wins; 0 when none
    // matches) and builds _report for the key code found.
    void initialize(ULONG command);
    // Builds _report for the key code in _KEY_CODE.
    void buildReport();

    // The key code is one of the keys that repeat while held.
    bool isAutoRepeatKey() const;
    // Bytes of _report that make up the report built: 9 keyboard, 4 consumer control,
    // 2 system control.
    ULONG reportLength() const;
    const UCHAR* report() const { return _report; }

    ULONG _KEY_CODE;                        // key code of the last command looked up
    UCHAR _report[IR_COMMAND_REPORT_BYTES]; // byte 0 is the report ID
    UCHAR _table;                           // key-map number
};
