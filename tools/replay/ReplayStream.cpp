#include "tools/replay/ReplayStream.h"

#include "irkit/DefaultCapture.h"
#include "irkit/Mode2.h"
#include "irkit/Packetizer.h"
#include "irkit/RlcEventStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

namespace replay {

namespace {

constexpr uint32_t kEndOfSignalUs = 100000;

// A path as it may be printed: bytes that are not printable text as \xNN.
std::string shownPath(const char* path) {
    std::string text;
    for (const char* c = path; *c != 0; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += *c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text;
}

// Why a path cannot be opened as a capture, or empty.
std::string openProblem(const char* path, std::ifstream& file) {
    struct stat info {};
    if (stat(path, &info) != 0) {
        return shownPath(path) + ": " + std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return shownPath(path) + ": a directory, not a capture file";
    }
    file.open(path, std::ios::binary);
    if (!file) {
        return shownPath(path) + ": cannot be read (" + std::strerror(errno) + ")";
    }
    return "";
}

std::string readerError(const char* path, const irkit::Mode2Reader& reader) {
    return shownPath(path) + ": " + reader.error();
}

} // namespace

std::string checkCapture(const char* path) {
    std::ifstream file;
    std::string problem = openProblem(path, file);
    if (!problem.empty()) {
        return problem;
    }
    irkit::Mode2Reader reader(file);
    irkit::IrTiming period{};
    bool any = false;
    while (reader.next(period)) {
        any = any || period.pulse;
    }
    if (!reader.ok()) {
        return readerError(path, reader);
    }
    if (!any) {
        return shownPath(path) + ": no pulse in the file";
    }
    return "";
}

PeriodSource::PeriodSource(std::vector<const char*> paths, uint32_t gapUs)
    : _paths(std::move(paths)), _gapUs(gapUs) {}

PeriodSource::PeriodSource(std::string title, irkit::Timings timings)
    : _gapUs(0), _builtIn(std::move(timings)), _givenTitle(std::move(title)) {}

PeriodSource::~PeriodSource() = default;

bool PeriodSource::openNext() {
    const bool builtIn = _paths.empty();
    if (_nextInput >= (builtIn ? 1 : _paths.size())) {
        return false;
    }
    _info = CaptureInfo{};
    _info.number = ++_nextInput;
    _info.startUs = _position + (_havePending ? _pending.microseconds : 0);
    if (builtIn && !_givenTitle.empty()) {
        _info.title = _givenTitle;
        _builtInNext = 0;
    } else if (builtIn) {
        _info.title = "built-in default capture: an NEC remote, address 0x04";
        int number = 1;
        for (const auto& button : irkit::defaultCaptureButtons()) {
            char line[160];
            std::snprintf(line, sizeof line, "%d. command 0x%02X, %u frame(s)%s: %s", number++,
                          button.command, button.frames,
                          button.repeatCodes != 0 ? " and repeat codes" : "", button.name);
            _info.notes.push_back(line);
        }
        _info.notes.push_back("with noise bursts between some buttons and 250 ms of silence "
                              "after each");
        _builtIn = irkit::defaultCapture();
        _builtInNext = 0;
    } else {
        const char* path = _paths[_nextInput - 1];
        if (std::strcmp(path, "-") == 0) {
            _info.title = "standard input";
            _reader = std::make_unique<irkit::Mode2Reader>(std::cin);
        } else {
            _info.title = shownPath(path);
            _file = std::ifstream();
            std::string problem = openProblem(path, _file);
            if (!problem.empty()) {
                _error = problem;
                return false;
            }
            _reader = std::make_unique<irkit::Mode2Reader>(_file);
        }
    }
    _open = true;
    if (onCaptureStart) {
        onCaptureStart(_info);
    }
    return true;
}

void PeriodSource::closeCurrent() {
    if (_reader != nullptr && !_reader->note().empty()) {
        _info.notes.push_back(_reader->note());
    }
    _info.endUs = _position + (_havePending ? _pending.microseconds : 0);
    _reader.reset();
    _file.close();
    _builtIn.clear();
    _builtIn.shrink_to_fit();
    _open = false;
    _gapDue = true;
    if (onCaptureEnd) {
        onCaptureEnd(_info);
    }
}

// One period of the inputs as they stand, gaps included, not yet merged.
bool PeriodSource::rawNext(irkit::IrTiming& period) {
    while (!_ended) {
        if (!_open) {
            const bool more = _nextInput < (_paths.empty() ? 1 : _paths.size());
            if (!more || !_error.empty()) {
                _ended = true;
                break;
            }
            if (_gapDue && _gapUs != 0) {
                _gapDue = false;
                period = irkit::space(_gapUs);
                return true;
            }
            if (!openNext()) {
                _ended = true;
                break;
            }
        }
        bool got = false;
        if (_reader != nullptr) {
            got = _reader->next(period);
            if (!got && !_reader->ok()) {
                _error = (_info.title == "standard input" ? std::string("standard input")
                                                          : _info.title) +
                         ": " + _reader->error();
            }
        } else if (_builtInNext < _builtIn.size()) {
            period = _builtIn[_builtInNext++];
            got = true;
        }
        if (got) {
            _info.periods++;
            return true;
        }
        closeCurrent();
        if (!_error.empty()) {
            _ended = true;
        }
    }
    return false;
}

bool PeriodSource::next(irkit::IrTiming& period, uint64_t& startUs) {
    irkit::IrTiming raw{};
    while (rawNext(raw)) {
        if (raw.microseconds == 0) {
            continue;
        }
        if (!_havePending) {
            _pending = raw;
            _havePending = true;
            continue;
        }
        if (_pending.pulse == raw.pulse && _pending.microseconds <= UINT32_MAX - raw.microseconds) {
            _pending.microseconds += raw.microseconds;
            continue;
        }
        // A silence past 71 minutes goes on in a second space; the packets merge them.
        period = _pending;
        startUs = _position;
        _position += _pending.microseconds;
        _pending = raw;
        return true;
    }
    if (_havePending) {
        _havePending = false;
        period = _pending;
        startUs = _position;
        _position += _pending.microseconds;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------

bool PacketStream::next(StreamPacket& packet) {
    while (_readyNext >= _ready.size()) {
        _ready.clear();
        _readyNext = 0;
        if (_finished) {
            return false;
        }
        irkit::IrTiming period{};
        uint64_t start = 0;
        if (_source.next(period, start)) {
            if (onPeriod) {
                onPeriod(period, start);
            }
            _events.add(period);
            _position = _events.position();
        } else {
            finish();
        }
    }
    packet = std::move(_ready[_readyNext++]);
    return true;
}

PacketStream::PacketStream(PeriodSource& source)
    : _source(source), _events(kEndOfSignalUs, [this](const irkit::RlcEvent& event) {
          if (event.kind == irkit::RlcEvent::Kind::EndOfSignal)
              marker(event.timeUs);
          else
              sample(event.pulse, event.units, event.timeUs);
      }) {}

void PacketStream::finish() {
    _finished = true;
    if (onEnd) {
        onEnd();
    }
    // Silence follows the captures: a trailing space becomes the start of that silence.
    const uint64_t silenceStart = _events.endPeriods(true);
    _position = _events.position();
    if (_events.endSignal(silenceStart)) {
        _position = std::max(_position, silenceStart + kEndOfSignalUs);
    }
    closeGroup();
    if (!_current.bytes.empty()) {
        _ready.push_back(std::move(_current));
        _current = StreamPacket{};
    }
}

void PacketStream::sample(bool pulse, uint8_t units, uint64_t timeUs) {
    _group[_groupSize++] =
        Byte{static_cast<uint8_t>((pulse ? irkit::kRlcPulseBit : 0) | units), timeUs, false};
    if (_groupSize == irkit::kRlcMaxGroupSamples) {
        closeGroup();
    }
}

void PacketStream::marker(uint64_t timeUs) {
    closeGroup();
    put(Byte{irkit::kRlcEndOfSignal, timeUs, true});
}

// The header is known once the group's last sample is.
void PacketStream::closeGroup() {
    if (_groupSize == 0) {
        return;
    }
    put(Byte{static_cast<uint8_t>(irkit::kRlcGroupHeader + _groupSize),
             _group[_groupSize - 1].timeUs, false});
    for (size_t k = 0; k < _groupSize; ++k) {
        put(_group[k]);
    }
    _groupSize = 0;
}

void PacketStream::put(Byte byte) {
    _current.bytes.push_back(byte.value);
    _current.timeUs = std::max(_current.timeUs, byte.timeUs);
    _current.marker = byte.endsPacket;
    if (byte.endsPacket || _current.bytes.size() >= irkit::kReceiverPacketBytes) {
        const uint64_t time = _current.timeUs;
        _ready.push_back(std::move(_current));
        _current = StreamPacket{};
        _current.timeUs = time;
    }
}

} // namespace replay
