// ravo_reader: the check that the receiver works, for a person at a Windows PC and for the
// Windows test run. It finds the receiver's HID collections the way an application does,
// says which it found, and prints every key the system's HID parser reads from the input
// reports, with its name, as the buttons are pressed.
//
//   ravo_reader [--wait S] [--idle S] [--caps] [--reports] [--raw-input] [--start FROM TO]
//               [--probe HEX]... [--requests]
//
// --wait     how long to wait for the receiver's collections to appear (default 10 s)
// --idle     stop when no report came for this long (default: never; Ctrl+C ends)
// --caps     also print each collection's input capabilities
// --reports  also print every report, releases too
// --raw-input  read the keyboard collection through Raw Input even where it can be opened
//            for reading (Windows opens keyboard collections for itself alone and leaves
//            an application no other way; Wine does not)
// --start    once every collection is open, rename FROM to TO (the test bus starts playing
//            when its packet file appears)
// --probe    also parse these report bytes (e.g. "04 81") with the collections' parsers
// --requests before reading, send each collection every request an application can make
//            (feature, input and output reports, writes, strings, the physical
//            descriptor) with odd buffers (Requests.cpp); ends the reader with status 1
//            when one did not come back or wrote outside its buffer
//
// Output lines:
//   collection N: page P usage U, input report L bytes: NAME
//   caps N: report R page P usages A-B bits S x C flags F (array|variable)
//   report HEX: PAGE:USAGE...      (usages the parser reads; "none" when empty)
//   key PAGE:USAGE...  NAME + NAME  (the same, for reports with usages)
//   key vk NN  NAME                 (a key press of a keyboard collection, through Raw Input)
//   probe HEX: PAGE:USAGE...
//   requests N: CALL (L bytes): SHAPE ANSWER...   (ANSWER: ok, or the error number)
//   collection N: read ended, error E
#include <windows.h>

#include <setupapi.h>
// The toolchain's HID headers declare hid.dll without C linkage; its exports are C.
extern "C" {
#include <hidsdi.h>
}

#include "Requests.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const USHORT kVendor = 0xBEEF;
const USHORT kProduct = 0xFEED;

struct Collection {
    HANDLE file = INVALID_HANDLE_VALUE;
    PHIDP_PREPARSED_DATA parsed = nullptr;
    HIDP_CAPS caps{};
    std::vector<char> buffer;
    OVERLAPPED overlapped{};
    bool held = false; // Windows holds it: no reads, its keys come through Raw Input
};

std::vector<std::wstring> findCollections() {
    GUID hid;
    HidD_GetHidGuid(&hid);
    std::vector<std::wstring> paths;
    HDEVINFO set =
        SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> bytes(size);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(bytes.data());
        detail->cbSize = sizeof *detail;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
            continue;
        HANDLE file = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (HidD_GetAttributes(file, &attributes) && attributes.VendorID == kVendor &&
            attributes.ProductID == kProduct)
            paths.push_back(detail->DevicePath);
        CloseHandle(file);
    }
    SetupDiDestroyDeviceInfoList(set);
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string hex(const char* bytes, ULONG length) {
    std::string text;
    char item[4];
    for (ULONG i = 0; i < length; ++i) {
        std::snprintf(item, sizeof item, i == 0 ? "%02X" : " %02X",
                      static_cast<unsigned char>(bytes[i]));
        text += item;
    }
    return text;
}

// Names from the HID Usage Tables for the usages the receiver's collections declare.
std::string usageName(USAGE page, USAGE usage) {
    static const char* const keys[] = {// keyboard page 0x1E..0x52
                                       "1",
                                       "2",
                                       "3",
                                       "4",
                                       "5",
                                       "6",
                                       "7",
                                       "8",
                                       "9",
                                       "0",
                                       "Enter",
                                       "Escape",
                                       "Backspace",
                                       "Tab",
                                       "Space",
                                       "-",
                                       "=",
                                       "[",
                                       "]",
                                       "\\",
                                       "#",
                                       ";",
                                       "'",
                                       "`",
                                       ",",
                                       ".",
                                       "/",
                                       "Caps Lock",
                                       "F1",
                                       "F2",
                                       "F3",
                                       "F4",
                                       "F5",
                                       "F6",
                                       "F7",
                                       "F8",
                                       "F9",
                                       "F10",
                                       "F11",
                                       "F12",
                                       "Print Screen",
                                       "Scroll Lock",
                                       "Pause",
                                       "Insert",
                                       "Home",
                                       "Page Up",
                                       "Delete",
                                       "End",
                                       "Page Down",
                                       "Right Arrow",
                                       "Left Arrow",
                                       "Down Arrow",
                                       "Up Arrow"};
    static const char* const modifiers[] = {"Left Ctrl",  "Left Shift",  "Left Alt",  "Left GUI",
                                            "Right Ctrl", "Right Shift", "Right Alt", "Right GUI"};
    char text[32];
    if (page == 0x07) {
        if (usage >= 0x04 && usage <= 0x1D) {
            std::snprintf(text, sizeof text, "%c", 'A' + (usage - 0x04));
            return text;
        }
        if (usage >= 0x1E && usage <= 0x52)
            return keys[usage - 0x1E];
        if (usage >= 0xE0 && usage <= 0xE7)
            return modifiers[usage - 0xE0];
        if (usage == 0x65)
            return "Application";
    } else if (page == 0x0C) {
        switch (usage) {
            case 0x9C:
                return "Channel Up";
            case 0x9D:
                return "Channel Down";
            case 0xB0:
                return "Play";
            case 0xB1:
                return "Pause";
            case 0xB2:
                return "Record";
            case 0xB3:
                return "Fast Forward";
            case 0xB4:
                return "Rewind";
            case 0xB7:
                return "Stop";
            case 0xE2:
                return "Mute";
            case 0xE9:
                return "Volume Up";
            case 0xEA:
                return "Volume Down";
        }
    } else if (page == 0x01) {
        switch (usage) {
            case 0x81:
                return "System Power Down";
            case 0x82:
                return "System Sleep";
            case 0x83:
                return "System Wake Up";
        }
    }
    std::snprintf(text, sizeof text, "usage %02X:%02X", page, usage);
    return text;
}

std::string collectionName(const HIDP_CAPS& caps) {
    if (caps.UsagePage == 0x01 && caps.Usage == 0x06)
        return "keyboard";
    if (caps.UsagePage == 0x01 && caps.Usage == 0x80)
        return "system control";
    if (caps.UsagePage == 0x0C && caps.Usage == 0x01)
        return "consumer control";
    if (caps.UsagePage >= 0xFF00)
        return "vendor-defined";
    return "other";
}

// The usages the parser reads in a report, sorted, or "" when it reads none; a parser
// failure shows as "(status X)".
std::string usages(const Collection& c, const char* report, ULONG length,
                   std::string* names = nullptr) {
    std::vector<USAGE_AND_PAGE> list(64);
    ULONG count = static_cast<ULONG>(list.size());
    std::vector<char> copy(report, report + length);
    NTSTATUS status =
        HidP_GetUsagesEx(HidP_Input, 0, list.data(), &count, c.parsed, copy.data(), length);
    char item[32];
    if (status != HIDP_STATUS_SUCCESS) {
        std::snprintf(item, sizeof item, "(status %08lX)", static_cast<unsigned long>(status));
        return item;
    }
    list.resize(count);
    std::sort(list.begin(), list.end(), [](const USAGE_AND_PAGE& a, const USAGE_AND_PAGE& b) {
        return a.UsagePage != b.UsagePage ? a.UsagePage < b.UsagePage : a.Usage < b.Usage;
    });
    std::string text;
    for (const USAGE_AND_PAGE& u : list) {
        std::snprintf(item, sizeof item, "%s%02X:%02X", text.empty() ? "" : " ", u.UsagePage,
                      u.Usage);
        text += item;
        if (names != nullptr)
            *names += (names->empty() ? "" : " + ") + usageName(u.UsagePage, u.Usage);
    }
    return text;
}

void printCollection(size_t index, const Collection& c) {
    std::printf("collection %zu: page %02X usage %02X, input report %u bytes: %s\n", index,
                c.caps.UsagePage, c.caps.Usage, c.caps.InputReportByteLength,
                collectionName(c.caps).c_str());
}

void printCaps(size_t index, const Collection& c) {
    USHORT count = c.caps.NumberInputButtonCaps;
    std::vector<HIDP_BUTTON_CAPS> buttons(count);
    if (count != 0 &&
        HidP_GetButtonCaps(HidP_Input, buttons.data(), &count, c.parsed) == HIDP_STATUS_SUCCESS) {
        for (USHORT i = 0; i < count; ++i) {
            const HIDP_BUTTON_CAPS& b = buttons[i];
            USAGE low = b.IsRange ? b.Range.UsageMin : b.NotRange.Usage;
            USAGE high = b.IsRange ? b.Range.UsageMax : b.NotRange.Usage;
            std::printf("caps %zu: report %u page %02X usages %02X-%02X flags %02X (%s)\n", index,
                        b.ReportID, b.UsagePage, low, high, b.BitField,
                        (b.BitField & 0x02) ? "variable" : "array");
        }
    }
    count = c.caps.NumberInputValueCaps;
    std::vector<HIDP_VALUE_CAPS> values(count);
    if (count != 0 &&
        HidP_GetValueCaps(HidP_Input, values.data(), &count, c.parsed) == HIDP_STATUS_SUCCESS) {
        for (USHORT i = 0; i < count; ++i) {
            const HIDP_VALUE_CAPS& v = values[i];
            std::printf("caps %zu: report %u page %02X value usage %02X logical %ld..%ld "
                        "flags %02X\n",
                        index, v.ReportID, v.UsagePage,
                        v.IsRange ? v.Range.UsageMin : v.NotRange.Usage, v.LogicalMin, v.LogicalMax,
                        v.BitField);
        }
    }
}

// Parses report bytes with the collection that declares their report ID.
void probe(const std::vector<Collection>& collections, const std::string& text) {
    std::vector<char> bytes;
    for (const char* p = text.c_str(); *p != 0;) {
        char* end;
        unsigned long value = std::strtoul(p, &end, 16);
        if (end == p)
            break;
        bytes.push_back(static_cast<char>(value));
        p = end;
    }
    for (const Collection& c : collections) {
        if (bytes.empty() || bytes.size() > c.caps.InputReportByteLength)
            continue;
        std::vector<char> report(c.caps.InputReportByteLength, 0);
        std::copy(bytes.begin(), bytes.end(), report.begin());
        std::string read = usages(c, report.data(), static_cast<ULONG>(report.size()));
        if (read.rfind("(status", 0) == 0)
            continue;
        std::printf("probe %s: %s\n", hex(report.data(), static_cast<ULONG>(report.size())).c_str(),
                    read.empty() ? "none" : read.c_str());
        return;
    }
    std::printf("probe %s: no collection reads it\n", text.c_str());
}

bool startRead(Collection& c) {
    ResetEvent(c.overlapped.hEvent);
    if (ReadFile(c.file, c.buffer.data(), static_cast<DWORD>(c.buffer.size()), nullptr,
                 &c.overlapped))
        return true;
    return GetLastError() == ERROR_IO_PENDING;
}

} // namespace

// Windows opens keyboard collections for itself alone, so an application reads no report
// from them: it sees their keys through Raw Input, each with the device that sent it. A
// message-only window receives them, also while another window has the focus.
class RawKeyboard {
public:
    bool start() {
        _window = CreateWindowExW(0, L"STATIC", L"ravo_reader", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
        if (_window == nullptr)
            return false;
        RAWINPUTDEVICE keyboard{0x01, 0x06, RIDEV_INPUTSINK, _window};
        return RegisterRawInputDevices(&keyboard, 1, sizeof keyboard) != FALSE;
    }

    bool started() const { return _window != nullptr; }

    // Prints the receiver's key presses among the messages waiting.
    void pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_INPUT)
                print(reinterpret_cast<HRAWINPUT>(msg.lParam));
            DispatchMessageW(&msg);
        }
    }

private:
    void print(HRAWINPUT input) {
        UINT size = 0;
        GetRawInputData(input, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER));
        std::vector<BYTE> bytes(size);
        if (size == 0 ||
            GetRawInputData(input, RID_INPUT, bytes.data(), &size, sizeof(RAWINPUTHEADER)) != size)
            return;
        const RAWINPUT* raw = reinterpret_cast<const RAWINPUT*>(bytes.data());
        if (raw->header.dwType != RIM_TYPEKEYBOARD || !fromReceiver(raw->header.hDevice))
            return;
        const RAWKEYBOARD& key = raw->data.keyboard;
        if (key.Flags & RI_KEY_BREAK)
            return; // a release
        LONG scan = static_cast<LONG>(key.MakeCode) << 16;
        if (key.Flags & RI_KEY_E0)
            scan |= 1 << 24; // the extended key of the pair (arrows, right Ctrl and Alt)
        wchar_t name[64] = L"?";
        GetKeyNameTextW(scan, name, 64);
        std::printf("key vk %02X  %ls\n", key.VKey, name);
    }

    // The receiver's keyboard, by the hardware id in its device name.
    bool fromReceiver(HANDLE device) {
        for (const auto& known : _devices) {
            if (known.first == device)
                return known.second;
        }
        UINT chars = 0;
        GetRawInputDeviceInfoW(device, RIDI_DEVICENAME, nullptr, &chars);
        std::wstring name(chars, L'\0');
        bool ours = false;
        if (chars != 0 &&
            GetRawInputDeviceInfoW(device, RIDI_DEVICENAME, &name[0], &chars) != UINT(-1)) {
            wchar_t id[32];
            std::swprintf(id, 32, L"VID_%04X&PID_%04X", kVendor, kProduct);
            std::transform(name.begin(), name.end(), name.begin(), ::towupper);
            ours = name.find(id) != std::wstring::npos;
        }
        _devices.push_back({device, ours});
        return ours;
    }

    HWND _window = nullptr;
    std::vector<std::pair<HANDLE, bool>> _devices;
};

const char kUsage[] =
    "usage: ravo_reader [--wait S] [--idle S] [--caps] [--reports] [--raw-input]\n"
    "                   [--start FROM TO] [--probe HEX]... [--requests]\n"
    "\n"
    "Finds the IR receiver's HID collections (the ravo driver's device, HID vendor %04X\n"
    "product %04X), says which it found, then prints each key as a button is pressed:\n"
    "  key 07:1F  2\n"
    "the HID usages (page:usage) the system reads from the receiver's report, then their\n"
    "names. Ctrl+C ends it.\n"
    "\n"
    "  --wait S     wait this long for the collections to appear (default 10)\n"
    "  --idle S     end when no report came for S seconds (default: never)\n"
    "  --caps       print each collection's input capabilities too\n"
    "  --reports    print every report too, releases included\n"
    "  --raw-input  read the keyboard collection through Raw Input also where it could\n"
    "               be read directly (Windows holds it and leaves no choice)\n"
    "  --start FROM TO, --probe HEX, --requests   for the test run under Wine\n";

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    DWORD wait_ms = 10000, idle_ms = INFINITE;
    bool caps = false, reports = false, raw_input = false, requests = false;
    const char* start_from = nullptr;
    const char* start_to = nullptr;
    std::vector<std::string> probes;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            std::printf(kUsage, kVendor, kProduct);
            return 0;
        } else if (arg == "--wait" && i + 1 < argc)
            wait_ms = std::strtoul(argv[++i], nullptr, 10) * 1000;
        else if (arg == "--idle" && i + 1 < argc)
            idle_ms = std::strtoul(argv[++i], nullptr, 10) * 1000;
        else if (arg == "--caps")
            caps = true;
        else if (arg == "--reports")
            reports = true;
        else if (arg == "--raw-input")
            raw_input = true;
        else if (arg == "--requests")
            requests = true;
        else if (arg == "--start" && i + 2 < argc) {
            start_from = argv[++i];
            start_to = argv[++i];
        } else if (arg == "--probe" && i + 1 < argc)
            probes.push_back(argv[++i]);
        else {
            std::fprintf(stderr, kUsage, kVendor, kProduct);
            return 2;
        }
    }

    // The collections appear one by one once the class driver has read the descriptor
    // (a class driver may also show them all as one): wait until their number holds for
    // a second.
    std::vector<std::wstring> paths;
    size_t steady = 0;
    for (DWORD waited = 0; waited < wait_ms && steady < 5; waited += 200) {
        size_t before = paths.size();
        paths = findCollections();
        steady = !paths.empty() && paths.size() == before ? steady + 1 : 0;
        Sleep(200);
    }
    if (paths.empty()) {
        std::printf("no HID collection of %04X:%04X: is the receiver plugged in and its driver "
                    "installed? (windows\\INSTALL.md, troubleshooting)\n",
                    kVendor, kProduct);
        return 1;
    }
    std::printf("found the receiver: %zu HID collections of %04X:%04X\n", paths.size(), kVendor,
                kProduct);

    std::vector<Collection> collections(paths.size());
    std::vector<HANDLE> events;
    RawKeyboard keyboard;
    for (size_t i = 0; i < paths.size(); ++i) {
        Collection& c = collections[i];
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        c.file = CreateFileW(paths[i].c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        if (c.file == INVALID_HANDLE_VALUE) {
            // Held by Windows: without access rights the collection still tells its caps.
            c.held = true;
            c.file = CreateFileW(paths[i].c_str(), 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        if (c.file == INVALID_HANDLE_VALUE || !HidD_GetPreparsedData(c.file, &c.parsed) ||
            HidP_GetCaps(c.parsed, &c.caps) != HIDP_STATUS_SUCCESS) {
            std::printf("collection %zu: cannot open, error %lu\n", i, GetLastError());
            return 1;
        }
        bool isKeyboard = c.caps.UsagePage == 0x01 && c.caps.Usage == 0x06;
        c.held = c.held || (raw_input && isKeyboard);
        c.buffer.resize(c.caps.InputReportByteLength);
        c.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        printCollection(i, c);
        if (caps)
            printCaps(i, c);
        if (c.held && isKeyboard && !keyboard.started()) {
            if (!keyboard.start()) {
                std::printf("collection %zu: Raw Input refused, error %lu\n", i, GetLastError());
                return 1;
            }
            std::printf("collection %zu: Windows reads it; its keys come through Raw Input "
                        "(key vk NN lines)\n",
                        i);
        } else if (c.held) {
            std::printf("collection %zu: Windows reads it; this reader cannot\n", i);
        }
    }
    for (const std::string& p : probes)
        probe(collections, p);
    for (size_t i = 0; i < collections.size() && requests; ++i) {
        if (!sendRequests(i, paths[i].c_str(), collections[i].parsed))
            return 1;
    }

    size_t open = 0;
    for (Collection& c : collections) {
        events.push_back(c.overlapped.hEvent); // a held collection's never fires
        if (c.held)
            continue;
        if (!startRead(c)) {
            std::printf("read failed at once, error %lu\n", GetLastError());
            return 1;
        }
        ++open;
    }
    if (start_from != nullptr && !MoveFileA(start_from, start_to)) {
        std::printf("cannot rename %s, error %lu\n", start_from, GetLastError());
        return 1;
    }
    std::printf("reading %zu collections: press buttons on the remote (Ctrl+C ends)\n",
                collections.size());

    // Until every collection read ends (the receiver went), or, when only Raw Input is
    // read, until Ctrl+C or the idle time.
    const bool raw_only = keyboard.started() && open == 0;
    while (open != 0 || raw_only) {
        DWORD which = MsgWaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(),
                                                FALSE, idle_ms, QS_RAWINPUT);
        if (which == WAIT_TIMEOUT) {
            std::printf("no report for %lu s\n", idle_ms / 1000);
            break;
        }
        if (which == WAIT_OBJECT_0 + events.size()) {
            keyboard.pump();
            continue;
        }
        size_t i = which - WAIT_OBJECT_0;
        if (i >= collections.size())
            break;
        Collection& c = collections[i];
        DWORD got = 0;
        if (!GetOverlappedResult(c.file, &c.overlapped, &got, FALSE)) {
            std::printf("collection %zu: read ended, error %lu\n", i, GetLastError());
            ResetEvent(c.overlapped.hEvent);
            // A closed collection keeps an event that never fires again.
            events[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            --open;
            continue;
        }
        std::string names;
        std::string read = usages(c, c.buffer.data(), got, &names);
        if (reports)
            std::printf("report %s: %s\n", hex(c.buffer.data(), got).c_str(),
                        read.empty() ? "none" : read.c_str());
        if (!read.empty())
            std::printf("key %s  %s\n", read.c_str(), names.c_str());
        if (!startRead(c)) {
            std::printf("collection %zu: read ended, error %lu\n", i, GetLastError());
            events[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            --open;
        }
    }
    for (Collection& c : collections) {
        CancelIo(c.file);
        HidD_FreePreparsedData(c.parsed);
        CloseHandle(c.file);
    }
    std::printf("reader done\n");
    return 0;
}
