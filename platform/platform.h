// The one header through which driver code reaches the platform: the Windows kernel, the
// HID class driver and the USB bus driver, by their Windows names. The Windows build takes
// the cross toolchain's DDK headers; the host build takes the same declarations from
// platform/host, implemented by the emulated kernel.
#pragma once

#if defined(_WIN32)
#include "windows/WindowsPlatform.h"
#else
#include "host/HostUsb.h"
#endif

#include "HidPort.h"
#include "LayoutChecks.h"
