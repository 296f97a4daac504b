// One USB read buffer of the data transfer: its data area, its own request and URB area,
// reused for every read from allocation to release.
#pragma once

#include "platform/platform.h"
#include "usb/UsbTransferContext.h"

class DataTransfer;

struct TransferBuffer {
    LIST_ENTRY _link{};                // link in the buffer queue while _queued is 1
    PUCHAR _p_data = nullptr;          // the data area the reads fill
    PIRP _p_irp = nullptr;             // this buffer's own request
    PURB _p_urb = nullptr;             // URB memory, rebuilt by the USB layer for every read
    ULONG _length = 0;                 // bytes of the last completed read; 0 while one is in flight
    NTSTATUS _status = STATUS_SUCCESS; // how the last read ended
    UsbTransferContext _io{};          // handed to the USB layer for every read
    DataTransfer* _p_owner = nullptr;  // whose queue the completion puts the buffer into
    ULONG _index = 0;                  // 0 to 15
    UCHAR _queued = 0;                 // 1 while in the buffer queue; guarded by the queue's lock
};
