// Key translation: filters repeats of a held button and sends every key event as a report
// followed by the release report. Only the parse thread calls it, so it has no lock.
#pragma once

#include "decode/IrCommand.h"
#include "platform/platform.h"

class ReadReportQueue;

// The key passed to processKey when the receiver reports the end of a signal.
#define IR_KEY_RELEASE 255

// A held auto-repeat key is reported on its first arrival and on every
// (IR_AUTO_REPEAT_SKIP + 1)th arrival after it.
#define IR_AUTO_REPEAT_SKIP 3

class IR_Control {
public:
    // The queue is not owned and must outlive this object.
    IR_Control(ReadReportQueue* read_queue, UCHAR table);

    // key: a decoded command byte, or IR_KEY_RELEASE.
    void processKey(ULONG key);

    ULONG _last_key;                // last command reported; IR_KEY_RELEASE for none
    ReadReportQueue* _p_read_queue; // not owned
    IR_Command _command;
    USHORT _repeat_count; // arrivals of a held auto-repeat key since its last report
};
