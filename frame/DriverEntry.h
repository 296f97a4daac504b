// The driver's entry points as the system loader and the HID class driver see them.
#pragma once

#include "platform/platform.h"

extern "C" {
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);
VOID DriverUnload(PDRIVER_OBJECT driver);
}

// The size of the minidriver's part of every device extension.
#define MINIDRIVER_EXTENSION_SIZE 136
