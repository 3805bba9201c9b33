#include "protocol/parsers/chunked_data_parser.hpp"

#include "protocol/split_feeder.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using proto::chunked_data_parser_t;
using proto::parser_t;

struct recorder_t : chunked_data_parser_t::delegate_t {
    test::event_log_t log;
    void on_chunk(chunked_data_parser_t&, std::int64_t size, const std::string& extension) override
    {
        log.add("chunk " + std::to_string(size) + " [" + extension + "]");
    }
    void on_data(chunked_data_parser_t&, const char* data, std::size_t size) override
    {
        log.data("data", std::string_view(data, size));
    }
    void on_trailer_field(chunked_data_parser_t&, const proto::field_t& field) override
    {
        log.add("trailer [" + field.name + "] [" + field.value + "]");
    }
};

test::outcome_t run(const std::vector<std::string_view>& pieces, bool last)
{
    recorder_t recorder;
    chunked_data_parser_t parser(&recorder);
    return test::drive(parser, recorder.log, pieces, last);
}

using test::case_t;

class chunked_cases : public ::testing::TestWithParam<case_t> {};

TEST_P(chunked_cases, same_events_however_the_body_is_cut)
{
    test::expect_case(GetParam(), run);
}

INSTANTIATE_TEST_SUITE_P(
    bodies, chunked_cases,
    ::testing::Values(
        // The bytes after the final chunk belong to whatever follows.
        case_t{"one_chunk",
               "5\r\nhello\r\n0\r\n\r\nNEXT",
               false,
               {"chunk 5 []", "data:hello", "chunk 0 []"},
               15,
               parser_t::complete},
        case_t{"bare_lf",
               "5\nhello\n0\n\nNEXT",
               false,
               {"chunk 5 []", "data:hello", "chunk 0 []"},
               11,
               parser_t::complete},
        case_t{"upper_and_lower_hex",
               "A\r\n0123456789\r\nb\r\nabcdefghijk\r\n0\r\n\r\n",
               false,
               {"chunk 10 []", "data:0123456789", "chunk 11 []", "data:abcdefghijk", "chunk 0 []"},
               36,
               parser_t::complete},
        case_t{"data_then_size_without_line_end",
               "5\r\nhello3\r\nabc0\r\n\r\n",
               false,
               {"chunk 5 []", "data:hello", "chunk 3 []", "data:abc", "chunk 0 []"},
               19,
               parser_t::complete},
        case_t{"leading_line_end",
               "\r\n2\r\nab\r\n0\r\n\r\n",
               false,
               {"chunk 2 []", "data:ab", "chunk 0 []"},
               14,
               parser_t::complete},
        case_t{"extension",
               "5;ieof\r\nhello\r\n0; last \r\n\r\n",
               false,
               {"chunk 5 [ieof]", "data:hello", "chunk 0 [last]"},
               27,
               parser_t::complete},
        case_t{"extension_after_blanks",
               "5 ; a=b \r\nhello\r\n0\r\n\r\n",
               false,
               {"chunk 5 [a=b]", "data:hello", "chunk 0 []"},
               22,
               parser_t::complete},
        case_t{"trailers_kept",
               "1\r\nx\r\n0\r\nA: 1\r\nB:  two \r\n\r\nNEXT",
               false,
               {"chunk 1 []", "data:x", "chunk 0 []", "trailer [A] [1]", "trailer [B] [two]"},
               27,
               parser_t::complete},
        case_t{"oversized_size_saturates",
               "fffffffffffffffffff\r\nab",
               false,
               {"chunk 9223372036854775807 []", "data:ab"},
               23,
               parser_t::running},
        case_t{"last_completes_inside_data", "5\r\nhel", true, {"chunk 5 []", "data:hel"}, 6, parser_t::complete},
        case_t{"unfinished_trailers", "0\r\nA: 1\r\n", false, {"chunk 0 []"}, 9, parser_t::running},
        case_t{"space_before_size",
               " 5\r\nhello\r\n0\r\n\r\n",
               false,
               {"error invalid chunked data"},
               0,
               parser_t::failed},
        case_t{
            "two_empty_lines_before_size", "\r\n\r\n5\r\n", false, {"error invalid chunked data"}, 0, parser_t::failed},
        case_t{"cr_without_lf", "5\rhello", false, {"error invalid chunked data"}, 0, parser_t::failed},
        case_t{"cr_without_lf_after_data",
               "2\r\nab\rx",
               false,
               {"chunk 2 []", "data:ab", "error invalid chunked data"},
               0,
               parser_t::failed},
        case_t{"digit_after_blank", "5 6\r\n", false, {"error invalid chunked data"}, 0, parser_t::failed},
        case_t{"not_hex", "g\r\n", false, {"error invalid chunked data"}, 0, parser_t::failed},
        case_t{"nul_in_extension",
               std::string("5;a\0\r\n", 6),
               false,
               {"error invalid chunked data"},
               0,
               parser_t::failed},
        case_t{"bad_trailer",
               "0\r\nA B\r\n\r\n",
               false,
               {"chunk 0 []", "error invalid field block data"},
               0,
               parser_t::failed}),
    test::case_name);

// Offers `input` whole and reports the parser's events.
test::outcome_t run_whole(const std::string& input)
{
    return run({std::string_view(input)}, false);
}

TEST(chunked_data_parser, size_line_up_to_the_limit_is_taken)
{
    // Digits, blank, ";" and extension count; the line ends do not.
    std::string const extension(chunked_data_parser_t::max_size_line - 3, 'e');
    const auto outcome = run_whole("\r\n1 ;" + extension + "\r\nx\r\n0\r\n\r\n");
    EXPECT_EQ(outcome.status, parser_t::complete);
    ASSERT_FALSE(outcome.events.empty());
    EXPECT_EQ(outcome.events.front(), "chunk 1 [" + extension + "]");
}

TEST(chunked_data_parser, size_line_over_the_limit_is_refused)
{
    std::string const extension(chunked_data_parser_t::max_size_line - 2, 'e');
    for (const auto& input : {"1 ;" + extension + "\r\n", "1;" + extension + "ee", std::string(70000, '0')}) {
        const auto whole = run_whole(input);
        EXPECT_EQ(whole.status, parser_t::failed);
        EXPECT_EQ(whole.events, std::vector<std::string>{"error invalid chunked data: chunk-size line too long"});
    }
    // The limit holds however the line arrives.
    std::vector<std::string_view> bytes;
    std::string const input = "1;" + extension + "ee\r\n";
    for (std::size_t i = 0; i < input.size(); ++i)
        bytes.push_back(std::string_view(input).substr(i, 1));
    EXPECT_EQ(run(bytes, false).status, parser_t::failed);
}

std::string trailer_block(std::size_t size)
{
    // One field "T: vvv..." CR LF, then the empty line.
    std::string const value(size - 7, 'v');
    return "T: " + value + "\r\n\r\n";
}

TEST(chunked_data_parser, trailer_block_up_to_the_limit_is_taken)
{
    std::string const block = trailer_block(chunked_data_parser_t::max_trailer_block);
    ASSERT_EQ(block.size(), chunked_data_parser_t::max_trailer_block);
    const auto outcome = run_whole("0\r\n" + block + "NEXT");
    EXPECT_EQ(outcome.status, parser_t::complete);
    EXPECT_EQ(outcome.taken, 3 + block.size());
}

TEST(chunked_data_parser, trailer_block_over_the_limit_is_refused)
{
    std::size_t const limit = chunked_data_parser_t::max_trailer_block;
    // Complete but too long, and too long before its first line ends.
    std::string const complete_block = "0\r\n" + trailer_block(limit + 1);
    std::string const first_line_only = "0\r\n" + trailer_block(limit + 10).substr(0, limit + 1);
    for (const auto& input : {complete_block, first_line_only}) {
        const auto outcome = run_whole(input);
        EXPECT_EQ(outcome.status, parser_t::failed);
        EXPECT_EQ(outcome.events.back(), "error invalid chunked data: trailer block too long");
    }
    // Many small trailer fields count together, also when they come in pieces.
    std::string many = "0\r\n";
    while (many.size() < 70000)
        many += "A: 1\r\n";
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at < many.size(); at += 1000)
        pieces.push_back(std::string_view(many).substr(at, 1000));
    const auto outcome = run(pieces, false);
    EXPECT_EQ(outcome.status, parser_t::failed);
    EXPECT_EQ(outcome.events.back(), "error invalid chunked data: trailer block too long");
}

TEST(chunked_data_parser, error_is_sticky_until_reset)
{
    recorder_t recorder;
    chunked_data_parser_t parser(&recorder);
    EXPECT_THROW(parser.parse("x", 1, false), chunked_data_parser_t::parser_error_t);
    for (std::string const next : {"5\r\n", "", "0\r\n\r\n"}) {
        try {
            parser.parse(next.data(), next.size(), false);
            FAIL() << "no error";
        } catch (const chunked_data_parser_t::error_t& e) {
            EXPECT_STREQ(e.what(), "invalid state");
        }
        EXPECT_EQ(parser.status(), parser_t::failed);
    }
    parser.reset();
    EXPECT_EQ(parser.feed("0\r\n\r\n", 5, false), 5u);
    EXPECT_EQ(parser.status(), parser_t::complete);
    EXPECT_THROW(parser.parse("0", 1, false), chunked_data_parser_t::error_t);
}

TEST(chunked_data_parser, stops_at_each_inner_boundary)
{
    recorder_t recorder;
    chunked_data_parser_t parser(&recorder);
    std::string const input = "3\r\nabc\r\n0\r\n\r\nX";
    std::vector<std::size_t> steps;
    std::size_t at = 0;
    while (parser.status() == parser_t::running) {
        std::size_t const n = parser.parse(input.data() + at, input.size() - at, false);
        steps.push_back(n);
        at += n;
    }
    // Size line, data, the next size line with the previous line end, trailers.
    EXPECT_EQ(steps, (std::vector<std::size_t>{3, 3, 5, 2}));
    EXPECT_EQ(at, input.size() - 1);
}

TEST(chunked_data_parser, delegate_exception_becomes_positioned_parser_error)
{
    struct throwing_t : recorder_t {
        void on_chunk(chunked_data_parser_t&, std::int64_t, const std::string&) override
        {
            throw std::runtime_error("x");
        }
    } delegate;
    chunked_data_parser_t parser(&delegate);
    try {
        parser.feed("12;e\r\n", 6, false);
        FAIL() << "no error";
    } catch (const chunked_data_parser_t::parser_error_t& e) {
        EXPECT_STREQ(e.what(), "x");
        EXPECT_EQ(e.position(), 6);
    }
    EXPECT_EQ(parser.status(), parser_t::failed);
}

TEST(chunked_data_parser, works_without_delegate)
{
    chunked_data_parser_t parser(nullptr);
    std::string const input = "2\r\nab\r\n0\r\nA: 1\r\n\r\n";
    EXPECT_EQ(parser.feed(input.data(), input.size(), false), input.size());
    EXPECT_EQ(parser.status(), parser_t::complete);
}

} // namespace
