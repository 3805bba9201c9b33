#include "protocol/parsers/field_block_parser.hpp"
#include "protocol/parsers/icap_parser.hpp"
#include "protocol/parsers/multipart_data_parser.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using proto::base_ragel_parser_t;
using proto::parser_t;

TEST(parser_feed, stops_at_the_end_of_the_element_and_leaves_the_rest)
{
    proto::field_block_parser_t parser(nullptr);
    std::string const input = "A: 1\r\n\r\nrest";
    EXPECT_EQ(parser.feed(input.data(), input.size(), false), input.size() - 4);
    EXPECT_EQ(parser.status(), parser_t::complete);
}

TEST(parser_feed, position_of_an_error_counts_from_the_start_of_the_feed)
{
    // The start line is taken by the first parse call; the bad name byte 'm'
    // is the fourth byte of the second.
    proto::icap::parser_t parser(nullptr);
    std::string const input = "OPTIONS * ICAP/1.0\r\nNa me: v\r\n";
    try {
        parser.feed(input.data(), input.size(), false);
        FAIL() << "no error";
    } catch (const base_ragel_parser_t::parser_error_t& e) {
        EXPECT_EQ(e.position(), 24);
        EXPECT_STREQ(e.what(), "invalid field block data: \"me: v\\r\\n\"");
    }
}

TEST(parser_feed, error_without_position_is_placed_after_the_bytes_taken)
{
    // The delimiter line is taken by the first call; the header block then
    // ends with the input.
    proto::multipart_data_parser_t parser("b", nullptr);
    std::string const input = "--b\r\nA: 1\r\n";
    try {
        parser.feed(input.data(), input.size(), true);
        FAIL() << "no error";
    } catch (const base_ragel_parser_t::parser_error_t& e) {
        EXPECT_EQ(e.position(), 5);
        EXPECT_STREQ(e.what(), "invalid multipart data");
    }
}

struct error_case_t {
    const char* name;
    base_ragel_parser_t::error_t error;
    std::string what;
};

class parse_error_texts : public ::testing::TestWithParam<error_case_t> {};

TEST_P(parse_error_texts, show_the_excerpt_with_line_ends_escaped)
{
    EXPECT_EQ(GetParam().error.what(), GetParam().what);
}

std::string const raw = "a\r\n\t\"\\\xff";

INSTANTIATE_TEST_SUITE_P(
    errors, parse_error_texts,
    ::testing::Values(
        error_case_t{"plain", base_ragel_parser_t::error_t("m"), "m"},
        error_case_t{"excerpt", base_ragel_parser_t::error_t("m", raw.data(), raw.size()), "m: \"a\\r\\n\\t\"\\\xff\""},
        error_case_t{"excerpt_range", base_ragel_parser_t::error_t("m", raw.data() + 1, raw.data() + 3),
                     "m: \"\\r\\n\""},
        error_case_t{"empty_excerpt", base_ragel_parser_t::error_t("m", raw.data(), std::size_t{0}), "m: \"\""},
        error_case_t{"from_std_exception",
                     base_ragel_parser_t::parser_error_t(std::make_exception_ptr(std::runtime_error("x")), 3), "x"},
        error_case_t{"from_other_exception", base_ragel_parser_t::parser_error_t(std::make_exception_ptr(42), 3),
                     "unknown exception"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(parser_error, keeps_its_position)
{
    base_ragel_parser_t::parser_error_t const error("m", "xy", 2, 7);
    EXPECT_EQ(error.position(), 7);
    EXPECT_STREQ(error.what(), "m: \"xy\"");
}

} // namespace
