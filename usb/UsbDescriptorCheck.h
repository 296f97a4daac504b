// Checks on what a device or the bus hands back, made before anything walks it. A device
// decides every byte of its descriptors; none of its lengths or counts is believed until
// it is shown to lie inside the memory that holds it.
#pragma once

#include "platform/platform.h"

// Whether a configuration descriptor set can be kept and given to the USBD parsing routines:
// a configuration descriptor first, wTotalLength within the bytes really received, every
// descriptor at least two bytes long and inside wTotalLength, interface and endpoint
// descriptors of at least their standard size, and each interface followed by at least as
// many endpoint descriptors as it announces.
BOOLEAN UsbConfigurationIsWellFormed(const UCHAR* data, ULONG received);

// Length of the interface record at `offset` of a select-configuration URB of `urb_length`
// bytes, or 0 when the record, or one of the pipe records it announces, runs past the URB.
ULONG UsbInterfaceRecordLength(const UCHAR* urb, ULONG urb_length, ULONG offset);
