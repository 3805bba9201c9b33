#pragma once

#include <cstddef>
#include <cstdint>

namespace ox::oxs {

// Bootstring encoding of Unicode labels for host names (RFC 3492).

enum class punycode_status_t {
    success = 0,
    bad_input = 1,
    big_output = 2, // the caller's capacity would be exceeded
    overflow = 3,
};

// Encodes input_length code points into at most *output_length characters
// and stores the number written back into *output_length. case_flags, when
// not null, holds one flag per code point: non-zero asks for the upper-case
// form of its last digit (or of the basic code point itself).
punycode_status_t punycode_encode(std::size_t input_length, const std::uint32_t* input, const unsigned char* case_flags,
                                  std::size_t* output_length, char* output);

// Decodes input_length characters into at most *output_length code points
// and stores their number back into *output_length. case_flags, when not
// null, receives one flag per code point. The decoded values are not
// checked for being valid Unicode scalar values.
punycode_status_t punycode_decode(std::size_t input_length, const char* input, std::size_t* output_length,
                                  std::uint32_t* output, unsigned char* case_flags);

} // namespace ox::oxs
