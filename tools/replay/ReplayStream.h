// The captures as one stream of periods, and the receiver's USB packets made from it as it
// is read: memory stays the same however long the captures are (one line of text, one
// period and one packet at a time).
#pragma once

#include "irkit/IrTiming.h"
#include "irkit/RlcEventStream.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace irkit {
class Mode2Reader;
}

namespace replay {

// One capture of the stream: a file, standard input ("-") or the built-in capture.
struct CaptureInfo {
    size_t number = 0; // 1-based
    std::string title; // the path, "standard input" or the built-in capture's description
    uint64_t startUs = 0;
    uint64_t endUs = 0; // once it has been read
    uint64_t periods = 0;
    std::vector<std::string> notes; // what the built-in capture holds; lines the reader skipped
};

// Says what is wrong with a path before anything is replayed: a directory, a file that
// cannot be read, a line that is not mode2. Empty when the file is good. Reads the file
// through once, in constant memory.
std::string checkCapture(const char* path);

// The periods of every capture in turn, a silence of gapUs between two of them, neighbours
// of one level merged.
class PeriodSource {
public:
    // paths empty: the built-in capture alone.
    PeriodSource(std::vector<const char*> paths, uint32_t gapUs);
    // One signal already read (a button of a remote file), under that title.
    PeriodSource(std::string title, irkit::Timings timings);
    ~PeriodSource();

    // The next period and its start, from the start of the first capture. False at the
    // end or at an error.
    bool next(irkit::IrTiming& period, uint64_t& startUs);
    const std::string& error() const { return _error; }

    std::function<void(const CaptureInfo&)> onCaptureStart;
    std::function<void(const CaptureInfo&)> onCaptureEnd;

private:
    bool rawNext(irkit::IrTiming& period);
    bool openNext();
    void closeCurrent();

    std::vector<const char*> _paths;
    uint32_t _gapUs;
    size_t _nextInput = 0;
    bool _open = false;
    bool _ended = false;
    bool _gapDue = false;
    std::ifstream _file;
    std::unique_ptr<irkit::Mode2Reader> _reader;
    irkit::Timings _builtIn;
    std::string _givenTitle; // set: _builtIn holds the given signal, not the built-in capture
    size_t _builtInNext = 0;
    CaptureInfo _info;
    std::string _error;
    uint64_t _position = 0;
    bool _havePending = false;
    irkit::IrTiming _pending{};
};

struct StreamPacket {
    std::vector<uint8_t> bytes;
    uint64_t timeUs = 0; // when the receiver sends it: its last byte is known
    bool marker = false; // it ends with the end-of-signal marker
};

// The receiver's packets of the periods, as irkit::packetize makes them with its default
// options (32-byte packets, a silence of 100 ms ends a signal, a marker after the last
// signal), made one at a time.
class PacketStream {
public:
    explicit PacketStream(PeriodSource& source);

    bool next(StreamPacket& packet);
    // The end of the last period read (with the silence that ends the last signal once
    // the stream has ended).
    uint64_t position() const { return _position; }

    // Every period as it is read, with its start.
    std::function<void(const irkit::IrTiming&, uint64_t)> onPeriod;
    // The last period has been read (the last packets are still to come).
    std::function<void()> onEnd;

private:
    struct Byte {
        uint8_t value;
        uint64_t timeUs;
        bool endsPacket;
    };
    void finish();
    void sample(bool pulse, uint8_t units, uint64_t timeUs);
    void marker(uint64_t timeUs);
    void closeGroup();
    void put(Byte byte);

    PeriodSource& _source;
    irkit::RlcEventStream _events;
    bool _finished = false;
    uint64_t _position = 0;
    Byte _group[4]{};
    size_t _groupSize = 0;
    StreamPacket _current;
    std::vector<StreamPacket> _ready; // complete packets not yet handed out (a few)
    size_t _readyNext = 0;
};

} // namespace replay
