// Input reports as the class driver hands them to its clients: each completed read becomes
// one key event stamped with the emulated clock, kept in order for whoever reads them.
#pragma once

#include "emu/hidclass/ReportDescriptorParser.h"
#include "platform/platform.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace emu::hid {

struct KeyEvent {
    uint64_t sequence = 0; // delivery order, from 1
    LONGLONG time = 0;     // emulated clock when the read came back
    std::vector<uint8_t> report;
    // The report ID is one the report descriptor declares and the length is that report's.
    bool wellFormed = false;
    // Every byte after the report ID is zero: keys let go.
    bool release() const;
};

class KeyEvents {
public:
    // Checks each report against the parsed descriptor of the device it came from.
    void setDescriptor(const ParsedReportDescriptor& descriptor);
    // Called for every successful read, on the completing thread.
    void deliver(const std::vector<uint8_t>& report);
    // Runs on the delivering thread for each event, after it was queued.
    void setListener(std::function<void(const KeyEvent&)> listener);

    std::vector<KeyEvent> take();
    size_t delivered() const;
    // Blocks (real time, at most realTimeoutMs) until delivered() reaches n.
    bool waitForDelivered(size_t n, int realTimeoutMs = 5000) const;

private:
    mutable std::mutex _lock;
    mutable std::condition_variable _changed;
    ParsedReportDescriptor _descriptor;
    std::vector<KeyEvent> _events;
    uint64_t _delivered = 0;
    std::function<void(const KeyEvent&)> _listener;
};

} // namespace emu::hid
