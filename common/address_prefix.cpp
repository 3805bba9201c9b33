#include "common/address_prefix.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace ox::util {

namespace {

bool prefix_equal(const unsigned char* a, const unsigned char* b, std::size_t length, unsigned bits)
{
    for (std::size_t i = 0; bits != 0 && i < length; ++i) {
        if (bits >= 8) {
            if (a[i] != b[i])
                return false;
        } else {
            const unsigned mask = ~(0xffu >> bits) & 0xffu;
            if ((a[i] & mask) != (b[i] & mask))
                return false;
        }
        bits -= std::min(bits, 8u);
    }
    return true;
}

} // namespace

bool ipv4_prefix_equal(const unsigned char a[4], const unsigned char b[4], unsigned bits)
{
    return prefix_equal(a, b, 4, bits);
}

bool ipv4_prefix_equal(const unsigned char a[4], const unsigned char b[4], const std::uint32_t* mask)
{
    return prefix_equal(a, b, 4, static_cast<unsigned>(std::popcount(*mask)));
}

bool ipv6_prefix_equal(const unsigned char a[16], const unsigned char b[16], unsigned bits)
{
    return prefix_equal(a, b, 16, bits);
}

} // namespace ox::util
