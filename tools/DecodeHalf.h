// The decode half of the driver, driven the way its parse thread drives it: packet parser,
// NEC (or RC5) decoder and key translation, with the read-report queue answering read-report
// requests that a stand-in of the HID class driver keeps pending. Used by the replay
// tool, the end-to-end tests and the decode-path benchmark, so that all three drive the
// driver's objects the same way.
//
// Below this there is no USB yet: packets are handed in directly. When the USB layers and
// the driver frame come under it, deliver() becomes a completed read on the data pipe.
#pragma once

#include "decode/IrControl.h"
#include "decode/KeyInfo.h"
#include "decode/KeyMap.h"
#include "decode/NecProtocol.h"
#include "decode/Rc5Protocol.h"
#include "decode/RlcParse.h"
#include "emu/hidclass/ReadReportClient.h"
#include "frame/MinidriverExtension.h"
#include "hid/HidDescriptors.h"
#include "hid/ReadReportQueue.h"

#include <array>
#include <cstdint>
#include <optional>

namespace ravo_tools {

class DecodeHalf {
public:
    // What one packet did, as the parse thread sees it.
    struct PacketOutcome {
        bool keyDecoded = false; // the decoder completed a frame
        ULONG key = 0;           // its command byte
        bool released = false;   // the parser reported an end-of-signal marker
    };

    // pendingReads: the read-report requests kept pending (the HID class driver keeps two);
    // rc5: the RC5 decoder instead of the NEC one.
    explicit DecodeHalf(unsigned pendingReads = 2, bool rc5 = false)
        : _fdo(sizeof(MinidriverExtension),
               [this](PDEVICE_OBJECT, PIRP irp) { return internalDeviceControl(irp); }),
          _client(_fdo.fdo(), HID_KEYBOARD_REPORT_LENGTH) {
        ReadReportQueue::initCancelLock(_fdo.fdo());
        NTSTATUS status = STATUS_SUCCESS;
        _rlc.emplace(&status);
        _status = status;
        if (rc5) {
            _decoder = &_rc5.emplace(&status);
        } else {
            _decoder = &_nec.emplace(&status);
        }
        if (NT_SUCCESS(_status)) {
            _status = status;
        }
        _control.emplace(&_queue, KEY_MAP_DEFAULT);
        if (NT_SUCCESS(_status)) {
            // What the parse thread does once when it starts.
            _rlc->reset();
            _decoder->reset();
        }
        if (pendingReads != 0) {
            _client.keepPending(pendingReads);
        }
    }

    ~DecodeHalf() { shutDown(); }

    DecodeHalf(const DecodeHalf&) = delete;
    DecodeHalf& operator=(const DecodeHalf&) = delete;

    // Construction status of the parser and the decoder (their allocations).
    NTSTATUS status() const { return _status; }

    // One packet of 1 to 32 bytes, as the parse thread handles a buffer with data.
    PacketOutcome deliver(const uint8_t* packet, ULONG length) {
        PacketOutcome outcome;
        _keyInfo = KeyInfo{};
        _irData.fill(IrSample{0, 0});
        _rlc->parse(packet, _irData.data(), length);
        _decoder->decode(_irData.data(), &_keyInfo);
        if (_keyInfo.valid == 1) {
            outcome.keyDecoded = true;
            outcome.key = _keyInfo.key;
            _control->processKey(_keyInfo.key);
        }
        if (_rlc->isKeyReleased()) {
            outcome.released = true;
            _control->processKey(IR_KEY_RELEASE);
        }
        return outcome;
    }

    // Fails the pending reads as a device stop does; no read is sent again.
    void shutDown() {
        _client.stopResending();
        _queue.flushReads();
    }

    emu::hid::ReadReportClient& client() { return _client; }
    ReadReportQueue& queue() { return _queue; }
    IR_Control& control() { return *_control; }

private:
    NTSTATUS internalDeviceControl(PIRP irp) {
        NTSTATUS status = _queue.queueRead(irp);
        if (status != STATUS_PENDING) {
            irp->IoStatus.Status = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return status;
    }

    // Declared in the order they must be built: the queue before the device object whose
    // dispatch uses it, the client last among the world's pieces.
    ReadReportQueue _queue;
    emu::hid::StandInFdo _fdo;
    emu::hid::ReadReportClient _client;
    std::optional<RLC_parse> _rlc;
    std::optional<NEC_Protocol> _nec;
    std::optional<RC5_Protocol> _rc5;
    IR_Protocol* _decoder = nullptr;
    std::optional<IR_Control> _control;
    NTSTATUS _status = STATUS_SUCCESS;
    KeyInfo _keyInfo{};
    std::array<IrSample, IR_DATA_BUFFER_SAMPLES> _irData{};
};

} // namespace ravo_tools
