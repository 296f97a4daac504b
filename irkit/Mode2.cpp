#include "irkit/Mode2.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

namespace irkit {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> result;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !isBlank(line[i])) {
            ++i;
        }
        if (i > start) {
            result.push_back(line.substr(start, i - start));
        }
    }
    return result;
}

// Reads a duration; on failure returns false and says why in problem.
bool readValue(std::string_view text, uint32_t& value, std::string& problem) {
    if (text.empty()) {
        problem = "missing value";
        return false;
    }
    if (text[0] == '-') {
        problem = "negative value '" + std::string(text) + "'";
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            problem = "non-numeric value '" + std::string(text) + "'";
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(c - '0');
        if (number > 0xFFFFFFFFull) {
            problem = "value '" + std::string(text) + "' is too large";
            return false;
        }
    }
    if (number == 0) {
        problem = "zero duration";
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

class Reader {
public:
    Mode2Result run(std::string_view text) {
        size_t start = 0;
        size_t number = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            ++number;
            if (!line(text.substr(start, end - start))) {
                _result.errorLine = number;
                _result.error = "line " + std::to_string(number) + ": " + _problem;
                return std::move(_result);
            }
            start = end + 1;
        }
        return std::move(_result);
    }

private:
    bool line(std::string_view text) {
        const size_t hash = text.find('#');
        if (hash != std::string_view::npos) {
            text = text.substr(0, hash);
        }
        const std::vector<std::string_view> items = words(text);
        if (items.empty()) {
            return true;
        }
        const std::string_view first = items[0];
        if (first[0] == '+' || first[0] == '-') {
            return signedValues(items);
        }
        bool isPulse;
        if (first == "pulse") {
            isPulse = true;
        } else if (first == "space" || first == "timeout") {
            isPulse = false;
        } else {
            _problem = "unknown word '" + std::string(first) + "'";
            return false;
        }
        if (items.size() < 2) {
            _problem = "missing value after '" + std::string(first) + "'";
            return false;
        }
        uint32_t value = 0;
        if (!readValue(items[1], value, _problem)) {
            _problem += " after '" + std::string(first) + "'";
            return false;
        }
        if (items.size() > 2) {
            _problem = "unexpected '" + std::string(items[2]) + "' after the value";
            return false;
        }
        append(_result.timings, IrTiming{isPulse, value});
        return true;
    }

    bool signedValues(const std::vector<std::string_view>& items) {
        for (std::string_view item : items) {
            if (item[0] != '+' && item[0] != '-') {
                _problem = "expected +N or -N, found '" + std::string(item) + "'";
                return false;
            }
            uint32_t value = 0;
            if (!readValue(item.substr(1), value, _problem)) {
                _problem += " in '" + std::string(item) + "'";
                return false;
            }
            append(_result.timings, IrTiming{item[0] == '+', value});
        }
        return true;
    }

    Mode2Result _result;
    std::string _problem;
};

} // namespace

Mode2Result parseMode2(std::string_view text) {
    return Reader().run(text);
}

Mode2Result readMode2File(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        Mode2Result result;
        result.error = "cannot open '" + path + "'";
        return result;
    }
    std::ostringstream content;
    content << file.rdbuf();
    Mode2Result result = parseMode2(content.str());
    if (!result.ok()) {
        result.error = path + ": " + result.error;
    }
    return result;
}

std::string writeMode2(const Timings& timings) {
    std::string text;
    text.reserve(timings.size() * 12);
    for (const IrTiming& timing : timings) {
        text += timing.pulse ? "pulse " : "space ";
        text += std::to_string(timing.microseconds);
        text += '\n';
    }
    return text;
}

} // namespace irkit
