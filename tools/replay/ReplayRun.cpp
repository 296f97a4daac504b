#include "tools/replay/ReplayRun.h"

#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/Device.h"
#include "frame/DriverEntry.h"
#include "frame/MinidriverExtension.h"
#include "tools/DecodeHalf.h"
#include "tools/replay/ReplayFrames.h"
#include "tools/replay/ReplayStream.h"
#include "tools/replay/ReplaySvg.h"

#include <cstdio>
#include <deque>

namespace replay {

namespace {

// The reads the driver keeps outstanding on the data pipe.
constexpr size_t kDriverReads = 16;
constexpr int kGuardMs = 5000;
// The bus logs every request for the tests; the replay reads none of it, and the log must
// not grow with the capture.
constexpr size_t kPacketsBetweenLogClears = 4096;
// The driver's number for the RC5 decoder.
constexpr ULONG kRc5ProtocolNumber = 0;

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

void printPacket(const StreamPacket& packet, const ravo_tools::DecodeHalf::PacketOutcome& got) {
    std::string gave;
    if (got.keyDecoded) {
        char text[48];
        std::snprintf(text, sizeof text, "frame: command 0x%02X", got.key);
        gave = text;
    }
    // The parser also reports a release for the first packet after it starts; only a
    // packet that holds the marker ends a signal.
    if (packet.marker) {
        gave += gave.empty() ? "end of signal" : ", end of signal";
    }
    std::printf("%s  packet %2zu bytes: %s%s%s\n", seconds(packet.timeUs).c_str(),
                packet.bytes.size(), hexBytes(packet.bytes).c_str(), gave.empty() ? "" : "  -> ",
                gave.c_str());
}

// What is said when a capture begins and ends, at the time it does.
struct Caption {
    uint64_t timeUs;
    std::string text;
};

std::string startCaption(const CaptureInfo& info) {
    char line[64];
    std::snprintf(line, sizeof line, "Capture %zu from %.3f s: ", info.number, info.startUs / 1e6);
    std::string text = line + info.title + "\n";
    for (const auto& note : info.notes) {
        text += "  " + note + "\n";
    }
    return text;
}

std::string endCaption(const CaptureInfo& info) {
    char line[128];
    std::snprintf(line, sizeof line, "%s  capture %zu ends: %llu periods, %.3f s\n",
                  seconds(info.endUs).c_str(), info.number,
                  static_cast<unsigned long long>(info.periods), (info.endUs - info.startUs) / 1e6);
    std::string text = line;
    for (const auto& note : info.notes) {
        if (note.rfind("skipped", 0) == 0) {
            text += "  " + note + "\n";
        }
    }
    return text;
}

// Pairs the frames that fit every window with the frames the decoder reported, in order:
// a frame is reported with the packet that holds the space behind it, which may be read
// before or after its verdict is decided.
class FrameMatcher {
public:
    FrameMatcher(ReplayOutcome* outcome, bool quiet) : _outcome(outcome), _quiet(quiet) {}
    void fits(const FrameVerdict& verdict) {
        _fits.push_back(Frame{verdict.endUs, verdict.command, verdict.startUs});
        match();
    }
    void decoded(uint64_t timeUs, ULONG command) {
        // A decoded frame the windows do not explain has nothing to wait for.
        if (_decoded.size() < kMostWaiting) {
            _decoded.push_back(Frame{timeUs, static_cast<int>(command), timeUs});
        }
        match();
    }
    // A frame is reported with the packet that holds the space behind it, which a run of
    // repeat codes may fill slowly, but never seconds later: frames still waiting then were
    // not decoded, and the wait stays short however long the capture.
    void expire(uint64_t nowUs) {
        while (!_fits.empty() && _fits.front().timeUs + kLongestWaitUs < nowUs) {
            lost(_fits.front());
            _fits.pop_front();
        }
    }
    void finish() {
        for (const Frame& frame : _fits) {
            lost(frame);
        }
        _fits.clear();
    }

private:
    struct Frame {
        uint64_t timeUs; // fitting frame: its end; decoded frame: its packet
        int command;
        uint64_t startUs;
    };
    static constexpr size_t kMostWaiting = 8;
    static constexpr uint64_t kLongestWaitUs = 5000000;

    void match() {
        while (!_fits.empty() && !_decoded.empty()) {
            const Frame& decoded = _decoded.front();
            if (decoded.timeUs < _fits.front().timeUs) {
                _decoded.pop_front();
                continue;
            }
            // The decoded frame belongs to the latest fitting frame that ended before it.
            if ((_fits.size() >= 2 && _fits[1].timeUs <= decoded.timeUs) ||
                _fits.front().command != decoded.command) {
                lost(_fits.front());
                _fits.pop_front();
                continue;
            }
            _fits.pop_front();
            _decoded.pop_front();
        }
    }
    void lost(const Frame& frame) {
        _outcome->lost++;
        if (_quiet) {
            return;
        }
        std::printf("%s  NEC frame (command 0x%02X) fit every window but was not decoded\n",
                    seconds(frame.startUs).c_str(), frame.command);
    }
    ReplayOutcome* _outcome;
    bool _quiet;
    std::deque<Frame> _fits;
    std::deque<Frame> _decoded;
};

} // namespace

bool runThroughDriver(const Options& options, ReplayOutcome* outcome, std::string* error) {
    PeriodSource source(options.paths, options.gapUs);
    return runThroughDriver(options, source, outcome, error, nullptr);
}

bool runThroughDriver(const Options& options, PeriodSource& source, ReplayOutcome* outcome,
                      std::string* error, RunRecord* record) {
    const bool rc5 = options.protocol == Protocol::Rc5;
    const bool quiet = record != nullptr;
    outcome->rc5 = rc5;
    PacketStream stream(source);
    FrameAnalyzer frames;
    SvgPlot plot;
    SvgPlot* svg = (quiet ? record->drawSvg : options.svgPath != nullptr) ? &plot : nullptr;
    // Captions wait for the packets of their time, since the stream reads a little ahead.
    std::deque<Caption> captions;
    source.onCaptureStart = [&](const CaptureInfo& info) {
        captions.push_back(Caption{info.startUs, startCaption(info)});
        if (svg != nullptr) {
            char title[64];
            std::snprintf(title, sizeof title, "capture %zu: ", info.number);
            svg->capture(info.startUs, title + info.title);
        }
    };
    source.onCaptureEnd = [&](const CaptureInfo& info) {
        captions.push_back(Caption{info.endUs, endCaption(info)});
    };
    stream.onPeriod = [&](const irkit::IrTiming& period, uint64_t start) {
        if (!rc5) {
            frames.add(period, start);
        }
        if (svg != nullptr) {
            svg->period(period, start);
        }
    };
    // The last frame is decided before the packets that end its signal are sent.
    stream.onEnd = [&]() { frames.finish(); };
    FrameMatcher matcher(outcome, quiet);
    bool header = false;
    auto showFrames = [&](uint64_t untilUs) {
        while (!captions.empty() && captions.front().timeUs <= untilUs) {
            if (!quiet) {
                std::fputs(captions.front().text.c_str(), stdout);
            }
            captions.pop_front();
            if (!header && !quiet) {
                printReportHeader();
                header = true;
            }
        }
        FrameVerdict verdict;
        while (frames.take(verdict)) {
            outcome->frames++;
            outcome->repeatCodes += verdict.repeatCode ? 1 : 0;
            outcome->rejected += !verdict.fits && !verdict.repeatCode ? 1 : 0;
            if (verdict.fits) {
                matcher.fits(verdict);
            }
            if (quiet) {
                record->verdicts.push_back(verdict);
            } else {
                std::printf("%s  %s\n", seconds(verdict.startUs).c_str(),
                            describe(verdict).c_str());
            }
            if (svg != nullptr) {
                svg->frame(verdict);
            }
        }
    };

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
        if (NT_SUCCESS(status) && rc5) {
            // The driver always creates the NEC decoder when it starts, unless the device
            // already holds one: it is given the RC5 decoder (made by the driver, from its
            // pool) before the start, so no transfer ever runs with another decoder.
            Device* device = minidriverExtension(hidclass.fdo())->_p_device;
            device->_p_protocol = device->createProtocolObject(kRc5ProtocolNumber);
            if (device->_p_protocol == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
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
        // behind each report and counts the frames for the summary.
        ravo_tools::DecodeHalf shadow(0, rc5);
        const LONGLONG start = emu::clock::now();
        StreamPacket packet;
        while (stream.next(packet)) {
            showFrames(packet.timeUs);
            LONGLONG at = start + static_cast<LONGLONG>(packet.timeUs) * 10;
            LONGLONG now = emu::clock::now();
            if (at > now) {
                emu::clock::advance(at - now);
            }
            ravo_tools::DecodeHalf::PacketOutcome got =
                shadow.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()));
            outcome->packets++;
            outcome->markers += packet.marker ? 1 : 0;
            if (got.keyDecoded) {
                outcome->decodedFrames++;
                outcome->byCommand[got.key]++;
                if (quiet) {
                    record->decoded.push_back(got.key);
                }
                matcher.decoded(packet.timeUs, got.key);
            }
            matcher.expire(packet.timeUs);
            if (outcome->packets % kPacketsBetweenLogClears == 0) {
                receiver.clearRequests();
            }
            // The class driver's key events carry the reports; its reads keep them too.
            if (hidclass.reads() != nullptr) {
                (void)hidclass.reads()->take();
            }
            receiver.queueInPacket(packet.bytes);
            if (!settle(receiver, kDriverReads)) {
                *error = "the driver stopped reading the receiver";
                ok = false;
                break;
            }
            if (options.packets && !quiet) {
                printPacket(packet, got);
            }
            for (const emu::hid::KeyEvent& key : hidclass.keys().take()) {
                PrintedReport report{static_cast<uint64_t>((key.time - start) / 10),
                                     got.keyDecoded ? static_cast<int>(got.key) : -1, key.report};
                if (quiet) {
                    record->reports.push_back(report);
                } else {
                    printReport(report);
                }
                const bool release = isKeyboardRelease(report.bytes);
                outcome->keys += release ? 0 : 1;
                if (svg != nullptr) {
                    svg->report(report.timeUs, reportMeaning(report.bytes), release);
                }
            }
        }
        if (ok) {
            showFrames(UINT64_MAX);
            matcher.finish();
            outcome->endUs = stream.position();
        }
        outcome->longestPulseUs = frames.longestPulseUs();
        // The shadow's objects come from the driver's pool: gone before the unload checks.
    }
    if (options.driverLog) {
        emu::debuglog::setLineSink(nullptr);
    }
    if (ok && !source.error().empty()) {
        *error = source.error() + " (replayed up to that line)";
        ok = false;
    }
    if (ok && svg != nullptr && quiet) {
        record->svg = svg->render(stream.position());
    } else if (ok && svg != nullptr) {
        ok = svg->write(options.svgPath, stream.position(), error);
        if (ok) {
            std::printf("SVG written to %s%s\n", options.svgPath,
                        svg->cut() ? " (the first 60 s only; the replay went on)" : "");
        }
    }
    return ok;
}

} // namespace replay
