#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ox::oxs {

// Percent-encodes every byte but ASCII letters and digits, '-', '_', '.',
// '*', '+' and the byte `extra` (0 to 255; -1 for none), as "%" and two
// upper-case hexadecimal digits.
std::string percent_encode(const char* data, std::size_t length, int extra);
std::string percent_encode(std::string_view text, int extra = -1);

// Decodes "%XX" escapes (either case). '+' stays '+': decoding and encoding
// again must give back the text as written. Throws
// boost::algorithm::non_hex_input for an escape that is not hexadecimal;
// returns the empty string when the text ends inside an escape.
std::string percent_decode(const char* data, std::size_t length);
std::string percent_decode(std::string_view text);

// Percent-encodes only the control bytes (below 0x20, and 0x7F), so that a
// text shown to people or written to a log cannot break its line or forge
// another.
std::string percent_encode_controls(std::string_view text);

} // namespace ox::oxs
