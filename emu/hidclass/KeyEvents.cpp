#include "emu/hidclass/KeyEvents.h"

#include "emu/kernel/Kernel.h"

#include <algorithm>
#include <chrono>

namespace emu::hid {

bool KeyEvent::release() const {
    return report.size() > 1 &&
           std::all_of(report.begin() + 1, report.end(), [](uint8_t b) { return b == 0; });
}

void KeyEvents::setDescriptor(const ParsedReportDescriptor& descriptor) {
    std::lock_guard<std::mutex> guard(_lock);
    _descriptor = descriptor;
}

void KeyEvents::deliver(const std::vector<uint8_t>& report) {
    KeyEvent event;
    event.time = emu::clock::now();
    event.report = report;
    std::function<void(const KeyEvent&)> listener;
    {
        std::lock_guard<std::mutex> guard(_lock);
        const ReportLayout* layout =
            report.empty() ? nullptr
                           : _descriptor.report(_descriptor.usesReportIds ? report[0] : 0);
        event.wellFormed = layout != nullptr && layout->inputLength() == report.size();
        event.sequence = ++_delivered;
        _events.push_back(event);
        listener = _listener;
    }
    _changed.notify_all();
    if (listener)
        listener(event);
}

void KeyEvents::setListener(std::function<void(const KeyEvent&)> listener) {
    std::lock_guard<std::mutex> guard(_lock);
    _listener = std::move(listener);
}

std::vector<KeyEvent> KeyEvents::take() {
    std::lock_guard<std::mutex> guard(_lock);
    std::vector<KeyEvent> taken;
    taken.swap(_events);
    return taken;
}

size_t KeyEvents::delivered() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _delivered;
}

bool KeyEvents::waitForDelivered(size_t n, int realTimeoutMs) const {
    std::unique_lock<std::mutex> hold(_lock);
    return _changed.wait_for(hold, std::chrono::milliseconds(realTimeoutMs),
                             [&] { return _delivered >= n; });
}

} // namespace emu::hid
