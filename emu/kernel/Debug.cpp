// Diagnostics of the emulated kernel: DbgPrint and its log, assertions, debugger breaks,
// bugchecks and fail-fast, the verifier's fatal report, and the version query.
#include "Internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>

namespace emu {

namespace {

constexpr size_t kLogCapacity = 8192;
constexpr size_t kLineBytes = 240;
constexpr size_t kPendingBytes = 1024;

struct LogSlot {
    uint64_t sequence;
    LONGLONG time;
    uint16_t length;
    char text[kLineBytes];
};

struct DebugLogState {
    std::mutex lock;
    // Fixed slots, so that a driver printing traces for every packet never grows memory.
    LogSlot* slots = new LogSlot[kLogCapacity];
    uint64_t next = 0;
    uint64_t dropped = 0;
    bool echo = false;
    std::function<void(const DebugLine&)> sink;
    std::vector<AssertionRecord> assertions;
    uint64_t breaks = 0;
};

DebugLogState& logState() {
    static DebugLogState* state = [] {
        auto* s = new DebugLogState();
        const char* echo = getenv("RAVO_DBGPRINT_ECHO");
        s->echo = echo != nullptr && echo[0] == '1';
        return s;
    }();
    return *state;
}

struct PendingText {
    char text[kPendingBytes];
    size_t length = 0;
};

thread_local PendingText t_pending;

void storeLine(const char* text, size_t length) {
    DebugLogState& log = logState();
    DebugLine line;
    {
        std::lock_guard<std::mutex> guard(log.lock);
        LogSlot& slot = log.slots[log.next % kLogCapacity];
        if (log.next >= kLogCapacity)
            log.dropped++;
        slot.sequence = log.next++;
        slot.time = clock::now();
        slot.length = static_cast<uint16_t>(length < kLineBytes ? length : kLineBytes);
        memcpy(slot.text, text, slot.length);
        if (log.echo)
            fprintf(stderr, "%.*s\n", static_cast<int>(length), text);
        if (!log.sink)
            return;
        line.sequence = slot.sequence;
        line.time = slot.time;
        line.text.assign(text, length);
    }
    // The sink runs outside the log lock so that it may print or inspect the log itself.
    logState().sink(line);
}

// Text up to each line feed joins the thread's pending line, which the line feed stores.
void appendTextTo(PendingText& pending, const char* text, size_t length) {
    while (length > 0) {
        const char* feed = static_cast<const char*>(memchr(text, '\n', length));
        size_t run = feed ? static_cast<size_t>(feed - text) : length;
        size_t room = kPendingBytes - pending.length;
        memcpy(pending.text + pending.length, text, run < room ? run : room);
        pending.length += run < room ? run : room;
        if (!feed)
            return;
        storeLine(pending.text, pending.length);
        pending.length = 0;
        text += run + 1;
        length -= run + 1;
    }
}

void appendText(const char* text, size_t length) {
    appendTextTo(t_pending, text, length);
}

// Digits of an unsigned value in base 10 or 16, written backwards from the end of buffer;
// returns the first digit.
char* digitsOf(unsigned long long value, unsigned base, bool upper, char* end) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char* p = end;
    do {
        *--p = digits[value % base];
        value /= base;
    } while (value != 0);
    return p;
}

const char* bugCheckName(ULONG code) {
    switch (code) {
        case 0x35:
            return "NO_MORE_IRP_STACK_LOCATIONS";
        case 0x44:
            return "MULTIPLE_IRP_COMPLETE_REQUESTS";
        case 0xC4:
            return "DRIVER_VERIFIER_DETECTED_VIOLATION";
        case 0xE2:
            return "pure virtual function called";
        default:
            return "bugcheck";
    }
}

RTL_OSVERSIONINFOEXW g_version = [] {
    RTL_OSVERSIONINFOEXW v{};
    v.dwMajorVersion = 10;
    v.dwMinorVersion = 0;
    v.dwBuildNumber = 19045;
    v.dwPlatformId = 2;
    return v;
}();
std::mutex g_versionLock;

} // namespace

// Formats like the Windows kernel's printf: the length modifiers of an LLP64 system, and %p
// as the kernel prints it. Appends to out, which callers reuse so that printing a trace for
// every packet allocates nothing.
void formatWindowsInto(std::string& out, const char* format, va_list args) {
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            const char* next = strchr(p, '%');
            size_t run = next ? static_cast<size_t>(next - p) : strlen(p);
            out.append(p, run);
            p += run;
            continue;
        }
        if (p[1] == '%') {
            out.push_back('%');
            p += 2;
            continue;
        }
        char spec[32] = "%";
        size_t specLength = 1;
        auto addToSpec = [&](char c) {
            if (specLength + 3 < sizeof spec)
                spec[specLength++] = c;
            spec[specLength] = '\0';
        };
        ++p;
        while (*p && strchr("-+ #0", *p))
            addToSpec(*p++);
        int width = 0;
        while (*p >= '0' && *p <= '9') {
            width = width * 10 + (*p - '0');
            addToSpec(*p++);
        }
        if (*p == '.') {
            addToSpec(*p++);
            while (*p >= '0' && *p <= '9')
                addToSpec(*p++);
        }
        enum { kInt, kShort, kChar, kLong64 } size = kInt;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = kLong64;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = kLong64;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            size = kChar;
            p += 2;
        } else if (*p == 'h') {
            size = kShort;
            ++p;
        } else if (*p == 'l' || *p == 'w') {
            ++p; // long is 32 bits on Windows
        }
        char conversion = *p ? *p++ : '\0';
        char buffer[128];
        // The driver's traces print plain integers ("%x", "%0x", "%d", "%u"): written here
        // without a round through snprintf. A '0' flag without a width changes nothing.
        const bool plain = specLength == 1 || (specLength == 2 && spec[1] == '0');
        if (plain && size == kInt &&
            (conversion == 'x' || conversion == 'X' || conversion == 'u' || conversion == 'd' ||
             conversion == 'i')) {
            int value = va_arg(args, int);
            char* end = buffer + sizeof buffer;
            char* first;
            if (conversion == 'd' || conversion == 'i') {
                long long wide = value;
                first = digitsOf(wide < 0 ? 0ull - static_cast<unsigned long long>(wide)
                                          : static_cast<unsigned long long>(wide),
                                 10, false, end);
                if (wide < 0)
                    *--first = '-';
            } else {
                first = digitsOf(static_cast<unsigned>(value), conversion == 'u' ? 10 : 16,
                                 conversion == 'X', end);
            }
            out.append(first, static_cast<size_t>(end - first));
            continue;
        }
        switch (conversion) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o':
            case 'c': {
                if (size == kLong64) {
                    addToSpec('l');
                    addToSpec('l');
                    addToSpec(conversion);
                    snprintf(buffer, sizeof buffer, spec, va_arg(args, long long));
                } else {
                    int value = va_arg(args, int);
                    if (size == kShort)
                        value = (conversion == 'd' || conversion == 'i') ? (short)value
                                                                         : (unsigned short)value;
                    if (size == kChar)
                        value = (conversion == 'd' || conversion == 'i') ? (signed char)value
                                                                         : (unsigned char)value;
                    addToSpec(conversion);
                    snprintf(buffer, sizeof buffer, spec, value);
                }
                out += buffer;
                break;
            }
            case 'p': {
                void* value = va_arg(args, void*);
                snprintf(buffer, sizeof buffer, "%0*llX", width > 16 ? width : 16,
                         (unsigned long long)(uintptr_t)value);
                out += buffer;
                break;
            }
            case 's': {
                const char* value = va_arg(args, const char*);
                const char* text = value ? value : "(null)";
                if (specLength == 1) {
                    out += text;
                } else {
                    addToSpec('s');
                    std::vector<char> wide(strlen(text) + 256);
                    snprintf(wide.data(), wide.size(), spec, text);
                    out += wide.data();
                }
                break;
            }
            default:
                out.append(spec, specLength);
                if (conversion)
                    out.push_back(conversion);
                break;
        }
    }
}

void verifierFailure(const char* rule, const char* detailFormat, ...) {
    char detail[512];
    va_list args;
    va_start(args, detailFormat);
    vsnprintf(detail, sizeof detail, detailFormat, args);
    va_end(args);
    fprintf(stderr, "\n*** DRIVER VERIFIER: %s\n*** %s\n", rule, detail);
    fflush(stderr);
    abort();
}

namespace debuglog {

uint64_t mark() {
    std::lock_guard<std::mutex> guard(logState().lock);
    return logState().next;
}

std::vector<DebugLine> linesSince(uint64_t since) {
    DebugLogState& log = logState();
    std::lock_guard<std::mutex> guard(log.lock);
    std::vector<DebugLine> lines;
    uint64_t first = log.next > kLogCapacity ? log.next - kLogCapacity : 0;
    for (uint64_t s = since > first ? since : first; s < log.next; ++s) {
        const LogSlot& slot = log.slots[s % kLogCapacity];
        lines.push_back(DebugLine{slot.sequence, slot.time, std::string(slot.text, slot.length)});
    }
    return lines;
}

std::vector<std::string> textSince(uint64_t since) {
    std::vector<std::string> text;
    for (auto& line : linesSince(since))
        text.push_back(line.text);
    return text;
}

size_t count(const std::string& fragment, uint64_t since) {
    size_t n = 0;
    for (auto& line : linesSince(since)) {
        for (size_t at = line.text.find(fragment); at != std::string::npos;
             at = line.text.find(fragment, at + 1))
            ++n;
    }
    // Text that no line feed has ended yet on this thread is visible too.
    std::string pending(t_pending.text, t_pending.length);
    for (size_t at = pending.find(fragment); at != std::string::npos;
         at = pending.find(fragment, at + 1))
        ++n;
    return n;
}

bool contains(const std::string& fragment, uint64_t since) {
    return count(fragment, since) > 0;
}

void clear() {
    DebugLogState& log = logState();
    std::lock_guard<std::mutex> guard(log.lock);
    // Sequence numbers keep counting so that outstanding marks stay meaningful.
    uint64_t next = log.next;
    log.dropped = 0;
    for (size_t i = 0; i < kLogCapacity; ++i)
        log.slots[i].length = 0;
    log.next = next;
    t_pending.length = 0;
}

void setEcho(bool echo) {
    std::lock_guard<std::mutex> guard(logState().lock);
    logState().echo = echo;
}

void setLineSink(std::function<void(const DebugLine&)> sink) {
    std::lock_guard<std::mutex> guard(logState().lock);
    logState().sink = std::move(sink);
}

size_t capacity() {
    return kLogCapacity;
}

uint64_t droppedLines() {
    std::lock_guard<std::mutex> guard(logState().lock);
    return logState().dropped;
}

} // namespace debuglog

std::vector<AssertionRecord> assertions() {
    std::lock_guard<std::mutex> guard(logState().lock);
    return logState().assertions;
}

void clearAssertions() {
    std::lock_guard<std::mutex> guard(logState().lock);
    logState().assertions.clear();
}

uint64_t debuggerBreaks() {
    std::lock_guard<std::mutex> guard(logState().lock);
    return logState().breaks;
}

ULONG osBuildNumber() {
    std::lock_guard<std::mutex> guard(g_versionLock);
    return g_version.dwBuildNumber;
}

void setOsVersion(ULONG major, ULONG minor, ULONG build, USHORT servicePackMajor,
                  USHORT servicePackMinor) {
    std::lock_guard<std::mutex> guard(g_versionLock);
    g_version.dwMajorVersion = major;
    g_version.dwMinorVersion = minor;
    g_version.dwBuildNumber = build;
    g_version.wServicePackMajor = servicePackMajor;
    g_version.wServicePackMinor = servicePackMinor;
}

} // namespace emu

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
    // One look-up of the thread's state per call: in a shared library every access to a
    // thread-local costs a call.
    struct PrintState {
        std::string text;
        emu::PendingText* pending;
    };
    thread_local PrintState state{std::string(), &emu::t_pending};
    PrintState& print = state;
    if (strchr(Format, '%') == nullptr) {
        emu::appendTextTo(*print.pending, Format, strlen(Format));
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    print.text.clear();
    emu::formatWindowsInto(print.text, Format, args);
    va_end(args);
    emu::appendTextTo(*print.pending, print.text.data(), print.text.size());
    return STATUS_SUCCESS;
}

VOID DbgBreakPoint(void) {
    {
        std::lock_guard<std::mutex> guard(emu::logState().lock);
        emu::logState().breaks++;
    }
    static const char text[] = "*** break into the kernel debugger\n";
    emu::appendText(text, sizeof text - 1);
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    const char* expression = static_cast<const char*>(FailedAssertion);
    const char* file = static_cast<const char*>(FileName);
    {
        std::lock_guard<std::mutex> guard(emu::logState().lock);
        emu::logState().assertions.push_back(
            emu::AssertionRecord{expression ? expression : "", file ? file : "", LineNumber});
    }
    DbgPrint("\n*** Assertion failed: %s%s\n***   Source File: %s, line %u\n\n",
             Message ? Message : "", expression ? expression : "", file ? file : "", LineNumber);
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(emu::g_versionLock);
    RTL_OSVERSIONINFOEXW version = emu::g_version;
    version.dwOSVersionInfoSize = size;
    memcpy(lpVersionInformation, &version, size);
    return STATUS_SUCCESS;
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    emu::verifierFailure("bugcheck", "KeBugCheckEx 0x%X (%s) parameters %llx %llx %llx %llx",
                         BugCheckCode, emu::bugCheckName(BugCheckCode), (unsigned long long)P1,
                         (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
}

VOID __fastfail(unsigned int Code) {
    emu::verifierFailure("fail-fast", "__fastfail code %u%s", Code,
                         Code == FAST_FAIL_CORRUPT_LIST_ENTRY ? " (corrupt list entry)" : "");
}

} // extern "C"
