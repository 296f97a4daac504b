// The internal HID requests of the HID class driver: descriptors and attributes from the
// constant data, read-report requests to the pending queue, everything else refused.
#pragma once

#include "platform/platform.h"

class ReadReportQueue;

// Completes the request unless it returns STATUS_PENDING, in which case the queue owns it
// and it may already be completed on another thread.
NTSTATUS HidMiniIoctl(ReadReportQueue* read_queue, PIRP irp);
