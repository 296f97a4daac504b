#include "decode/IrControl.h"

#include "hid/HidDescriptors.h"
#include "hid/ReadReportQueue.h"
#include "platform/Diagnostics.h"

IR_Control::IR_Control(ReadReportQueue* read_queue, UCHAR table)
    : _last_key(IR_KEY_RELEASE), _p_read_queue(read_queue), _command(table), _repeat_count(0) {}

void IR_Control::processKey(ULONG key) {
    if (key == IR_KEY_RELEASE) {
        // Only lets the next identical command count as a new press; the host already had
        // its release report right after the key.
        _last_key = IR_KEY_RELEASE;
        // Nothing of a signal may carry over into the next one.
        _repeat_count = 0;
        return;
    }

    bool same = (key == _last_key);
    if (!same) {
        _command.initialize(key);
    }

    bool auto_repeat = _command.isAutoRepeatKey();
    if (auto_repeat && same) {
        _repeat_count++;
        if (_repeat_count <= IR_AUTO_REPEAT_SKIP) {
            return;
        }
    }
    _repeat_count = 0;

    // Any other held key is reported once until a release or another key comes between.
    if (!auto_repeat && same) {
        return;
    }

    _last_key = key;

    // Without a queue nobody listens: the reports are lost, as with no request pending.
    if (_p_read_queue == nullptr) {
        return;
    }
    // The host never sees a key held down: every report is followed by the release.
    _p_read_queue->sendReport(_command._report, _command.reportLength());
    UCHAR release[HID_KEYBOARD_REPORT_LENGTH];
    RtlZeroMemory(release, sizeof(release));
    release[0] = HID_KEYBOARD_REPORT_ID;
    _p_read_queue->sendReport(release, sizeof(release));
}
