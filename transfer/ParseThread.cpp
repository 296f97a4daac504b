// The parse thread: the driver's main loop. It alone runs the packet parser, the decoder
// and the key translation, so none of them needs a lock.
#include "decode/IrControl.h"
#include "decode/IrProtocol.h"
#include "decode/RlcParse.h"
#include "platform/Diagnostics.h"
#include "transfer/DataTransfer.h"
#include "usb/CUsbInterface.h"

namespace {

// Every 50th empty buffer makes the thread ask the pipe whether it still works.
const ULONG kEmptyBuffersPerPipeCheck = 50;
const ULONG kIdleWaitMs = 1000;
// 40 samples of 2 bytes.
const ULONG kIrDataBytes = 80;
// A full round of failed reads, one per buffer, before the thread starts to hold back.
const ULONG kFailuresBeforeBackOff = TRANSFER_MAX_BUFFERS;
const ULONG kFirstBackOffMs = 10;
const ULONG kLongestBackOffMs = 1000;

} // namespace

VOID DataTransfer::static_ThreadFunction(PVOID context) {
    RAVO_TRACE("DataTransfer::static_ThreadFunction\n");
    static_cast<DataTransfer*>(context)->parseBufferThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void DataTransfer::backOff(ULONG failed_in_a_row) {
    ULONG ms = kFirstBackOffMs;
    for (ULONG n = kFailuresBeforeBackOff; n < failed_in_a_row && ms < kLongestBackOffMs; n++)
        ms *= 2;
    if (ms > kLongestBackOffMs)
        ms = kLongestBackOffMs;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeWaitForSingleObject(&_stop_requested_event, Executive, KernelMode, FALSE, &timeout);
}

bool DataTransfer::checkPipe() {
    if (_p_usb->GetStatusPipe(_pipe_num, _interface_num) == STATUS_SUCCESS)
        return true;
    RAVO_ERROR("DataTransfer: the IR data pipe does not answer; aborting and resetting it\n");
    // A port disabled by a device error fails every request on it until it is reset.
    (void)_p_usb->ResetDevice();
    if (!NT_SUCCESS(_p_usb->UsbAbortPipe(_pipe_num, _interface_num)))
        return false;
    // Without the reset a halted endpoint fails every read until the device is replugged.
    NTSTATUS status = _p_usb->UsbResetPipe(_pipe_num, _interface_num);
    if (NT_SUCCESS(status))
        _pipe_generation++;
    else
        RAVO_ERROR("DataTransfer: the IR data pipe could not be reset (status=%x)\n", status);
    return true;
}

void DataTransfer::parseBufferThread() {
    RAVO_TRACE("DataTransfer::parseBufferThread\n");
    TransferBuffer* current = nullptr;
    ULONG empty_count = 0;
    ULONG failed_in_a_row = 0;
    bool removed = false;

    // Every way out sets the transfer-stop event: stop() waits for it, and a thread that
    // left without it would hold stop() for its whole time-out.
    if (_p_rlc_parse == nullptr) {
        RAVO_TRACE("Invalid RLC parser, Quit!\n");
        setTransferStopEvent();
        return;
    }
    _p_rlc_parse->reset();
    if (_p_protocol == nullptr) {
        RAVO_TRACE("Invalid protocol parser, Quit!\n");
        setTransferStopEvent();
        return;
    }
    _p_protocol->reset();
    auto* ir_data = reinterpret_cast<IrSample*>(new UCHAR[kIrDataBytes]);
    if (ir_data == nullptr) {
        RAVO_TRACE("Failed to create IR data buffer, Quit!\n");
        setTransferStopEvent();
        return;
    }

    KeyInfo key_info;
    while (!stopRequested()) {
        current = _buffer_queue.getBuffer();
        while (current != nullptr) {
            if (stopRequested())
                break;
            if (current->_length != 0) {
                failed_in_a_row = 0;
                RtlZeroMemory(&key_info, sizeof key_info);
                RtlZeroMemory(ir_data, kIrDataBytes);
                _p_rlc_parse->parse(current->_p_data, ir_data, current->_length);
                _p_protocol->decode(ir_data, &key_info);
                if (key_info.valid == 1) {
                    RAVO_NOTICE("THE KEY INFORMATION IS 0x%0x\n", key_info.key);
                    _p_ir_control->processKey(key_info.key);
                }
                if (_p_rlc_parse->isKeyReleased()) {
                    RAVO_NOTICE("Current key is released\n");
                    _p_ir_control->processKey(IR_KEY_RELEASE);
                }
            } else {
                // Only failed reads count towards the back-off: a device may send empty
                // packets at its own pace, and holding them back would hold back the keys
                // queued behind them.
                bool round_failed = false;
                if (current->_status == STATUS_SUCCESS) {
                    failed_in_a_row = 0;
                } else if (current->_generation == _pipe_generation) {
                    if (++failed_in_a_row == 1 && current->_status != STATUS_CANCELLED)
                        RAVO_ERROR("DataTransfer: a read from the receiver failed (status=%x)\n",
                                   current->_status);
                    round_failed = failed_in_a_row == kFailuresBeforeBackOff;
                    if (failed_in_a_row > kFailuresBeforeBackOff) {
                        backOff(failed_in_a_row);
                        if (stopRequested())
                            break;
                    }
                }
                // A whole round of failed reads is a pipe to look at now, not 50 reads on.
                if (++empty_count >= kEmptyBuffersPerPipeCheck || round_failed) {
                    empty_count = 0;
                    (void)sendBuffer(current);
                    current = nullptr;
                    removed = !checkPipe();
                    break;
                }
            }
            if (!NT_SUCCESS(sendBuffer(current))) {
                current = nullptr;
                removed = true;
                RAVO_ALWAYS("Data Transfer : parseBufferThread : looks like USB device is "
                            "removed.\n");
                break;
            }
            current = _buffer_queue.getBuffer();
        }
        if (removed || stopRequested())
            break;
        _buffer_queue.waitForBuffer(kIdleWaitMs);
    }

    delete[] reinterpret_cast<PUCHAR>(ir_data);
    if (current != nullptr)
        _buffer_queue.putBuffer(current);
    setTransferStopEvent();
    RAVO_TRACE("Stop parseBufferThread, Quit!\n");
}
