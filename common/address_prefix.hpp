#pragma once

// Comparison of the leading bits of two addresses in network byte order, for
// testing whether an address lies in a network. Bits beyond the address
// length are ignored; 0 bits always compare equal.

#include <cstdint>

namespace ox::util {

bool ipv4_prefix_equal(const unsigned char a[4], const unsigned char b[4], unsigned bits);
// The prefix length is the number of set bits of the mask.
bool ipv4_prefix_equal(const unsigned char a[4], const unsigned char b[4], const std::uint32_t* mask);
bool ipv6_prefix_equal(const unsigned char a[16], const unsigned char b[16], unsigned bits);

} // namespace ox::util
