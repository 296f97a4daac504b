// An independent reading of the receiver's packet stream, written from the packet format
// alone: every byte must belong to a complete item (items may continue in the next packet),
// and the end-of-signal marker must be the last byte of its packet.
#pragma once

#include "irkit/Packetizer.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace irkittest {

struct WalkedItem {
    char kind; // 'S' sample, 'M' marker, 'R' response
    bool pulse = false;
    int units = 0;
    std::vector<uint8_t> bytes; // response
    static WalkedItem sample(bool pulse, int units) { return WalkedItem{'S', pulse, units, {}}; }
    static WalkedItem marker() { return WalkedItem{'M', false, 0, {}}; }
    static WalkedItem response(std::vector<uint8_t> bytes) {
        return WalkedItem{'R', false, 0, std::move(bytes)};
    }
    bool operator==(const WalkedItem& o) const {
        return kind == o.kind && pulse == o.pulse && units == o.units && bytes == o.bytes;
    }
};

inline std::ostream& operator<<(std::ostream& os, const WalkedItem& item) {
    return os << item.kind << (item.pulse ? "+" : "-") << item.units << "/" << item.bytes.size();
}

inline int referenceResponseLength(uint8_t id) {
    if (id == 0x81 || id == 0xFE)
        return 2;
    if (id == 0x08 || id == 0x14 || id == 0x17)
        return 3;
    if (id == 0x06 || id == 0x0C || id == 0x15 || id == 0x16)
        return 4;
    if (id == 0x11)
        return 7;
    return 0; // not an id the receiver sends: the packetizer should not produce it
}

inline std::vector<WalkedItem> walk(const std::vector<irkit::UsbPacket>& packets,
                                    size_t maxPacketBytes = 32) {
    std::vector<uint8_t> stream;
    for (size_t p = 0; p < packets.size(); ++p) {
        const std::vector<uint8_t>& bytes = packets[p].bytes;
        EXPECT_GE(bytes.size(), 1u) << "packet " << p << " is empty";
        EXPECT_LE(bytes.size(), maxPacketBytes) << "packet " << p << " is too long";
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            EXPECT_NE(bytes[i], 0x80) << "packet " << p << " has a byte 0x80 at " << i
                                      << " outside a group: the marker must end its packet";
        }
        if (p > 0) {
            EXPECT_GE(packets[p].timeUs, packets[p - 1].timeUs) << "packet " << p << " time";
        }
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    std::vector<WalkedItem> items;
    size_t at = 0;
    while (at < stream.size()) {
        const uint8_t header = stream[at];
        if (header == 0x80) {
            items.push_back(WalkedItem::marker());
            ++at;
        } else if (header >= 0x81 && header <= 0x84) {
            const size_t n = header - 0x80u;
            if (at + n >= stream.size()) {
                ADD_FAILURE() << "group at byte " << at << " is cut off at the end";
                break;
            }
            for (size_t k = 1; k <= n; ++k) {
                const int units = stream[at + k] & 0x7F;
                EXPECT_GE(units, 1) << "sample of 0 units at byte " << at + k;
                items.push_back(WalkedItem::sample((stream[at + k] & 0x80) != 0, units));
            }
            at += n + 1;
        } else if (header == 0x9F || header >= 0xE0) {
            const int length = at + 1 < stream.size() ? referenceResponseLength(stream[at + 1]) : 0;
            if (length == 0 || at + length > stream.size()) {
                ADD_FAILURE() << "response at byte " << at << " is malformed or cut off";
                break;
            }
            items.push_back(
                WalkedItem::response({stream.begin() + at, stream.begin() + at + length}));
            at += length;
        } else {
            ADD_FAILURE() << "byte " << at << " (0x" << std::hex << int(header) << std::dec
                          << ") is not an item header";
            break;
        }
    }
    return items;
}

inline std::vector<WalkedItem> asItems(const std::vector<irkit::RlcEvent>& events) {
    std::vector<WalkedItem> items;
    for (const irkit::RlcEvent& e : events) {
        if (e.kind == irkit::RlcEvent::Kind::Sample) {
            items.push_back(WalkedItem::sample(e.pulse, e.units));
        } else if (e.kind == irkit::RlcEvent::Kind::EndOfSignal) {
            items.push_back(WalkedItem::marker());
        } else {
            items.push_back(WalkedItem::response(e.bytes));
        }
    }
    return items;
}

} // namespace irkittest
