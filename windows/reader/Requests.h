// ravo_reader --requests: what an application can send the receiver through the HID class
// driver, with odd buffers.
#pragma once

#include <windows.h>

extern "C" {
#include <hidsdi.h>
}

// Sends one collection every request an application can make (HidD_GetFeature,
// HidD_SetFeature, HidD_GetInputReport, HidD_SetOutputReport, WriteFile, the three string
// calls, HidD_GetIndexedString, HidD_GetPhysicalDescriptor), each with no buffer, an empty
// one, one a byte short, an exact one, a huge one and one at an odd address, on a handle of
// its own, and prints a line per call with each answer. Returns false when a call did not
// come back within 5 s or wrote outside its buffer (or into one it should only read).
bool sendRequests(size_t index, const wchar_t* path, PHIDP_PREPARSED_DATA parsed);
