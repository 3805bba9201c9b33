#include "protocol/parsers/wire_text.hpp"

#include "protocol/param_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Case-blind comparisons take eight bytes at a time and the rest one by
// one: a byte must compare the same whichever way it is taken.
std::string with_byte_at(std::size_t at, int byte)
{
    std::string text = "content-length";
    text[at] = static_cast<char>(byte);
    return text;
}

} // namespace

TEST(wire_text, upper_casing_a_word_matches_every_byte_alone)
{
    for (int byte = 0; byte < 256; ++byte) {
        for (std::size_t at = 0; at < 8; ++at) {
            char bytes[8];
            std::memcpy(bytes, "z@a[`{Z\x80", 8);
            bytes[at] = static_cast<char>(byte);
            char expected[8];
            for (std::size_t i = 0; i < 8; ++i)
                expected[i] = proto::to_upper(bytes[i]);
            const std::uint64_t upper = proto::to_upper8(proto::load8(bytes));
            EXPECT_EQ(std::memcmp(&upper, expected, 8), 0) << byte << " at " << at;
        }
    }
}

// Each byte at each place of a word of bytes at or above the bound, and
// beside a byte below it: the word answers as the bytes one by one do.
TEST(wire_text, a_byte_below_a_bound_is_found_wherever_it_is)
{
    for (const unsigned char bound : {'!', '\x01', '\x80'}) {
        for (int byte = 0; byte < 256; ++byte) {
            for (std::size_t at = 0; at < 8; ++at) {
                for (const bool other_below : {false, true}) {
                    char bytes[8];
                    std::memset(bytes, bound == 0x80 ? 0xff : 0x80, 8);
                    if (other_below)
                        bytes[(at + 3) % 8] = static_cast<char>(bound - 1);
                    bytes[at] = static_cast<char>(byte);
                    bool expected = false;
                    for (const char b : bytes)
                        expected = expected || static_cast<unsigned char>(b) < bound;
                    EXPECT_EQ(proto::has_byte_below(proto::load8(bytes), bound), expected)
                        << "bound " << int(bound) << ", byte " << byte << " at " << at;
                }
            }
        }
    }
}

// A CR or NUL anywhere in texts of every length around the word size,
// among bytes that differ from them in one bit, a second one after it: the
// first is found, in the words and in the rest alike.
TEST(wire_text, the_first_cr_or_nul_is_found_wherever_it_is)
{
    const std::string near_misses = "\x0c\x0e\x8d\x80\x01";
    for (std::size_t size = 0; size <= 20; ++size) {
        std::string text(size, 'a');
        for (std::size_t i = 0; i < size; ++i)
            text[i] = i % 3 == 0 ? near_misses[i % 5] : static_cast<char>('a' + i);
        for (const char c : text)
            ASSERT_TRUE(c != '\r' && c != '\0');
        EXPECT_EQ(proto::find_cr_or_nul(text.data(), size), size) << size;
        for (std::size_t at = 0; at < size; ++at) {
            for (const char hit : {'\r', '\0'}) {
                std::string with = text;
                with[at] = hit;
                if (at + 2 < size)
                    with[at + 2] = hit == '\r' ? '\0' : '\r';
                EXPECT_EQ(proto::find_cr_or_nul(with.data(), size), at) << size << " " << at << " " << int(hit);
            }
        }
    }
}

TEST(wire_text, case_blind_equality_in_the_word_and_in_the_rest)
{
    struct case_t {
        const char* text;
        const char* upper;
        bool equal;
    } const cases[] = {
        {"Encapsulated", "ENCAPSULATED", true},
        {"encapsulated", "ENCAPSULATED", true},
        {"ENCAPSULATEd", "ENCAPSULATED", true},
        {"Encapsulatex", "ENCAPSULATED", false},
        {"Xncapsulated", "ENCAPSULATED", false},
        {"Encapsulate", "ENCAPSULATED", false},
        {"content-length", "CONTENT-LENGTH", true},
        {"content\rlength", "CONTENT-LENGTH", false},
        {"CONTENT-LENGTH", "CONTENT-LENGTH", true},
        {"", "", true},
        {"req-hdr", "REQ-HDR", true},
        {"req`hdr", "REQ@HDR", false},
        {"req{hdr", "REQ[HDR", false},
        {"\xe9t\xc9", "\xc9T\xc9", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(proto::iequals_upper(c.text, c.upper), c.equal) << c.text;
        EXPECT_EQ(io::http::iequals(c.text, c.upper), c.equal) << c.text;
        EXPECT_EQ(io::http::iequals(c.upper, c.text), c.equal) << c.text;
    }
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 256; ++y) {
            const bool alone =
                io::http::iequals(std::string(1, static_cast<char>(x)), std::string(1, static_cast<char>(y)));
            // Inside the first eight bytes, and in the rest.
            for (std::size_t at : {2u, 11u}) {
                ASSERT_EQ(io::http::iequals(with_byte_at(at, x), with_byte_at(at, y)), alone) << x << " " << y;
            }
            const std::string upper(1, proto::to_upper(static_cast<char>(y)));
            const bool alone_upper = proto::iequals_upper(std::string(1, static_cast<char>(x)), upper);
            for (std::size_t at : {2u, 11u}) {
                ASSERT_EQ(proto::iequals_upper(with_byte_at(at, x), proto::to_upper(with_byte_at(at, y))), alone_upper)
                    << x << " " << y;
            }
        }
    }
}
