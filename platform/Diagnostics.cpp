#include "Diagnostics.h"

extern "C" {
LONG DebugLevel = 2;
UCHAR BreakOnError = 0;
}
