#include "tools/replay/ReplayRun.h"

#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/DriverEntry.h"
#include "irkit/DefaultCapture.h"
#include "irkit/Mode2.h"
#include "irkit/Packetizer.h"
#include "tools/DecodeHalf.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace replay {

bool loadCapture(const char* path, CaptureSource* source, std::string* error) {
    if (path == nullptr) {
        source->title = "built-in default capture: an NEC remote, address 0x04";
        int number = 1;
        for (const auto& button : irkit::defaultCaptureButtons()) {
            char line[160];
            std::snprintf(line, sizeof line, "%d. command 0x%02X, %u frame(s)%s: %s", number++,
                          button.command, button.frames,
                          button.repeatCodes != 0 ? " and repeat codes" : "", button.name);
            source->notes.push_back(line);
        }
        source->notes.push_back("with noise bursts between some buttons and 250 ms of silence "
                                "after each");
        source->timings = irkit::defaultCapture();
        return true;
    }
    irkit::Mode2Result result = irkit::readMode2File(path);
    if (!result.ok()) {
        // The reader names the file itself in most of its messages.
        bool named = result.error.find(path) != std::string::npos;
        *error = named ? result.error : std::string(path) + ": " + result.error;
        return false;
    }
    if (result.timings.empty()) {
        *error = std::string(path) + ": no pulse or space in the file";
        return false;
    }
    source->title = path;
    source->timings = std::move(result.timings);
    return true;
}

namespace {

// The reads the driver keeps outstanding on the data pipe.
constexpr size_t kDriverReads = 16;
constexpr int kGuardMs = 5000;

// Waits (real time) until the driver has taken every queued packet, parsed it and sent
// its buffer back as a new read: the reports of the packet have been delivered by then.
bool settle(const emu::usb::VirtualReceiver& receiver, size_t reads) {
    return receiver.waitUntilIdle(kGuardMs) &&
           receiver.waitForWaitingTransfers(reads, 0x81, kGuardMs);
}

std::string statusText(const char* what, NTSTATUS status, const std::string& why) {
    char text[64];
    std::snprintf(text, sizeof text, "%s failed (0x%08X)", what, static_cast<unsigned>(status));
    return why.empty() ? text : std::string(text) + ": " + why;
}

void printPacket(const irkit::UsbPacket& packet, const ravo_tools::DecodeHalf::PacketOutcome& got) {
    std::string gave;
    if (got.keyDecoded) {
        char text[48];
        std::snprintf(text, sizeof text, "frame: command 0x%02X", got.key);
        gave = text;
    }
    if (got.released) {
        gave += gave.empty() ? "end of signal" : ", end of signal";
    }
    std::printf("%s  packet %2zu bytes: %s%s%s\n", seconds(packet.timeUs).c_str(),
                packet.bytes.size(), hexBytes(packet.bytes).c_str(), gave.empty() ? "" : "  -> ",
                gave.c_str());
}

} // namespace

bool runThroughDriver(const Options& options, const CaptureSource& source, ReplayOutcome* outcome,
                      std::string* error) {
    // The receiver's view: 32-byte packets, a silence of 100 ms or more ends a signal.
    irkit::PacketizerOptions packetizer;
    const std::vector<irkit::RlcEvent> events = irkit::toRlcEvents(source.timings, packetizer);
    const std::vector<irkit::UsbPacket> packets = irkit::packetizeEvents(events, packetizer);
    outcome->packets = packets.size();

    if (options.driverLog) {
        emu::debuglog::setLineSink(
            [](const emu::DebugLine& line) { std::printf("      | %s\n", line.text.c_str()); });
    }
    // Manual time: the clock stands still while the driver works on a packet, so every
    // report carries the time of the packet that produced it, and the capture's seconds
    // cost no real time.
    emu::clock::useManualTime();
    bool ok = true;
    {
        emu::usb::VirtualReceiver receiver;
        emu::hid::ClassDriver hidclass(&DriverEntry);
        NTSTATUS status = hidclass.load();
        if (!NT_SUCCESS(status)) {
            *error = statusText("loading the driver", status, hidclass.lastError());
            return false;
        }
        status = hidclass.addDevice(receiver.pdo());
        if (NT_SUCCESS(status)) {
            status = hidclass.start();
        }
        if (!NT_SUCCESS(status)) {
            *error = statusText("starting the device", status, hidclass.lastError());
            return false;
        }
        if (!receiver.waitForWaitingTransfers(kDriverReads, 0x81, kGuardMs)) {
            *error = "the driver did not keep its reads on the data pipe";
            return false;
        }

        // The decode half beside the driver, fed the same packets, names the IR command
        // behind each report and counts frames and end-of-signal markers for the summary.
        ravo_tools::DecodeHalf shadow(0);
        printReportHeader();
        const LONGLONG start = emu::clock::now();
        for (const auto& packet : packets) {
            LONGLONG at = start + static_cast<LONGLONG>(packet.timeUs) * 10;
            LONGLONG now = emu::clock::now();
            if (at > now) {
                emu::clock::advance(at - now);
            }
            ravo_tools::DecodeHalf::PacketOutcome got =
                shadow.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()));
            if (got.keyDecoded) {
                outcome->decoded.emplace_back(packet.timeUs, got.key);
            }
            outcome->markers += got.released ? 1 : 0;
            receiver.queueInPacket(packet.bytes);
            if (!settle(receiver, kDriverReads)) {
                *error = "the driver stopped reading the receiver";
                ok = false;
                break;
            }
            if (options.packets) {
                printPacket(packet, got);
            }
            for (const emu::hid::KeyEvent& key : hidclass.keys().take()) {
                PrintedReport report{static_cast<uint64_t>((key.time - start) / 10),
                                     got.keyDecoded ? static_cast<int>(got.key) : -1, key.report};
                printReport(report);
                outcome->reports.push_back(report);
            }
        }
        // The shadow's objects come from the driver's pool: gone before the unload checks.
    }
    if (options.driverLog) {
        emu::debuglog::setLineSink(nullptr);
    }
    return ok;
}

} // namespace replay
