#include "tools/replay/ReplaySvg.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace replay {

namespace {

constexpr double kLeft = 80;        // the time labels
constexpr double kPxPerUs = 0.004;  // 4 px a millisecond: a row of 250 ms is 1000 px
constexpr double kRowHeight = 112;
constexpr double kFoldHeight = 18;  // a fold of silent rows
constexpr double kWidth = kLeft + kSvgRowUs * kPxPerUs + 20;

// Text as XML character data: markup characters escaped, and bytes that are not printable
// ASCII (a path may hold anything) shown as '?', so the file is always well-formed.
std::string xml(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
    }
    return out;
}

std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

} // namespace

bool SvgPlot::keep(uint64_t timeUs) {
    if (timeUs >= kSvgMaxUs) {
        _cut = true;
        return false;
    }
    _rows.insert(timeUs / kSvgRowUs);
    return true;
}

void SvgPlot::period(const irkit::IrTiming& period, uint64_t startUs) {
    if (!period.pulse || !keep(startUs)) {
        return;
    }
    const uint64_t end = std::min<uint64_t>(startUs + period.microseconds, kSvgMaxUs);
    for (uint64_t row = startUs / kSvgRowUs; row <= (end - 1) / kSvgRowUs; row++) {
        _rows.insert(row);
    }
    _pulses.emplace_back(startUs, end);
}

void SvgPlot::frame(const FrameVerdict& verdict) {
    if (keep(verdict.startUs)) {
        _frames.push_back(verdict);
    }
}

void SvgPlot::report(uint64_t timeUs, const std::string& meaning, bool release) {
    if (keep(timeUs)) {
        _reports.push_back(Mark{timeUs, meaning, release});
    }
}

void SvgPlot::capture(uint64_t startUs, const std::string& title) {
    if (keep(startUs)) {
        _captures.push_back(Mark{startUs, title, false});
    }
}

bool SvgPlot::write(const char* path, uint64_t endUs, std::string* error) const {
    endUs = std::min(endUs, kSvgMaxUs);
    // Each row with something in it gets its place; runs of empty rows fold into one line.
    std::vector<std::pair<uint64_t, double>> rowY; // row, top
    std::string folds;
    double y = 40;
    const uint64_t lastRow = endUs == 0 ? 0 : (endUs - 1) / kSvgRowUs;
    for (uint64_t row = 0; row <= lastRow;) {
        if (_rows.count(row) != 0) {
            rowY.emplace_back(row, y);
            y += kRowHeight;
            row++;
            continue;
        }
        uint64_t empty = row;
        while (empty <= lastRow && _rows.count(empty) == 0) {
            empty++;
        }
        char text[96];
        std::snprintf(text, sizeof text, "%.3f s to %.3f s: silence", row * kSvgRowUs / 1e6,
                      std::min(empty * kSvgRowUs, endUs) / 1e6);
        folds += "<text x=\"" + num(kLeft) + "\" y=\"" + num(y + 12) +
                 "\" class=\"fold\">&#8942; " + text + "</text>\n";
        y += kFoldHeight;
        row = empty;
    }
    auto top = [&](uint64_t timeUs, double* rowTop) {
        const uint64_t row = timeUs / kSvgRowUs;
        auto it = std::lower_bound(rowY.begin(), rowY.end(), std::make_pair(row, -1.0));
        if (it == rowY.end() || it->first != row) {
            return false;
        }
        *rowTop = it->second;
        return true;
    };
    auto x = [](uint64_t timeUs) { return kLeft + (timeUs % kSvgRowUs) * kPxPerUs; };

    std::string body;
    for (const auto& [row, rowTop] : rowY) {
        char label[32];
        std::snprintf(label, sizeof label, "%.3f s", row * kSvgRowUs / 1e6);
        body += "<text x=\"4\" y=\"" + num(rowTop + 62) + "\" class=\"t\">" + label + "</text>\n";
        body += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(rowTop + 70) + "\" x2=\"" +
                num(kLeft + kSvgRowUs * kPxPerUs) + "\" y2=\"" + num(rowTop + 70) +
                "\" class=\"axis\"/>\n";
    }
    double rowTop = 0;
    for (const auto& [start, end] : _pulses) {
        // A pulse may run over the end of its row.
        for (uint64_t from = start; from < end;) {
            const uint64_t to = std::min(end, (from / kSvgRowUs + 1) * kSvgRowUs);
            if (top(from, &rowTop)) {
                body += "<rect x=\"" + num(x(from)) + "\" y=\"" + num(rowTop + 48) + "\" width=\"" +
                        num(std::max(0.6, (to - from) * kPxPerUs)) +
                        "\" height=\"22\" class=\"pulse\"/>\n";
            }
            from = to;
        }
    }
    for (const FrameVerdict& frame : _frames) {
        if (!top(frame.startUs, &rowTop)) {
            continue;
        }
        const double x0 = x(frame.startUs);
        const double width =
            std::max(2.0, std::min<uint64_t>(frame.endUs - frame.startUs,
                                             kSvgRowUs - frame.startUs % kSvgRowUs) *
                              kPxPerUs);
        std::string cls = frame.fits ? "ok" : frame.repeatCode ? "rep" : "bad";
        std::string text;
        if (frame.fits) {
            char bytes[64];
            std::snprintf(bytes, sizeof bytes, "%02x %02x %02x %02x = 0x%02X", frame.bytes[0],
                          frame.bytes[1], frame.bytes[2], frame.bytes[3], frame.command);
            text = std::string(bytes) + (frame.haveWorstBit
                                             ? ", worst bit " + marginText(frame.worstBit)
                                             : "");
        } else if (frame.repeatCode) {
            text = "repeat code";
        } else {
            text = "rejected: " + frame.reason;
        }
        body += "<g class=\"" + cls + "\"><title>" + xml(describe(frame)) + "</title><rect x=\"" +
                num(x0) + "\" y=\"" + num(rowTop + 6) + "\" width=\"" + num(width) +
                "\" height=\"38\" class=\"span\"/><text x=\"" + num(x0 + 2) + "\" y=\"" +
                num(rowTop + 18) + "\">" + xml(text) + "</text></g>\n";
        if (!frame.fits && frame.missed.window != nullptr) {
            // The window the period had to end in, and where it ended.
            const Measure& m = frame.missed;
            const uint64_t low = m.startUs + m.window->lowUs;
            const uint64_t high = m.startUs + m.window->highUs;
            const uint64_t actual = m.startUs + m.us;
            if (top(low, &rowTop) && low / kSvgRowUs == high / kSvgRowUs) {
                body += "<rect x=\"" + num(x(low)) + "\" y=\"" + num(rowTop + 44) +
                        "\" width=\"" + num(std::max(1.0, (high - low) * kPxPerUs)) +
                        "\" height=\"30\" class=\"window\"><title>" + xml(m.what) + " window " +
                        windowText(*m.window) + "</title></rect>\n";
            }
            if (top(actual, &rowTop)) {
                body += "<line x1=\"" + num(x(actual)) + "\" y1=\"" + num(rowTop + 40) +
                        "\" x2=\"" + num(x(actual)) + "\" y2=\"" + num(rowTop + 76) +
                        "\" class=\"miss\"/><text x=\"" + num(x(actual) + 3) + "\" y=\"" +
                        num(rowTop + 32) + "\" class=\"misstext\">" +
                        xml(marginText(m) + " " + m.what) + "</text>\n";
            }
        }
    }
    for (const Mark& mark : _captures) {
        if (top(mark.timeUs, &rowTop)) {
            body += "<text x=\"" + num(x(mark.timeUs)) + "\" y=\"" + num(rowTop - 2) +
                    "\" class=\"cap\">" + xml(mark.text) + "</text>\n";
        }
    }
    for (const Mark& mark : _reports) {
        if (!top(mark.timeUs, &rowTop)) {
            continue;
        }
        const double at = x(mark.timeUs);
        const double textY = rowTop + (mark.release ? 106 : 92);
        const char* cls = mark.release ? "rel" : "key";
        body += "<g class=\"" + std::string(cls) + "\"><line x1=\"" + num(at) + "\" y1=\"" +
                num(rowTop + 44) + "\" x2=\"" + num(at) + "\" y2=\"" + num(textY - 9) +
                "\"/><text x=\"" + num(at + 2) + "\" y=\"" + num(textY) + "\">" +
                xml((mark.release ? "" : "key ") + mark.text) + "</text></g>\n";
    }
    if (_cut) {
        body += "<text x=\"" + num(kLeft) + "\" y=\"" + num(y + 14) +
                "\" class=\"fold\">the drawing stops at 60 s; the replay went on</text>\n";
        y += kFoldHeight;
    }

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = std::string("cannot write the SVG to ") + path;
        return false;
    }
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(kWidth) << "\" height=\""
        << num(y + 10) << "\" viewBox=\"0 0 " << num(kWidth) << " " << num(y + 10) << "\">\n"
        << "<style>text{font:11px sans-serif}.t{fill:#444}.fold{fill:#888;font-style:italic}"
           ".axis{stroke:#bbb}.pulse{fill:#222}.span{fill-opacity:.12;stroke-width:1}"
           ".ok .span{fill:#2a2;stroke:#2a2}.ok text{fill:#161}"
           ".bad .span{fill:#d22;stroke:#d22}.bad text{fill:#a11}"
           ".rep .span{fill:#888;stroke:#888}.rep text{fill:#666}"
           ".window{fill:#f90;fill-opacity:.45}.miss{stroke:#d00;stroke-width:2}"
           ".misstext{fill:#d00;font-weight:bold}.cap{fill:#639;font-weight:bold}"
           ".key line{stroke:#16c;stroke-width:2}.key text{fill:#16c;font-weight:bold}"
           ".rel line{stroke:#999;stroke-dasharray:3 2}.rel text{fill:#777}</style>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n"
        << "<text x=\"4\" y=\"16\" class=\"t\">IR signal (pulses dark), frames above it "
           "(green decoded, red rejected with the missed window in orange), HID reports "
           "below (blue key, grey release); rows of 250 ms</text>\n"
        << folds << body << "</svg>\n";
    out.close();
    if (!out) {
        *error = std::string("cannot write the SVG to ") + path;
        return false;
    }
    return true;
}

} // namespace replay
