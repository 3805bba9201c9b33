#include "protocol/parsers/field_block_parser.hpp"

#include "protocol/split_feeder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace {

using proto::field_block_parser_t;
using proto::parser_t;

struct recorder_t : field_block_parser_t::delegate_t {
    test::event_log_t log;
    void on_field(field_block_parser_t&, const proto::field_view_t& field) override
    {
        log.add("field [" + std::string(field.name) + "] [" + std::string(field.value) + "]");
    }
};

test::outcome_t run(const std::vector<std::string_view>& pieces, bool last)
{
    recorder_t recorder;
    field_block_parser_t parser(&recorder);
    return test::drive(parser, recorder.log, pieces, last);
}

using test::case_t;

class field_block_cases : public ::testing::TestWithParam<case_t> {};

TEST_P(field_block_cases, same_fields_however_the_block_is_cut)
{
    test::expect_case(GetParam(), run);
}

INSTANTIATE_TEST_SUITE_P(
    blocks, field_block_cases,
    ::testing::Values(
        case_t{"crlf", "Host: a\r\n\r\nrest", false, {"field [Host] [a]"}, 11, parser_t::complete},
        case_t{"bare_lf", "Host: a\n\nrest", false, {"field [Host] [a]"}, 9, parser_t::complete},
        case_t{
            "mixed_line_ends", "A: 1\nB: 2\r\n\n", false, {"field [A] [1]", "field [B] [2]"}, 12, parser_t::complete},
        case_t{"empty_block", "\r\nX: 1\r\n", false, {}, 2, parser_t::complete},
        case_t{"empty_block_lf", "\nX", false, {}, 1, parser_t::complete},
        case_t{"fold", "X: a\r\n   b\r\n\r\n", false, {"field [X] [a b]"}, 14, parser_t::complete},
        case_t{"fold_with_tab_and_inner_space",
               "X: a  \r\n\t b  c \r\nY: 2\r\n\r\n",
               false,
               {"field [X] [a b  c]", "field [Y] [2]"},
               25,
               parser_t::complete},
        case_t{"two_folds", "X: a\r\n b\r\n c\r\n\r\n", false, {"field [X] [a b c]"}, 16, parser_t::complete},
        case_t{
            "fold_of_white_space_only", "X: a\r\n  \r\n b\r\n\r\n", false, {"field [X] [a b]"}, 16, parser_t::complete},
        // A line taken whole is delivered as it is unless a fold adds to it.
        case_t{"folds_after_a_whole_line_leave_no_blanks",
               "X: a\r\n \t\r\n  b \t\r\nY:  2 \r\n\r\n",
               false,
               {"field [X] [a b]", "field [Y] [2]"},
               27,
               parser_t::complete},
        case_t{"space_before_colon", "Name : v\r\n\r\n", false, {"field [Name] [v]"}, 12, parser_t::complete},
        case_t{"empty_value", "X:\r\nY:   \r\n\r\n", false, {"field [X] []", "field [Y] []"}, 13, parser_t::complete},
        case_t{"case_and_high_bytes_kept",
               "x-\xc3\xa9: V\xc3\xa9\r\n\r\n",
               false,
               {"field [x-\xc3\xa9] [V\xc3\xa9]"},
               13,
               parser_t::complete},
        case_t{"colon_in_value", "Host: a:80\r\n\r\n", false, {"field [Host] [a:80]"}, 14, parser_t::complete},
        case_t{"incomplete", "A: 1\r\nB", false, {"field [A] [1]"}, 7, parser_t::running},
        case_t{"space_inside_name", "Na me: v\r\n\r\n", false, {"error invalid field block data"}, 0, parser_t::failed},
        case_t{"cr_without_lf", "A: 1\rB: 2\r\n\r\n", false, {"error invalid field block data"}, 0, parser_t::failed},
        case_t{"cr_without_lf_at_end",
               "A: 1\r\n\rX",
               false,
               {"field [A] [1]", "error invalid field block data"},
               0,
               parser_t::failed},
        case_t{"nul_in_value",
               std::string("A: \0\r\n\r\n", 8),
               false,
               {"error invalid field block data"},
               0,
               parser_t::failed},
        case_t{"fold_first_line", " A: 1\r\n\r\n", false, {"error invalid field block data"}, 0, parser_t::failed},
        // A field goes to the delegate only once the next line starts
        // with a name or ends the block.
        case_t{"bad_first_byte_after_a_field",
               "A: 1\r\n(B: 2\r\n\r\n",
               false,
               {"error invalid field block data"},
               0,
               parser_t::failed},
        case_t{"bad_first_byte", "(A: 1\r\n\r\n", false, {"error invalid field block data"}, 0, parser_t::failed},
        case_t{"name_without_colon", "A\r\n\r\n", false, {"error invalid field block data"}, 0, parser_t::failed}),
    test::case_name);

TEST(field_block_parser, error_gives_position_and_excerpt_from_the_offending_byte)
{
    field_block_parser_t parser(nullptr);
    std::string const input = "A: 1\r\nNa me: v\r\n";
    try {
        parser.parse(input.data(), input.size(), false);
        FAIL() << "no error";
    } catch (const field_block_parser_t::parser_error_t& e) {
        EXPECT_EQ(e.position(), 10);
        EXPECT_STREQ(e.what(), "invalid field block data: \"me: v\\r\\n\"");
    }
    EXPECT_EQ(parser.status(), parser_t::failed);
    EXPECT_THROW(parser.parse("x", 1, false), field_block_parser_t::error_t);
}

// A line whose end is in the input is checked in one pass, one cut short
// byte by byte: both must fail at the same byte with the same excerpt.
struct error_case_t {
    const char* name;
    std::string input;
    std::int32_t position; // 1-based, of the offending byte
};

class field_block_errors : public ::testing::TestWithParam<error_case_t> {};

TEST_P(field_block_errors, same_byte_with_or_without_the_end_of_the_line)
{
    const error_case_t& c = GetParam();
    const auto offending = static_cast<std::size_t>(c.position - 1);
    const std::string cut = c.input.substr(0, std::max(c.input.find('\n', offending + 1), offending + 1));
    for (const std::string& input : {c.input, cut}) {
        SCOPED_TRACE(input.size() == c.input.size() ? "whole" : "cut before the line end");
        recorder_t recorder;
        field_block_parser_t parser(&recorder);
        try {
            parser.parse(input.data(), input.size(), false);
            FAIL() << "no error";
        } catch (const field_block_parser_t::parser_error_t& e) {
            EXPECT_EQ(e.position(), c.position);
            const std::string excerpt = input.substr(offending);
            EXPECT_EQ(std::string(e.what()), field_block_parser_t::parser_error_t("invalid field block data",
                                                                                  excerpt.data(), excerpt.size(), 0)
                                                 .what());
        }
        EXPECT_EQ(parser.status(), parser_t::failed);
    }
}

INSTANTIATE_TEST_SUITE_P(lines, field_block_errors,
                         ::testing::Values(error_case_t{"space_inside_name", "A: 1\r\nNa me: v\r\n", 10},
                                           error_case_t{"control_byte_in_name", "A: 1\r\nB\x01: 2\r\n", 8},
                                           error_case_t{"blank_then_no_colon", "A \tB: v\r\n", 4},
                                           error_case_t{"name_ends_the_line", "Ab\r\n\r\n", 3},
                                           error_case_t{"name_then_bare_lf", "A\n\n", 2},
                                           error_case_t{"cr_inside_value", "A: x\ry\r\n\r\n", 6},
                                           error_case_t{"cr_before_the_cr_lf", "A: x\r\r\n", 6},
                                           error_case_t{"nul_inside_value", std::string("A: x\0y\r\n", 8), 5},
                                           error_case_t{"nul_before_a_stray_cr", std::string("A: \0\rx\r\n", 8), 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(field_block_parser, refuses_input_after_complete_and_takes_it_after_reset)
{
    recorder_t recorder;
    field_block_parser_t parser(&recorder);
    EXPECT_EQ(parser.parse("\r\n", 2, false), 2u);
    ASSERT_EQ(parser.status(), parser_t::complete);
    try {
        parser.parse("A: 1\r\n", 6, false);
        FAIL() << "no error";
    } catch (const field_block_parser_t::error_t& e) {
        EXPECT_STREQ(e.what(), "invalid state");
    }
    parser.reset();
    EXPECT_EQ(parser.parse("A: 1\r\n\r\n", 8, false), 8u);
    EXPECT_EQ(recorder.log.events(), std::vector<std::string>{"field [A] [1]"});
}

struct throwing_t : field_block_parser_t::delegate_t {
    void on_field(field_block_parser_t&, const proto::field_view_t&) override { throw std::runtime_error("x"); }
};

TEST(field_block_parser, delegate_exception_becomes_positioned_parser_error)
{
    throwing_t delegate;
    field_block_parser_t parser(&delegate);
    // The field is delivered at the CR of the empty line, byte 7.
    try {
        parser.feed("A: 1\r\n\r\n", 8, false);
        FAIL() << "no error";
    } catch (const field_block_parser_t::parser_error_t& e) {
        EXPECT_STREQ(e.what(), "x");
        EXPECT_EQ(e.position(), 7);
    }
    EXPECT_EQ(parser.status(), parser_t::failed);
}

} // namespace
