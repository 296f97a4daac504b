#include "emu/hidclass/ReportDescriptorParser.h"

#include <algorithm>
#include <cstdio>

namespace emu::hid {

namespace {

enum ItemType : uint8_t { Main = 0, Global = 1, Local = 2, Reserved = 3 };

enum MainTag : uint8_t {
    Input = 0x8,
    Output = 0x9,
    Collection = 0xA,
    Feature = 0xB,
    EndCollection = 0xC,
};

enum GlobalTag : uint8_t {
    UsagePage = 0x0,
    LogicalMinimum = 0x1,
    LogicalMaximum = 0x2,
    PhysicalMinimum = 0x3,
    PhysicalMaximum = 0x4,
    UnitExponent = 0x5,
    Unit = 0x6,
    ReportSize = 0x7,
    ReportId = 0x8,
    ReportCount = 0x9,
    Push = 0xA,
    Pop = 0xB,
};

enum LocalTag : uint8_t {
    Usage = 0x0,
    UsageMinimum = 0x1,
    UsageMaximum = 0x2,
};

constexpr uint8_t kLongItemPrefix = 0xFE;
constexpr uint8_t kApplicationCollection = 0x01;
// Hosts bound these too; a descriptor beyond them is hostile rather than unusual.
constexpr size_t kMaxPushDepth = 16;
constexpr size_t kMaxCollectionDepth = 64;
constexpr uint64_t kMaxReportBits = 8ull * 0xFFFF;

struct GlobalState {
    uint32_t usagePage = 0;
    int64_t logicalMinimum = 0;
    int64_t logicalMaximum = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
};

struct LocalState {
    bool haveUsage = false;
    uint32_t firstUsage = 0; // with its page in the high half when the item gave one
    bool firstUsageExtended = false;
    void clear() { *this = LocalState(); }
};

std::string hex(uint64_t value, int digits = 2) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

class Parser {
public:
    Parser(const uint8_t* bytes, size_t size) : _bytes(bytes), _size(size) {}

    ParsedReportDescriptor run() {
        if (_bytes == nullptr && _size != 0) {
            return fail(0, "no descriptor bytes");
        }
        size_t offset = 0;
        while (offset < _size) {
            size_t itemOffset = offset;
            uint8_t prefix = _bytes[offset];
            if (prefix == kLongItemPrefix) {
                // Long items carry no state a host uses; step over them whole.
                if (_size - offset < 3) {
                    return fail(itemOffset,
                                "long item truncated: its size and tag bytes are missing");
                }
                size_t dataSize = _bytes[offset + 1];
                if (_size - offset - 3 < dataSize) {
                    return fail(itemOffset, "long item truncated: needs " +
                                                std::to_string(dataSize) + " data bytes, " +
                                                std::to_string(_size - offset - 3) + " remain");
                }
                offset += 3 + dataSize;
                continue;
            }
            size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
            auto type = static_cast<ItemType>((prefix >> 2) & 0x3);
            uint8_t tag = prefix >> 4;
            if (_size - offset - 1 < dataSize) {
                return fail(itemOffset, "item " + hex(prefix) + " truncated: needs " +
                                            std::to_string(dataSize) + " data bytes, " +
                                            std::to_string(_size - offset - 1) + " remain");
            }
            uint32_t value = 0;
            for (size_t i = 0; i < dataSize; i++) {
                value |= static_cast<uint32_t>(_bytes[offset + 1 + i]) << (8 * i);
            }
            int64_t signedValue = signExtend(value, dataSize);
            offset += 1 + dataSize;

            bool ok = true;
            switch (type) {
                case Main:
                    ok = mainItem(itemOffset, tag, value);
                    break;
                case Global:
                    ok = globalItem(itemOffset, tag, value, signedValue, dataSize);
                    break;
                case Local:
                    localItem(tag, value, dataSize);
                    break;
                case Reserved:
                    return fail(itemOffset, "item " + hex(prefix) + " has the reserved type 3");
            }
            if (!ok) {
                return std::move(_result);
            }
        }
        if (!_open.empty()) {
            return fail(_open.back(), std::to_string(_open.size()) +
                                          " collection(s) not closed at the end of the descriptor");
        }
        if (_result.collections.empty()) {
            return fail(_size, "no application collection");
        }
        for (auto& collection : _result.collections) {
            for (uint8_t id : collection.reportIds) {
                collection.maxInputLength =
                    std::max(collection.maxInputLength, _result.report(id)->inputLength());
            }
        }
        _result.ok = true;
        return std::move(_result);
    }

private:
    static int64_t signExtend(uint32_t value, size_t dataSize) {
        switch (dataSize) {
            case 1:
                return static_cast<int8_t>(value);
            case 2:
                return static_cast<int16_t>(value);
            case 4:
                return static_cast<int32_t>(value);
            default:
                return 0;
        }
    }

    // Records the first fault; parsing stops there.
    bool failHere(size_t offset, const std::string& message) {
        _result.ok = false;
        _result.errorOffset = offset;
        _result.error = "offset " + std::to_string(offset) + ": " + message;
        return false;
    }

    ParsedReportDescriptor fail(size_t offset, const std::string& message) {
        failHere(offset, message);
        return std::move(_result);
    }

    void warn(size_t offset, const std::string& message) {
        _result.warnings.push_back("offset " + std::to_string(offset) + ": " + message);
    }

    bool mainItem(size_t offset, uint8_t tag, uint32_t value) {
        switch (tag) {
            case Collection:
                if (_open.size() >= kMaxCollectionDepth) {
                    return failHere(offset, "collections nested deeper than " +
                                                std::to_string(kMaxCollectionDepth));
                }
                if (_open.empty()) {
                    if ((value & 0xFF) != kApplicationCollection) {
                        return failHere(offset, "top-level collection of type " +
                                                    hex(value & 0xFF) + " is not an application");
                    }
                    ApplicationCollection collection;
                    collection.offset = offset;
                    if (_local.haveUsage) {
                        collection.usagePage = static_cast<uint16_t>(_local.firstUsageExtended
                                                                         ? _local.firstUsage >> 16
                                                                         : _global.usagePage);
                        collection.usage = static_cast<uint16_t>(_local.firstUsage & 0xFFFF);
                    } else {
                        warn(offset, "application collection without a usage");
                    }
                    _result.collections.push_back(collection);
                }
                _open.push_back(offset);
                break;
            case EndCollection:
                if (_open.empty()) {
                    return failHere(offset, "End Collection without an open collection");
                }
                _open.pop_back();
                break;
            case Input:
            case Output:
            case Feature:
                if (!field(offset, tag, value)) {
                    return false;
                }
                break;
            default:
                return failHere(offset, "unknown main item tag " + hex(tag, 1));
        }
        _local.clear();
        return true;
    }

    bool field(size_t offset, uint8_t tag, uint32_t value) {
        if (_open.empty()) {
            return failHere(offset, "main item outside any application collection");
        }
        // Report ID 0 is reserved: it means the descriptor has no report IDs at all, so
        // items with and items without an ID cannot be mixed.
        if (_global.reportId != 0) {
            if (_sawFieldWithoutId) {
                return failHere(offset, "report ID " + std::to_string(_global.reportId) +
                                            " after fields without a report ID");
            }
            _result.usesReportIds = true;
        } else {
            if (_result.usesReportIds) {
                return failHere(offset, "field without a report ID in a descriptor that uses them");
            }
            _sawFieldWithoutId = true;
        }

        size_t collectionIndex = _result.collections.size() - 1;
        ReportLayout* layout = findReport(static_cast<uint8_t>(_global.reportId));
        if (layout == nullptr) {
            ReportLayout fresh;
            fresh.reportId = static_cast<uint8_t>(_global.reportId);
            fresh.collection = collectionIndex;
            _result.reports.push_back(fresh);
            _result.collections[collectionIndex].reportIds.push_back(fresh.reportId);
            layout = &_result.reports.back();
        } else if (layout->collection != collectionIndex) {
            return failHere(offset, "report ID " + std::to_string(_global.reportId) +
                                        " is used by two application collections");
        }

        uint64_t bits = static_cast<uint64_t>(_global.reportSize) * _global.reportCount;
        uint64_t& total = tag == Input    ? layout->inputBits
                          : tag == Output ? layout->outputBits
                                          : layout->featureBits;
        if (bits > kMaxReportBits || total + bits > kMaxReportBits) {
            return failHere(offset, "report " + std::to_string(_global.reportId) +
                                        " grows beyond " + std::to_string(kMaxReportBits / 8) +
                                        " bytes");
        }
        total += bits;

        bool constant = (value & 0x01) != 0;
        if (!constant && bits != 0 && _global.logicalMaximum < _global.logicalMinimum) {
            warn(offset, "Logical Maximum " + std::to_string(_global.logicalMaximum) +
                             " is below Logical Minimum " + std::to_string(_global.logicalMinimum) +
                             " (short item data is signed)");
        }
        return true;
    }

    bool globalItem(size_t offset, uint8_t tag, uint32_t value, int64_t signedValue,
                    size_t dataSize) {
        switch (tag) {
            case UsagePage:
                _global.usagePage = value & 0xFFFF;
                break;
            case LogicalMinimum:
                _global.logicalMinimum = signedValue;
                break;
            case LogicalMaximum:
                _global.logicalMaximum = signedValue;
                break;
            case ReportSize:
                _global.reportSize = value;
                break;
            case ReportCount:
                _global.reportCount = value;
                break;
            case ReportId:
                if (dataSize == 0 || value == 0 || value > 0xFF) {
                    return failHere(offset,
                                    "report ID " + std::to_string(value) + " outside 1 to 255");
                }
                _global.reportId = value;
                break;
            case Push:
                if (_stack.size() >= kMaxPushDepth) {
                    return failHere(offset,
                                    "Push nested deeper than " + std::to_string(kMaxPushDepth));
                }
                _stack.push_back(_global);
                break;
            case Pop:
                if (_stack.empty()) {
                    return failHere(offset, "Pop without Push");
                }
                _global = _stack.back();
                _stack.pop_back();
                break;
            case PhysicalMinimum:
            case PhysicalMaximum:
            case UnitExponent:
            case Unit:
                break; // units do not change report layout
            default:
                return failHere(offset, "unknown global item tag " + hex(tag, 1));
        }
        return true;
    }

    void localItem(uint8_t tag, uint32_t value, size_t dataSize) {
        if ((tag == Usage || tag == UsageMinimum) && !_local.haveUsage) {
            _local.haveUsage = true;
            _local.firstUsage = value;
            _local.firstUsageExtended = dataSize == 4;
        }
        // Usage Maximum, designators, strings and delimiters do not change report layout.
    }

    ReportLayout* findReport(uint8_t id) {
        for (auto& layout : _result.reports) {
            if (layout.reportId == id) {
                return &layout;
            }
        }
        return nullptr;
    }

    const uint8_t* _bytes;
    size_t _size;
    ParsedReportDescriptor _result;
    GlobalState _global;
    LocalState _local;
    std::vector<GlobalState> _stack;
    std::vector<size_t> _open; // offsets of the open Collection items
    bool _sawFieldWithoutId = false;
};

} // namespace

const ReportLayout* ParsedReportDescriptor::report(uint8_t reportId) const {
    for (const auto& layout : reports) {
        if (layout.reportId == reportId) {
            return &layout;
        }
    }
    return nullptr;
}

size_t ParsedReportDescriptor::maxInputLength() const {
    size_t longest = 0;
    for (const auto& layout : reports) {
        longest = std::max(longest, layout.inputLength());
    }
    return longest;
}

ParsedReportDescriptor parseReportDescriptor(const uint8_t* bytes, size_t size) {
    return Parser(bytes, size).run();
}

} // namespace emu::hid
