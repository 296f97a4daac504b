// The caller's record of one asynchronous USB transfer. The caller owns it, its request
// and its URB memory, and keeps them alive until the callback has run.
#pragma once

#include "platform/platform.h"

class CUsbInterface;
struct UsbTransferContext;

// Called once when a transfer has ended, at up to DISPATCH_LEVEL: never blocks or allocates.
typedef void (*UsbTransferCallback)(PVOID callback_context, NTSTATUS status, ULONG length,
                                    UsbTransferContext* context);

struct UsbTransferContext {
    CUsbInterface* usb;           // written by the USB layer
    ULONG pipe_num;               // written by the USB layer
    ULONG interface_num;          // written by the USB layer
    UsbTransferCallback callback; // may be null
    PVOID callback_context;
    PIRP irp;     // stack size not below that of the receiver's PDO
    PURB urb;     // URB memory
    ULONG length; // written by the USB layer: bytes requested
    // Written by the USB layer: the interface's pipe generation the transfer was sent in.
    ULONG generation;
    // Bytes of URB memory behind urb, so that no request block larger than the caller
    // provided is ever built there.
    ULONG urb_size;
};
