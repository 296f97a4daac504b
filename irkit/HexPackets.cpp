#include "irkit/HexPackets.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace irkit {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string quoted(std::string_view s) {
    return "'" + std::string(s) + "'";
}

// One token, free of blanks and commas, appended to bytes; an error text when it is bad.
std::string readToken(std::string_view token, std::vector<uint8_t>* bytes) {
    bool prefixed = token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
    std::string_view digits = prefixed ? token.substr(2) : token;
    for (char c : digits)
        if (hexValue(c) < 0)
            return quoted(token) + " is not a hex byte ('" + std::string(1, c) +
                   "' is no hex digit)";
    if (prefixed) {
        if (digits.empty())
            return quoted(token) + " has no hex digits";
        if (digits.size() > 2)
            return quoted(token) + " is more than one byte";
        int value = 0;
        for (char c : digits)
            value = value * 16 + hexValue(c);
        bytes->push_back(static_cast<uint8_t>(value));
        return {};
    }
    if (digits.size() % 2 != 0)
        return quoted(token) + " has an odd number of hex digits";
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes->push_back(static_cast<uint8_t>(hexValue(digits[i]) * 16 + hexValue(digits[i + 1])));
    return {};
}

// The bytes of one line without its comment; an error text when it is bad.
std::string readLine(std::string_view line, std::vector<uint8_t>* bytes) {
    size_t at = 0;
    bool tokenSinceComma = false;
    bool sawComma = false;
    while (at < line.size()) {
        char c = line[at];
        if (isBlank(c)) {
            ++at;
        } else if (c == ',') {
            if (!tokenSinceComma)
                return sawComma ? "two commas without a byte between them"
                                : "a comma before the first byte";
            tokenSinceComma = false;
            sawComma = true;
            ++at;
        } else {
            size_t end = at;
            while (end < line.size() && !isBlank(line[end]) && line[end] != ',')
                ++end;
            std::string error = readToken(line.substr(at, end - at), bytes);
            if (!error.empty())
                return error;
            tokenSinceComma = true;
            at = end;
        }
    }
    if (bytes->size() > kHexPacketMaxBytes)
        return std::to_string(bytes->size()) + " bytes, but a packet holds at most " +
               std::to_string(kHexPacketMaxBytes);
    return {};
}

} // namespace

HexPacketsResult parseHexPackets(std::string_view text) {
    HexPacketsResult result;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        size_t comment = line.find('#');
        if (comment != std::string_view::npos)
            line = line.substr(0, comment);
        std::vector<uint8_t> bytes;
        std::string error = readLine(line, &bytes);
        if (!error.empty()) {
            result.errorLine = lineNumber;
            result.error = error;
            return result;
        }
        if (!bytes.empty())
            result.packets.push_back(HexPacket{lineNumber, std::move(bytes)});
    }
    return result;
}

HexPacketsResult readHexPacketsFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        HexPacketsResult result;
        result.error = "cannot open " + path + ": " + std::strerror(errno);
        return result;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parseHexPackets(text.str());
}

std::string formatHexBytes(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty())
            text.push_back(' ');
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0xF]);
    }
    return text;
}

} // namespace irkit
