// Comparison of address prefixes, as used to test whether an address lies in
// a network.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include <arpa/inet.h>

#include "common/address_prefix.hpp"

namespace {

struct case_t {
    const char* a;
    const char* b;
    unsigned bits;
    bool equal;
};

// Compares the two addresses of every case, read as the family says.
template <std::size_t Length>
void check(int family, bool (*prefix_equal)(const unsigned char*, const unsigned char*, unsigned),
           std::initializer_list<case_t> cases)
{
    for (const auto& c : cases) {
        std::array<unsigned char, Length> a{};
        std::array<unsigned char, Length> b{};
        ASSERT_EQ(inet_pton(family, c.a, a.data()), 1) << c.a;
        ASSERT_EQ(inet_pton(family, c.b, b.data()), 1) << c.b;
        EXPECT_EQ(prefix_equal(a.data(), b.data(), c.bits), c.equal) << c.a << " " << c.b << "/" << c.bits;
    }
}

TEST(address_prefix, ipv4_bits)
{
    check<4>(AF_INET, ox::util::ipv4_prefix_equal,
             {
                 {"10.1.2.3", "10.1.255.0", 16, true},
                 {"10.1.2.3", "10.1.255.0", 17, false},
                 {"10.1.2.3", "10.1.3.3", 23, true},
                 {"10.1.2.3", "10.1.3.3", 24, false},
                 {"1.2.3.4", "200.100.50.25", 0, true},
                 {"128.0.0.0", "0.0.0.0", 1, false},
                 {"127.0.0.0", "0.0.0.0", 1, true},
                 {"10.1.2.3", "10.1.2.3", 40, true},
                 {"10.1.2.3", "10.1.2.2", 40, false},
                 {"10.1.2.3", "10.1.2.2", 31, true},
                 {"10.1.2.3", "10.1.2.2", 32, false},
             });
}

TEST(address_prefix, ipv4_mask_counts_its_set_bits)
{
    const unsigned char a[4] = {192, 168, 7, 1};
    const unsigned char b[4] = {192, 168, 6, 1};
    const std::uint32_t slash23 = htonl(0xfffffe00u);
    const std::uint32_t slash24 = htonl(0xffffff00u);
    EXPECT_TRUE(ox::util::ipv4_prefix_equal(a, b, &slash23));
    EXPECT_FALSE(ox::util::ipv4_prefix_equal(a, b, &slash24));
}

TEST(address_prefix, ipv6_bits)
{
    check<16>(AF_INET6, ox::util::ipv6_prefix_equal,
              {
                  {"2001:db8:1:2::1", "2001:db8:1:2:ffff::", 64, true},
                  {"2001:db8:1:2::1", "2001:db8:1:3::1", 64, false},
                  {"2001:db8:1:2::1", "2001:db8:1:3::1", 63, true},
                  {"2001:db8::", "3001:db8::", 3, true},
                  {"2001:db8::", "3001:db8::", 4, false},
                  {"::1", "::2", 126, true},
                  {"::1", "::2", 127, false},
                  {"::1", "::1", 200, true},
                  {"::1", "ffff::", 0, true},
              });
}

} // namespace
