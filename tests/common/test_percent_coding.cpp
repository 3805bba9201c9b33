#include "common/percent_coding.hpp"

#include <gtest/gtest.h>

#include <boost/algorithm/hex.hpp>

#include <string>

namespace {

using ox::oxs::percent_decode;
using ox::oxs::percent_encode;
using ox::oxs::percent_encode_controls;

TEST(percent_coding, encode)
{
    struct case_t {
        std::string text;
        int extra;
        std::string expected;
    };
    const case_t cases[] = {
        {"a b/c~", '/', "a%20b/c%7E"},
        {"a b/c~", -1, "a%20b%2Fc%7E"},
        {"*+-._", -1, "*+-._"},
        {"AZaz09", -1, "AZaz09"},
        {"a:b", -1, "a%3Ab"},
        {"%", -1, "%25"},
        {"\xc3\xbc", -1, "%C3%BC"},
        {"\xc3\xbc", 0xBC, "%C3\xbc"},
        {std::string("\0\n\x7f", 3), -1, "%00%0A%7F"},
        {"a/b", 0, "a%2Fb"},
        {"", '/', ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(percent_encode(c.text, c.extra), c.expected) << c.text;
}

TEST(percent_coding, decode)
{
    struct case_t {
        std::string text;
        std::string expected;
    };
    const case_t cases[] = {
        {"a%2fb+c", "a/b+c"},
        {"%41%4a%4A", "AJJ"},
        {"%00", std::string(1, '\0')},
        {"plain", "plain"},
        // An escape cut off at the end gives nothing at all.
        {"abc%4", ""},
        {"abc%", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(percent_decode(c.text), c.expected) << c.text;
    EXPECT_THROW(percent_decode("%zz"), boost::algorithm::non_hex_input);
    EXPECT_THROW(percent_decode("a%4g"), boost::algorithm::non_hex_input);
}

TEST(percent_coding, encoded_text_survives_decode_and_encode)
{
    for (const std::string text : {"/a+b", "/a%20b+c/d", "x*y+-._", "%C3%BC+%2C", "/a%25b%3F"})
        EXPECT_EQ(percent_encode(percent_decode(text), '/'), text) << text;
}

TEST(percent_coding, encode_controls_only)
{
    struct case_t {
        std::string text;
        std::string expected;
    };
    const case_t cases[] = {
        {"a\r\nb", "a%0D%0Ab"},
        {std::string("\0\x1f\x7f", 3), "%00%1F%7F"},
        {"a b/%?#\xc3\xbc~", "a b/%?#\xc3\xbc~"},
        {" !", " !"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(percent_encode_controls(c.text), c.expected) << c.text;
}

} // namespace
