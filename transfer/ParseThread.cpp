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
// A full round of failed reads, one per buffer: the pipe is recovered, and the thread
// holds back before every failed read after it.
const ULONG kFailuresBeforeBackOff = TRANSFER_MAX_BUFFERS;
const ULONG kFirstBackOffMs = 10;
const ULONG kLongestBackOffMs = 1000;
// How long a recovery waits for the reads it aborted before it resets the port.
const ULONG kReadsBackMs = 5000;
// Bit 0 of an endpoint's GET_STATUS answer (USB 2.0, 9.4.5).
const USHORT kEndpointHalt = 0x0001;

} // namespace

VOID DataTransfer::static_ThreadFunction(PVOID context) {
    RAVO_TRACE("DataTransfer::static_ThreadFunction\n");
    static_cast<DataTransfer*>(context)->parseBufferThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void DataTransfer::backOff(ULONG steps) {
    ULONG ms = kFirstBackOffMs;
    for (ULONG n = 0; n < steps && ms < kLongestBackOffMs; n++)
        ms *= 2;
    if (ms > kLongestBackOffMs)
        ms = kLongestBackOffMs;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeWaitForSingleObject(&_stop_requested_event, Executive, KernelMode, FALSE, &timeout);
}

bool DataTransfer::checkPipe(bool reads_failed) {
    // A STALL sets the endpoint's Halt feature, which GET_STATUS reports while it succeeds;
    // a transaction error halts only the host's side of the pipe, which no status shows:
    // the reads failing one after the other do.
    USHORT endpoint_status = 0;
    NTSTATUS status = _p_usb->GetStatusPipe(_pipe_num, _interface_num, &endpoint_status);
    if (status == STATUS_SUCCESS && (endpoint_status & kEndpointHalt) == 0 && !reads_failed)
        return true;
    RAVO_ERROR("DataTransfer: the IR data pipe %s; aborting and resetting it\n",
               status != STATUS_SUCCESS            ? "does not answer"
               : (endpoint_status & kEndpointHalt) ? "is halted"
                                                   : "fails every read");
    // Microsoft's recovery from a pipe error: abort the transfers and let them come back,
    // reset the pipe, and reset the port where that is not enough. A port disabled by a
    // device error fails every request, the pipe reset too, so its reset comes first; and
    // never with a read at the bus.
    if (!NT_SUCCESS(_p_usb->UsbAbortPipe(_pipe_num, _interface_num)))
        return false;
    if (_p_usb->waitForTransfers(kReadsBackMs))
        (void)_p_usb->ResetDevice();
    status = _p_usb->UsbResetPipe(_pipe_num, _interface_num);
    if (!NT_SUCCESS(status))
        RAVO_ERROR("DataTransfer: the IR data pipe could not be reset (status=%x)\n", status);
    return true;
}

void DataTransfer::parseBufferThread() {
    RAVO_TRACE("DataTransfer::parseBufferThread\n");
    TransferBuffer* current = nullptr;
    ULONG empty_count = 0;
    ULONG failed_in_a_row = 0;
    // Recoveries since the last read that succeeded: a pipe that fails again at once after
    // its reset (a device that stalls every read) is recovered at a falling rate.
    ULONG recoveries = 0;
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
                // queued behind them. Reads sent before the pipe's last restart failed on
                // the pipe as it was and do not count.
                bool recover = false;
                if (current->_status == STATUS_SUCCESS) {
                    failed_in_a_row = 0;
                    recoveries = 0;
                } else if (current->_io.generation == _p_usb->pipeGeneration()) {
                    if (++failed_in_a_row == 1 && current->_status != STATUS_CANCELLED)
                        RAVO_ERROR("DataTransfer: a read from the receiver failed (status=%x)\n",
                                   current->_status);
                    recover = failed_in_a_row % kFailuresBeforeBackOff == 0;
                    if (failed_in_a_row > kFailuresBeforeBackOff || (recover && recoveries > 0)) {
                        backOff(recover ? recoveries : failed_in_a_row - kFailuresBeforeBackOff);
                        if (stopRequested())
                            break;
                    }
                }
                // A whole round of failed reads is a pipe to look at now, not 50 reads on.
                // The buffer waits in the queue meanwhile: no read goes into a pipe about
                // to be aborted.
                if (++empty_count >= kEmptyBuffersPerPipeCheck || recover) {
                    empty_count = 0;
                    _buffer_queue.putBuffer(current);
                    current = nullptr;
                    const ULONG generation = _p_usb->pipeGeneration();
                    removed = !checkPipe(failed_in_a_row >= kFailuresBeforeBackOff);
                    if (_p_usb->pipeGeneration() != generation) {
                        failed_in_a_row = 0;
                        recoveries++;
                    }
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
