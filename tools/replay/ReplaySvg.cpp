#include "tools/replay/ReplaySvg.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace replay {

namespace {

constexpr double kLeft = 80;       // the time labels
constexpr double kPxPerUs = 0.004; // 4 px a millisecond: a row of 250 ms is 1000 px
constexpr double kRowHeight = 112;
constexpr double kFoldHeight = 26;         // a folded silence
constexpr uint64_t kRowLeadUs = 2000;      // a row begins this much ahead of what opened it
constexpr uint64_t kSignalEndsUs = 100000; // the receiver's end of a signal
constexpr double kWidth = kLeft + kSvgRowUs * kPxPerUs + 20;

std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

} // namespace

std::string markupText(const std::string& text, bool keepNonAscii) {
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
                out += c < 0x20 || c == 0x7F || (c >= 0x80 && !keepNonAscii) ? '?'
                                                                             : static_cast<char>(c);
        }
    }
    return out;
}

std::map<uint64_t, uint64_t>::const_iterator SvgPlot::rowOf(uint64_t timeUs) const {
    auto it = _rows.upper_bound(timeUs);
    if (it == _rows.begin()) {
        return _rows.end();
    }
    --it;
    return timeUs < it->second ? it : _rows.end();
}

bool SvgPlot::keep(uint64_t timeUs) {
    if (timeUs >= kSvgMaxUs) {
        _cut = true;
        return false;
    }
    if (rowOf(timeUs) != _rows.end()) {
        return true;
    }
    // A new row from here, a little ahead so that nothing sits on its left edge, until the
    // next row begins.
    auto next = _rows.upper_bound(timeUs);
    uint64_t start = timeUs >= kRowLeadUs ? timeUs - kRowLeadUs : 0;
    if (next != _rows.begin()) {
        start = std::max(start, std::prev(next)->second);
    }
    uint64_t end = start + kSvgRowUs;
    if (next != _rows.end()) {
        end = std::min(end, next->first);
    }
    // A row cut short by a signal after it may begin where this one would: it grows.
    auto [row, added] = _rows.emplace(start, end);
    if (!added) {
        row->second = std::max(row->second, end);
    }
    return true;
}

void SvgPlot::period(const irkit::IrTiming& period, uint64_t startUs) {
    if (!period.pulse) {
        return;
    }
    if (_pulses.size() >= kSvgMaxPulses) {
        _cut = true;
        return;
    }
    // A signal after a silence that ended the one before begins a row of its own.
    if (_anyPulse && startUs >= _lastPulseEndUs + kSignalEndsUs && startUs < kSvgMaxUs) {
        auto row = rowOf(startUs);
        // (Unless the row was opened just ahead of it, by the caption of its capture.)
        if (row != _rows.end() && startUs > row->first + kRowLeadUs) {
            _rows[row->first] = startUs - kRowLeadUs;
        }
    }
    _anyPulse = true;
    _lastPulseEndUs = startUs + period.microseconds;
    const uint64_t end = std::min<uint64_t>(startUs + period.microseconds, kSvgMaxUs);
    // A pulse may run on past the end of its row: it goes on in the next.
    for (uint64_t from = startUs; from < end;) {
        if (!keep(from)) {
            return;
        }
        auto row = rowOf(from);
        if (row == _rows.end()) {
            return; // cannot be: keep() made a row that holds it
        }
        const uint64_t to = std::min(end, row->second);
        _pulses.emplace_back(from, to);
        from = to;
    }
    if (startUs + period.microseconds > kSvgMaxUs) {
        _cut = true;
    }
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = std::string("cannot write the SVG to ") + path;
        return false;
    }
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" << render(endUs);
    out.close();
    if (!out) {
        *error = std::string("cannot write the SVG to ") + path;
        return false;
    }
    return true;
}

std::string SvgPlot::render(uint64_t endUs) const {
    endUs = std::min(endUs, kSvgMaxUs);
    // Rows one below the other; the silence between two rows folds into one line.
    std::map<uint64_t, double> rowTops;
    std::string body;
    double y = 40;
    uint64_t previousEnd = 0;
    for (const auto& [start, end] : _rows) {
        if (start > previousEnd) {
            char text[96];
            std::snprintf(text, sizeof text, "%.3f s to %.3f s: silence", previousEnd / 1e6,
                          start / 1e6);
            body += "<text x=\"" + num(kLeft) + "\" y=\"" + num(y + 12) +
                    "\" class=\"fold\">&#8942; " + text + "</text>\n";
            y += kFoldHeight;
        }
        rowTops[start] = y;
        char label[32];
        std::snprintf(label, sizeof label, "%.3f s", start / 1e6);
        body += "<text x=\"4\" y=\"" + num(y + 62) + "\" class=\"t\">" + label + "</text>\n";
        body += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(y + 70) + "\" x2=\"" +
                num(kLeft + (end - start) * kPxPerUs) + "\" y2=\"" + num(y + 70) +
                "\" class=\"axis\"/>\n";
        y += kRowHeight;
        previousEnd = end;
    }
    if (endUs > previousEnd + 1000) {
        char text[96];
        std::snprintf(text, sizeof text, "%.3f s to %.3f s: silence", previousEnd / 1e6,
                      endUs / 1e6);
        body += "<text x=\"" + num(kLeft) + "\" y=\"" + num(y + 12) + "\" class=\"fold\">&#8942; " +
                text + "</text>\n";
        y += kFoldHeight;
    }
    // Where a time is drawn: its row's top and its x; false when no row holds it.
    double rowTop = 0;
    uint64_t rowEnd = 0;
    auto place = [&](uint64_t timeUs, double* x) {
        auto row = rowOf(timeUs);
        if (row == _rows.end()) {
            return false;
        }
        rowTop = rowTops[row->first];
        rowEnd = row->second;
        *x = kLeft + (timeUs - row->first) * kPxPerUs;
        return true;
    };
    double x = 0;
    for (const auto& [start, end] : _pulses) {
        if (place(start, &x)) {
            body += "<rect x=\"" + num(x) + "\" y=\"" + num(rowTop + 48) + "\" width=\"" +
                    num(std::max(0.6, (end - start) * kPxPerUs)) +
                    "\" height=\"22\" class=\"pulse\"/>\n";
        }
    }
    for (const FrameVerdict& frame : _frames) {
        if (!place(frame.startUs, &x)) {
            continue;
        }
        const double width =
            std::max(2.0, (std::min(frame.endUs, rowEnd) - frame.startUs) * kPxPerUs);
        std::string cls = frame.fits ? "ok" : frame.repeatCode ? "rep" : "bad";
        std::string text;
        if (frame.fits) {
            char bytes[64];
            std::snprintf(bytes, sizeof bytes, "%02x %02x %02x %02x = 0x%02X", frame.bytes[0],
                          frame.bytes[1], frame.bytes[2], frame.bytes[3], frame.command);
            text = std::string(bytes) +
                   (frame.haveWorstBit ? ", worst bit " + marginText(frame.worstBit) : "");
        } else if (frame.repeatCode) {
            text = "repeat code";
        } else {
            text = "rejected: " + frame.reason;
        }
        body += "<g class=\"" + cls + "\"><title>" + markupText(describe(frame)) +
                "</title><rect x=\"" + num(x) + "\" y=\"" + num(rowTop + 6) + "\" width=\"" +
                num(width) + "\" height=\"36\" class=\"span\"/><text x=\"" + num(x + 2) +
                "\" y=\"" + num(rowTop + 18) + "\">" + markupText(text) + "</text></g>\n";
        if (frame.fits || frame.missed.window == nullptr) {
            continue;
        }
        // The window the period had to end in (at least a few pixels wide, to be seen),
        // and where it did end.
        const Measure& m = frame.missed;
        const uint64_t low = m.startUs + m.window->lowUs;
        const uint64_t high = m.startUs + m.window->highUs;
        const uint64_t actual = m.startUs + m.us;
        if (place(low, &x)) {
            const double width = std::max(5.0, (high - low) * kPxPerUs);
            const double middle = x + (high - low) * kPxPerUs / 2;
            body += "<rect x=\"" + num(middle - width / 2) + "\" y=\"" + num(rowTop + 44) +
                    "\" width=\"" + num(width) + "\" height=\"32\" class=\"window\"><title>" +
                    markupText(m.what) + " window " + windowText(*m.window) + "</title></rect>\n";
        }
        if (place(actual, &x)) {
            body += "<line x1=\"" + num(x) + "\" y1=\"" + num(rowTop + 40) + "\" x2=\"" + num(x) +
                    "\" y2=\"" + num(rowTop + 80) + "\" class=\"miss\"/><text x=\"" + num(x + 4) +
                    "\" y=\"" + num(rowTop + 34) + "\" class=\"misstext\">" +
                    markupText(marginText(m) + " " + m.what) + "</text>\n";
        }
    }
    for (const Mark& mark : _captures) {
        if (place(mark.timeUs, &x)) {
            body += "<text x=\"" + num(x) + "\" y=\"" + num(rowTop + 2) + "\" class=\"cap\">" +
                    markupText(mark.text) + "</text>\n";
        }
    }
    for (const Mark& mark : _reports) {
        if (!place(mark.timeUs, &x)) {
            continue;
        }
        const double textY = rowTop + (mark.release ? 106 : 92);
        const char* cls = mark.release ? "rel" : "key";
        body += "<g class=\"" + std::string(cls) + "\"><line x1=\"" + num(x) + "\" y1=\"" +
                num(rowTop + 44) + "\" x2=\"" + num(x) + "\" y2=\"" + num(textY - 9) +
                "\"/><text x=\"" + num(x + 2) + "\" y=\"" + num(textY) + "\">" +
                markupText((mark.release ? "" : "key ") + mark.text) + "</text></g>\n";
    }
    if (_cut) {
        body += "<text x=\"" + num(kLeft) + "\" y=\"" + num(y + 14) +
                "\" class=\"fold\">the drawing stops here (60 s or 200000 pulses); the replay "
                "went on</text>\n";
        y += kFoldHeight;
    }
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" +
           num(y + 10) + "\" viewBox=\"0 0 " + num(kWidth) + " " + num(y + 10) + "\">\n" +
           "<style>text{font:11px "
           "sans-serif;paint-order:stroke;stroke:#fff;stroke-width:3px;stroke-linejoin:round}.t{"
           "fill:#444}.fold{fill:#888;font-style:italic}"
           ".axis{stroke:#bbb}.pulse{fill:#222}.span{fill-opacity:.12;stroke-width:1}"
           ".ok .span{fill:#2a2;stroke:#2a2}.ok text{fill:#161}"
           ".bad .span{fill:#d22;stroke:#d22}.bad text{fill:#a11}"
           ".rep .span{fill:#888;stroke:#888}.rep text{fill:#666}"
           ".window{fill:#f90;fill-opacity:.45}.miss{stroke:#d00;stroke-width:2}"
           ".misstext{fill:#d00;font-weight:bold}.cap{fill:#639;font-weight:bold}"
           ".key line{stroke:#16c;stroke-width:2}.key text{fill:#16c;font-weight:bold}"
           ".rel line{stroke:#999;stroke-dasharray:3 2}.rel text{fill:#777}</style>\n" +
           "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n" +
           "<text x=\"4\" y=\"16\" class=\"t\">IR signal (pulses dark), frames above it "
           "(green decoded, red rejected with the missed window in orange), HID reports "
           "below (blue key, grey release); rows of up to 250 ms</text>\n" +
           body + "</svg>\n";
}

} // namespace replay
