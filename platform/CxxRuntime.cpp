// The one piece of C++ runtime support the driver needs: abstract classes leave a slot
// that the compiler points at __cxa_pure_virtual. A kernel has no runtime to supply it, so
// the image carries its own; reaching it means an object was used after its destruction
// began, and the system stops.
#include "platform.h"

#define RAVO_PURE_VIRTUAL_CALL_BUGCHECK 0x000000E2

extern "C" void __cxa_pure_virtual() {
    KeBugCheckEx(RAVO_PURE_VIRTUAL_CALL_BUGCHECK, 0, 0, 0, 0);
}
