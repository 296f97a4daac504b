// ravo_reader --requests: each call an application can make on a HID collection, with each
// odd buffer, through the system's HID class driver to the driver, which must answer every
// one and keep to the buffer; the reader then reads keys as before, which must still come.
#include "Requests.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum Call {
    kGetFeature,
    kSetFeature,
    kGetInputReport,
    kSetOutputReport,
    kWriteFile,
    kGetManufacturerString,
    kGetProductString,
    kGetSerialNumberString,
    kGetIndexedString,
    kGetPhysicalDescriptor,
    kCalls
};
const char* const kCallNames[kCalls] = {"HidD_GetFeature",
                                        "HidD_SetFeature",
                                        "HidD_GetInputReport",
                                        "HidD_SetOutputReport",
                                        "WriteFile",
                                        "HidD_GetManufacturerString",
                                        "HidD_GetProductString",
                                        "HidD_GetSerialNumberString",
                                        "HidD_GetIndexedString",
                                        "HidD_GetPhysicalDescriptor"};
// Calls that hand the driver bytes to read: it may not write into them.
bool sendsBytes(int call) {
    return call == kSetFeature || call == kSetOutputReport || call == kWriteFile;
}

enum Shape { kNull, kEmpty, kShort, kExact, kHuge, kOdd, kShapes };
const char* const kShapeNames[kShapes] = {"null", "empty", "short", "exact", "huge", "odd"};
const ULONG kHugeLength = 1 << 20;
const ULONG kGuard = 64;
const BYTE kGuardByte = 0xA5;
const DWORD kTimeoutMs = 5000;

// One call with its buffer between guard bytes; it lives on the heap so that a call that
// never returns can keep it.
struct Job {
    HANDLE file;
    int call;
    std::vector<BYTE> bytes; // guard, (an odd byte,) the buffer, guard
    BYTE* buffer;            // null for the null shape
    ULONG length;
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD written = 0;
};

DWORD WINAPI run(void* context) {
    Job& job = *static_cast<Job*>(context);
    SetLastError(0);
    switch (job.call) {
        case kGetFeature:
            job.ok = HidD_GetFeature(job.file, job.buffer, job.length);
            break;
        case kSetFeature:
            job.ok = HidD_SetFeature(job.file, job.buffer, job.length);
            break;
        case kGetInputReport:
            job.ok = HidD_GetInputReport(job.file, job.buffer, job.length);
            break;
        case kSetOutputReport:
            job.ok = HidD_SetOutputReport(job.file, job.buffer, job.length);
            break;
        case kWriteFile:
            job.ok = WriteFile(job.file, job.buffer, job.length, &job.written, nullptr);
            break;
        case kGetManufacturerString:
            job.ok = HidD_GetManufacturerString(job.file, job.buffer, job.length);
            break;
        case kGetProductString:
            job.ok = HidD_GetProductString(job.file, job.buffer, job.length);
            break;
        case kGetSerialNumberString:
            job.ok = HidD_GetSerialNumberString(job.file, job.buffer, job.length);
            break;
        case kGetIndexedString:
            job.ok = HidD_GetIndexedString(job.file, 1, job.buffer, job.length);
            break;
        case kGetPhysicalDescriptor:
            job.ok = HidD_GetPhysicalDescriptor(job.file, job.buffer, job.length);
            break;
    }
    job.error = job.ok ? 0 : GetLastError();
    return 0;
}

// The first report id the collection declares for input, 0 when it uses none.
UCHAR reportIdOf(PHIDP_PREPARSED_DATA parsed, const HIDP_CAPS& caps) {
    USHORT count = caps.NumberInputButtonCaps;
    std::vector<HIDP_BUTTON_CAPS> buttons(count);
    if (count != 0 &&
        HidP_GetButtonCaps(HidP_Input, buttons.data(), &count, parsed) == HIDP_STATUS_SUCCESS)
        return buttons[0].ReportID;
    count = caps.NumberInputValueCaps;
    std::vector<HIDP_VALUE_CAPS> values(count);
    if (count != 0 &&
        HidP_GetValueCaps(HidP_Input, values.data(), &count, parsed) == HIDP_STATUS_SUCCESS)
        return values[0].ReportID;
    return 0;
}

} // namespace

bool sendRequests(size_t index, const wchar_t* path, PHIDP_PREPARSED_DATA parsed) {
    HIDP_CAPS caps{};
    HidP_GetCaps(parsed, &caps);
    const UCHAR reportId = reportIdOf(parsed, caps);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE file =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        file = CreateFileW(path, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("requests %zu: cannot open, error %lu\n", index, GetLastError());
        return false;
    }
    bool sound = true;
    unsigned calls = 0, accepted = 0;
    for (int call = 0; call < kCalls && sound; call++) {
        // The report length the collection reads with, or the longest USB string.
        const bool isString = call >= kGetManufacturerString && call <= kGetIndexedString;
        const ULONG exact = isString                         ? 254
                            : call == kGetPhysicalDescriptor ? 64
                                                             : caps.InputReportByteLength;
        std::string line;
        for (int shape = 0; shape < kShapes && sound; shape++) {
            auto* job = new Job;
            job->file = file;
            job->call = call;
            job->length = shape == kEmpty  ? 0
                          : shape == kHuge ? kHugeLength
                                           : exact - (shape == kShort && exact != 0 ? 1 : 0);
            const ULONG odd = shape == kOdd ? 1 : 0;
            job->bytes.assign(2 * kGuard + odd + job->length, kGuardByte);
            job->buffer = job->bytes.data() + kGuard + odd;
            std::memset(job->buffer, 0, job->length);
            if (job->length != 0)
                job->buffer[0] = reportId;
            const std::vector<BYTE> before = job->bytes;
            if (shape == kNull)
                job->buffer = nullptr;
            HANDLE thread = CreateThread(nullptr, 0, run, job, 0, nullptr);
            if (thread == nullptr || WaitForSingleObject(thread, kTimeoutMs) != WAIT_OBJECT_0) {
                line += std::string(" ") + kShapeNames[shape] + " hung";
                sound = false; // the job stays with the call
                break;
            }
            CloseHandle(thread);
            calls++;
            // Nothing outside the buffer changes, nor inside one the driver only reads.
            const size_t first = kGuard + odd, last = first + job->length;
            for (size_t i = 0; i < before.size(); i++) {
                bool inside = i >= first && i < last;
                if (job->bytes[i] != before[i] && (!inside || sendsBytes(call))) {
                    line += std::string(" ") + kShapeNames[shape] + " wrote outside its buffer";
                    sound = false;
                    break;
                }
            }
            char answer[48];
            if (job->ok && call == kWriteFile)
                std::snprintf(answer, sizeof answer, " %s ok:%lu", kShapeNames[shape],
                              job->written);
            else if (job->ok)
                std::snprintf(answer, sizeof answer, " %s ok", kShapeNames[shape]);
            else
                std::snprintf(answer, sizeof answer, " %s %lu", kShapeNames[shape], job->error);
            accepted += job->ok ? 1 : 0;
            line += answer;
            delete job;
        }
        std::printf("requests %zu: %s (%lu bytes):%s\n", index, kCallNames[call], exact,
                    line.c_str());
    }
    CloseHandle(file);
    if (sound)
        std::printf("requests %zu: %u calls answered, %u of them accepted\n", index, calls,
                    accepted);
    return sound;
}
