// Debug output of the driver. Every message is two DbgPrint calls, a prefix and then the
// text, gated by DebugLevel; errors may break into the debugger. DebugLevel and
// BreakOnError are fixed when the driver is built.
#pragma once

#include "platform.h"

extern "C" {
extern LONG DebugLevel;
extern UCHAR BreakOnError;
}

#define RAVO_PREFIX "ravo: "
#define RAVO_ERROR_PREFIX "ravo (error): "

#define RAVO_LEVEL_PRINT(level, ...)                                                               \
    do {                                                                                           \
        if (DebugLevel >= (level)) {                                                               \
            DbgPrint(RAVO_PREFIX);                                                                 \
            DbgPrint(__VA_ARGS__);                                                                 \
        }                                                                                          \
    } while (0)

// Trace messages print from DebugLevel 2, information from 1, notices from 0.
#define RAVO_TRACE(...) RAVO_LEVEL_PRINT(2, __VA_ARGS__)
#define RAVO_INFO(...) RAVO_LEVEL_PRINT(1, __VA_ARGS__)
#define RAVO_NOTICE(...) RAVO_LEVEL_PRINT(0, __VA_ARGS__)

#define RAVO_ERROR(...)                                                                            \
    do {                                                                                           \
        if (DebugLevel >= 0) {                                                                     \
            DbgPrint(RAVO_ERROR_PREFIX);                                                           \
            DbgPrint(__VA_ARGS__);                                                                 \
            if (BreakOnError)                                                                      \
                DbgBreakPoint();                                                                   \
        }                                                                                          \
    } while (0)

// A few messages are printed whatever DebugLevel is, without a prefix.
#define RAVO_ALWAYS(...) DbgPrint(__VA_ARGS__)

// Reports a failed expression with the name of the reporting source; execution goes on and
// the result of the operation never depends on it.
#define RAVO_ASSERT(expression, source)                                                            \
    ((expression) ? (void)0 : RtlAssert((PVOID) #expression, (PVOID)(source), __LINE__, NULL))
