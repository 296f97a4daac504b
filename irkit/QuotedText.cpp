#include "irkit/QuotedText.h"

namespace irkit {

std::string quotedText(std::string_view text, size_t most) {
    static const char kHex[] = "0123456789abcdef";
    std::string result = "'";
    for (size_t i = 0; i < text.size() && i < most; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            result += static_cast<char>(c);
        } else {
            result += "\\x";
            result += kHex[c >> 4];
            result += kHex[c & 0xF];
        }
    }
    return result + (text.size() > most ? "...'" : "'");
}

} // namespace irkit
