// The receiver's read path: a fixed set of read buffers kept outstanding on the data pipe,
// the queue their completions land in, and the parse thread that decodes each packet and
// sends its buffer straight back. start() and stop() run at PASSIVE_LEVEL, never at the
// same time (the Device serialises them).
#pragma once

#include "platform/platform.h"
#include "transfer/BufferQueue.h"
#include "transfer/TransferBuffer.h"

class CUsbInterface;
class IR_Control;
class RLC_parse;
class IR_Protocol;

// Reads kept outstanding: as many as wanted, but never more than the maximum.
#define TRANSFER_WANTED_BUFFERS 32
#define TRANSFER_MAX_BUFFERS 16
#define TRANSFER_BUFFER_BYTES 32
#define TRANSFER_URB_BYTES 128

class DataTransfer {
public:
    DataTransfer(CUsbInterface* usb, PDEVICE_OBJECT pdo, IR_Control* ir_control,
                 RLC_parse* rlc_parse, IR_Protocol* protocol);
    ~DataTransfer();
    DataTransfer(const DataTransfer&) = delete;
    DataTransfer& operator=(const DataTransfer&) = delete;

    NTSTATUS start();
    // Returns once the parse thread has ended and every buffer is freed.
    void stop();

    TransferBuffer* allocateBuffer();
    void freeBuffer(TransferBuffer* buffer);
    NTSTATUS sendBuffer(TransferBuffer* buffer);
    NTSTATUS startThread();
    static void static_BufferComplete(PVOID callback_context, NTSTATUS status, ULONG length,
                                      UsbTransferContext* context);
    void setTransferStopEvent();
    NTSTATUS waitTransferStop();

    static VOID static_ThreadFunction(PVOID context);
    void parseBufferThread();

    // The stop flag is written by stop() and read by the parse thread on another processor.
    bool stopRequested() const { return __atomic_load_n(&_stop_thread, __ATOMIC_ACQUIRE) != 0; }
    void setStopThread(UCHAR value) { __atomic_store_n(&_stop_thread, value, __ATOMIC_RELEASE); }
    ULONG bufferCount() const { return (ULONG)__atomic_load_n(&_buffer_count, __ATOMIC_ACQUIRE); }

    CUsbInterface* _p_usb;
    ULONG _pipe_num;
    UCHAR _interface_num;
    ULONG _urb_size;
    ULONG _buffer_size;
    UCHAR _stop_thread;
    PVOID _p_thread_object;
    PDEVICE_OBJECT _p_pdo;
    LONG volatile _buffer_count;
    BufferQueue _buffer_queue;
    IR_Control* _p_ir_control;
    RLC_parse* _p_rlc_parse;
    IR_Protocol* _p_protocol;
    KEVENT _transfer_stop_event;
    // Set by stop(): ends the parse thread's back-off between failing reads at once.
    KEVENT _stop_requested_event;

private:
    // Aborts the reads in flight and frees every buffer as it comes back.
    void releaseBuffers();
    // Holds the thread (10 ms doubling with each step, at most 1 s) before it resubmits a
    // read after a run of failed ones or recovers a pipe again, so that a dead or stalled
    // pipe neither spins a processor nor floods the debugger.
    void backOff(ULONG steps);
    // Asks the data pipe whether it still works; a halted one, or with reads_failed one
    // that failed a whole round of reads, is aborted and reset, and its port reset when it
    // was disabled. False when even the abort fails: the device is gone.
    bool checkPipe(bool reads_failed);
    // Waits for the parse thread to end and lets go of its object.
    void joinThread();
};
