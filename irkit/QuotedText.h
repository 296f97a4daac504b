// Input as an error message quotes it: between single quotes, bytes that are not printable
// text as \xNN, and no more than `most` of them, so that a line of binary junk or a line of
// a megabyte still makes a message a person can read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace irkit {

std::string quotedText(std::string_view text, size_t most = 40);

} // namespace irkit
