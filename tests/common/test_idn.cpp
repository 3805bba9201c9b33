#include "common/idn.hpp"
#include "common/punycode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using ox::oxs::idn_to_ascii;
using ox::oxs::idn_to_unicode;

struct case_t {
    const char* name;
    std::string host;
    std::string expected;
};

TEST(idn, to_ascii)
{
    const std::string long_non_ascii = std::string(62, 'a').append("\xc3\xbc"); // 64 bytes
    const std::string long_ascii(100, 'a');
    const case_t cases[] = {
        {"non-ASCII label",
         "b\xc3\xbc"
         "cher",
         "xn--bcher-kva"},
        {"case of basic code points kept",
         "B\xc3\xbc"
         "cher",
         "xn--Bcher-kva"},
        {"only the non-ASCII label converts",
         "www.b\xc3\xbc"
         "cher.de",
         "www.xn--bcher-kva.de"},
        {"label of one non-ASCII character", "\xc3\xbc.example", "xn--tda.example"},
        {"three-byte characters", "\xe6\x97\xa5\xe6\x9c\xac.jp", "xn--wgv71a.jp"},
        {"ASCII label with an underscore", "my_host", "my_host"},
        {"bracketed address", "[::1]", "[::1]"},
        {"dotted quad", "10.0.0.1", "10.0.0.1"},
        {"letters, digits and hyphen", "Host-1", "Host-1"},
        {"long ASCII label copied", long_ascii, long_ascii},
        {"leading dot vanishes", ".a", "a"},
        {"two dots kept", "a..b", "a..b"},
        {"trailing dot kept", "a.", "a."},
        {"empty", "", ""},
        // Labels that cannot be converted stay as written rather than vanish.
        {"label of 64 bytes", long_non_ascii + ".x", long_non_ascii + ".x"},
        {"invalid UTF-8",
         "a\xff"
         "b.c",
         "a\xff"
         "b.c"},
        {"overlong UTF-8", "\xc0\xaf.c", "\xc0\xaf.c"},
        {"encoded surrogate", "\xed\xa0\x80", "\xed\xa0\x80"},
        {"truncated sequence", "b\xc3", "b\xc3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(idn_to_ascii(c.host), c.expected) << c.name;
    EXPECT_EQ(idn_to_ascii("b\xc3\xbc"
                           "cher.de",
                           7),
              "xn--bcher-kva");
}

// The ACE label of code points, made with the encoder itself.
std::string ace(std::initializer_list<std::uint32_t> points)
{
    char out[64];
    std::size_t length = sizeof out;
    EXPECT_EQ(ox::oxs::punycode_encode(points.size(), points.begin(), nullptr, &length, out),
              ox::oxs::punycode_status_t::success);
    return "xn--" + std::string(out, length);
}

TEST(idn, to_unicode)
{
    const case_t cases[] = {
        {"ACE label", "xn--bcher-kva",
         "b\xc3\xbc"
         "cher"},
        {"ACE label among others", "xn--bcher-kva.b",
         "b\xc3\xbc"
         "cher.b"},
        {"upper-case digits", "xn--bcher-KVA",
         "b\xc3\xbc"
         "cher"},
        {"upper-case prefix is no prefix", "XN--bcher-kva", "XN--bcher-kva"},
        {"plain labels", "www.example.com", "www.example.com"},
        {"leading dot vanishes", ".xn--tda", "\xc3\xbc"},
        {"two dots kept", "a..xn--tda", "a..\xc3\xbc"},
        // Labels that do not decode into a host that encodes back to them
        // stay as written: a different host must never come out.
        {"bare prefix", "xn--", "xn--"},
        {"bare prefix among others", "a.xn--.b", "a.xn--.b"},
        {"not a digit", "xn--bcher-kv!", "xn--bcher-kv!"},
        {"ends inside a number", "xn--bcher-k", "xn--bcher-k"},
        {"decodes to ASCII only", "xn--abc-", "xn--abc-"},
        {"surrogate", ace({0xD800}), ace({0xD800})},
        {"beyond Unicode", ace({'a', 0x110000}), ace({'a', 0x110000})},
        {"more than 63 code points", "xn--" + std::string(64, 'a') + "-kva", "xn--" + std::string(64, 'a') + "-kva"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(idn_to_unicode(c.host), c.expected) << c.name;
}

TEST(idn, round_trips)
{
    const std::string hosts[] = {
        "b\xc3\xbc"
        "cher.example",
        "m\xc3\xbcnchen.de",
        "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.jp",
        "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84",
        "www.\xce\xb5\xce\xbb.example",
        "\xf0\x9f\x98\x80.example",
        "plain.example",
        "my_host.local",
    };
    for (const auto& host : hosts) {
        const auto ascii = idn_to_ascii(host);
        for (const char c : ascii)
            EXPECT_LT(static_cast<unsigned char>(c), 0x80) << host;
        EXPECT_EQ(idn_to_unicode(ascii), host) << ascii;
        EXPECT_EQ(idn_to_ascii(idn_to_unicode(ascii)), ascii) << ascii;
    }
}

} // namespace
