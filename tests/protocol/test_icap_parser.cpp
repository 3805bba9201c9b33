#include "protocol/parsers/icap_parser.hpp"

#include "protocol/split_feeder.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace {

using proto::parser_t;
namespace icap = proto::icap;

const char* const kind_names[] = {"req_hdr", "res_hdr", "req_body", "res_body", "opt_body", "null_body"};

std::string version(int major, int minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}

struct recorder_t : icap::parser_t::delegate_t {
    test::event_log_t log;
    void on_request_line(icap::parser_t&, const proto::request_line_t& line) override
    {
        log.add("request [" + line.method + "] [" + line.uri + "] " + version(line.major, line.minor));
    }
    void on_status_line(icap::parser_t&, const proto::status_line_t& line) override
    {
        log.add("status " + std::to_string(line.code) + " [" + line.reason + "] " + version(line.major, line.minor));
    }
    void on_field(icap::parser_t&, const proto::field_view_t& field) override
    {
        log.add("field [" + std::string(field.name) + "] [" + std::string(field.value) + "]");
    }
    void on_encapsulated(icap::parser_t&, const icap::section_list_t& sections) override
    {
        std::string text = "encapsulated";
        for (const auto& s : sections)
            text +=
                " " + std::string(kind_names[s.kind]) + "@" + std::to_string(s.offset) + "/" + std::to_string(s.length);
        log.add(text);
    }
    void on_head_end(icap::parser_t&) override { log.add("head end"); }
    void on_data(icap::parser_t&, icap::section_kind_t kind, const char* data, std::size_t size) override
    {
        log.data(kind_names[kind], std::string_view(data, size));
    }
};

test::outcome_t run(const std::vector<std::string_view>& pieces, bool last)
{
    recorder_t recorder;
    icap::parser_t parser(&recorder);
    return test::drive(parser, recorder.log, pieces, last);
}

using test::case_t;

class icap_cases : public ::testing::TestWithParam<case_t> {};

TEST_P(icap_cases, same_events_however_the_message_is_cut)
{
    test::expect_case(GetParam(), run);
}

std::string const reqmod_head =
    "REQMOD icap://h/reqmod ICAP/1.0\r\nHost: h\r\nEncapsulated: req-hdr=0, req-body=20\r\n\r\n";
std::string const http_head = "GET /xy HTTP/1.1\r\n\r\n"; // 20 bytes
std::string const body = "5\r\nhello\r\n0\r\n\r\n";

std::string encapsulated_error(const std::string& value)
{
    return "error invalid icap encapsulated field: " + value;
}

// A query whose head ends with the given Encapsulated value.
std::string options_with(const std::string& value)
{
    return "OPTIONS * ICAP/1.0\r\nEncapsulated: " + value + "\r\n\r\n";
}

std::vector<std::string> options_events(const std::string& value, const std::vector<std::string>& more)
{
    std::vector<std::string> events{"request [OPTIONS] [*] 1.0", "field [Encapsulated] [" + value + "]"};
    events.insert(events.end(), more.begin(), more.end());
    return events;
}

INSTANTIATE_TEST_SUITE_P(
    messages, icap_cases,
    ::testing::Values(
        case_t{"reqmod_with_head_and_body_then_next_query",
               reqmod_head + http_head + body + "NEXT",
               false,
               {"request [REQMOD] [icap://h/reqmod] 1.0", "field [Host] [h]",
                "field [Encapsulated] [req-hdr=0, req-body=20]", "encapsulated req_hdr@0/20 req_body@20/-1", "head end",
                "req_hdr:" + http_head, "req_body:" + body},
               reqmod_head.size() + http_head.size() + body.size(),
               parser_t::complete},
        case_t{"options_null_body", options_with("null-body=0") + "NEXT", false,
               options_events("null-body=0", {"encapsulated null_body@0/-1"}), options_with("null-body=0").size(),
               parser_t::complete},
        case_t{
            "no_version_bare_lf", "OPTIONS * \n\nNEXT", false, {"request [OPTIONS] [*] 0.0"}, 12, parser_t::complete},
        case_t{"status_after_blank_lines",
               "\n\nICAP/1.0 200 OK\r\n\r\n",
               false,
               {"status 200 [OK] 1.0"},
               21,
               parser_t::complete},
        case_t{"blank_lines_then_blanks_before_code",
               "\n\n \t204 No\r\n\r\n",
               false,
               {"status 204 [No] 0.0"},
               14,
               parser_t::complete},
        case_t{"status_lower_case_no_reason",
               "icap/1.0 204\r\n\r\n",
               false,
               {"status 204 [] 1.0"},
               16,
               parser_t::complete},
        case_t{"status_without_version", " \t200 \r\n\r\n", false, {"status 200 [] 0.0"}, 10, parser_t::complete},
        case_t{"reason_keeps_blanks",
               "ICAP/1.0  200  Not  Here \r\n\r\n",
               false,
               {"status 200 [ Not  Here ] 1.0"},
               29,
               parser_t::complete},
        // A request line here whole is taken in one pass, one cut short byte
        // by byte: the same outcome either way.
        case_t{"blanks_around_uri_and_version",
               "M2x \t*\t ICAP/1.0 \t\r\n\r\n",
               false,
               {"request [M2x] [*] 1.0"},
               22,
               parser_t::complete},
        case_t{"request_version_in_lower_case_bare_lf",
               "reqmod /x icap/01.002\n\n",
               false,
               {"request [reqmod] [/x] 1.2"},
               23,
               parser_t::complete},
        case_t{"blank_after_cr_in_request_line",
               "OPTIONS * ICAP/1.0\r \n\r\n",
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"version_without_minor",
               "OPTIONS * ICAP/1.\r\n\r\n",
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"version_word_cut_short",
               "OPTIONS * ICA/1.0\r\n\r\n",
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"method_starting_like_version",
               "ICAPX x ICAP/1.0\r\n\r\n",
               false,
               {"request [ICAPX] [x] 1.0"},
               20,
               parser_t::complete},
        case_t{"version_overflow_saturates",
               "OPTIONS * ICAP/4294967297.4294967296\r\n\r\n",
               false,
               {"request [OPTIONS] [*] 2147483647.2147483647"},
               40,
               parser_t::complete},
        case_t{"status_version_overflow_saturates",
               "ICAP/4294967297.0 4294967496\r\n\r\n",
               false,
               {"status 2147483647 [] 2147483647.0"},
               32,
               parser_t::complete},
        case_t{"blank_line_before_request",
               "\nREQMOD * ICAP/1.0\r\n\r\n",
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"cr_before_start_line",
               "\r\nICAP/1.0 200 OK\r\n\r\n",
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"cr_without_lf_in_start_line",
               "OPTIONS * ICAP/1.0\rX\r\n\r\n",
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"http_version_in_icap",
               "OPTIONS * HTTP/1.0\r\n\r\n",
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        // A long URI is scanned eight bytes at a time: control and high
        // bytes belong to it, a blank ends it and a NUL fails, wherever
        // they are.
        case_t{"long_uri_with_control_and_high_bytes",
               "OPTIONS icap://h/\x01\x1f\x7f\xff/abcdefghi ICAP/1.0\r\n\r\n",
               false,
               {"request [OPTIONS] [icap://h/\x01\x1f\x7f\xff/abcdefghi] 1.0"},
               44,
               parser_t::complete},
        case_t{"tab_ends_a_long_uri",
               "OPTIONS icap://h/abcdefghij\tICAP/1.0\r\n\r\n",
               false,
               {"request [OPTIONS] [icap://h/abcdefghij] 1.0"},
               40,
               parser_t::complete},
        case_t{"nul_late_in_a_long_uri",
               std::string("OPTIONS icap://h/abcdefgh\0ij ICAP/1.0\r\n\r\n", 41),
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"nul_in_uri",
               std::string("OPTIONS *\0 ICAP/1.0\r\n\r\n", 23),
               false,
               {"error invalid icap request or response"},
               0,
               parser_t::failed},
        case_t{"head_section_then_null_body", options_with("req-hdr=0, null-body=5") + "abcdeNEXT", false,
               options_events("req-hdr=0, null-body=5",
                              {"encapsulated req_hdr@0/5 null_body@5/-1", "head end", "req_hdr:abcde"}),
               options_with("req-hdr=0, null-body=5").size() + 5, parser_t::complete},
        // Offsets read as atoll reads them: a sign, the digits up to the first
        // other byte, none at all as 0.
        case_t{"offsets_as_atoll_reads_them", options_with("req-hdr=+0, res-hdr=-0x, null-body=3 4") + "abcNEXT", false,
               options_events("req-hdr=+0, res-hdr=-0x, null-body=3 4",
                              {"encapsulated req_hdr@0/0 res_hdr@0/3 null_body@3/-1", "head end", "res_hdr:abc"}),
               options_with("req-hdr=+0, res-hdr=-0x, null-body=3 4").size() + 3, parser_t::complete},
        case_t{"offset_without_digits_is_zero", options_with("req-hdr=x, null-body=\v2") + "abNEXT", false,
               options_events("req-hdr=x, null-body=\v2",
                              {"encapsulated req_hdr@0/2 null_body@2/-1", "head end", "req_hdr:ab"}),
               options_with("req-hdr=x, null-body=\v2").size() + 2, parser_t::complete},
        case_t{"names_in_any_case_with_blanks", options_with("REQ-HDR = 0 , Req-Body = 3") + "abc0\r\n\r\n", false,
               options_events("REQ-HDR = 0 , Req-Body = 3", {"encapsulated req_hdr@0/3 req_body@3/-1", "head end",
                                                             "req_hdr:abc", "req_body:0\r\n\r\n"}),
               options_with("REQ-HDR = 0 , Req-Body = 3").size() + 8, parser_t::complete},
        case_t{"every_kind_in_mixed_case", options_with("rEs-HdR=0, ReQ-hDr=1, oPt-BoDy=2") + "ab0\r\n\r\n", false,
               options_events("rEs-HdR=0, ReQ-hDr=1, oPt-BoDy=2",
                              {"encapsulated res_hdr@0/1 req_hdr@1/1 opt_body@2/-1", "head end", "res_hdr:a",
                               "req_hdr:b", "opt_body:0\r\n\r\n"}),
               options_with("rEs-HdR=0, ReQ-hDr=1, oPt-BoDy=2").size() + 7, parser_t::complete},
        case_t{"other_separator_in_a_name", options_with("req_hdr=0, null-body=1"), false,
               options_events("req_hdr=0, null-body=1", {encapsulated_error("req_hdr=0, null-body=1")}), 0,
               parser_t::failed},
        case_t{"names_one_letter_short_or_long", options_with("nul-body=0, req-hdrs=0"), false,
               options_events("nul-body=0, req-hdrs=0", {encapsulated_error("nul-body=0, req-hdrs=0")}), 0,
               parser_t::failed},
        case_t{"repeated_head_kinds_and_empty_section",
               options_with("res-hdr=0, req-hdr=0, res-hdr=2, opt-body=5") + "abcde0\r\n\r\n", false,
               options_events("res-hdr=0, req-hdr=0, res-hdr=2, opt-body=5",
                              {"encapsulated res_hdr@0/0 req_hdr@0/2 res_hdr@2/3 opt_body@5/-1", "head end",
                               "req_hdr:ab", "res_hdr:cde", "opt_body:0\r\n\r\n"}),
               options_with("res-hdr=0, req-hdr=0, res-hdr=2, opt-body=5").size() + 10, parser_t::complete},
        case_t{"later_encapsulated_replaces",
               "OPTIONS * ICAP/1.0\r\nEncapsulated: req-hdr=0, null-body=1\r\n"
               "encapsulated: null-body=0\r\n\r\nNEXT",
               false,
               {"request [OPTIONS] [*] 1.0", "field [Encapsulated] [req-hdr=0, null-body=1]",
                "encapsulated req_hdr@0/1 null_body@1/-1", "field [encapsulated] [null-body=0]",
                "encapsulated null_body@0/-1"},
               87,
               parser_t::complete},
        case_t{"empty_encapsulated", options_with(""), false, options_events("", {"encapsulated"}),
               options_with("").size(), parser_t::complete},
        case_t{"body_not_last", options_with("res-body=0, res-hdr=10"), false,
               options_events("res-body=0, res-hdr=10", {encapsulated_error("res-body=0, res-hdr=10")}), 0,
               parser_t::failed},
        case_t{"first_offset_not_zero", options_with("req-hdr=5, req-body=10"), false,
               options_events("req-hdr=5, req-body=10", {encapsulated_error("req-hdr=5, req-body=10")}), 0,
               parser_t::failed},
        case_t{"negative_length", options_with("req-hdr=0, res-hdr=300, res-body=200"), false,
               options_events("req-hdr=0, res-hdr=300, res-body=200",
                              {encapsulated_error("req-hdr=0, res-hdr=300, res-body=200")}),
               0, parser_t::failed},
        case_t{"last_not_body", options_with("req-hdr=0"), false,
               options_events("req-hdr=0", {encapsulated_error("req-hdr=0")}), 0, parser_t::failed},
        case_t{"unknown_name", options_with("req-hdr=0, foo-body=1"), false,
               options_events("req-hdr=0, foo-body=1", {encapsulated_error("req-hdr=0, foo-body=1")}), 0,
               parser_t::failed},
        case_t{"empty_piece", options_with("req-hdr=0,, null-body=1"), false,
               options_events("req-hdr=0,, null-body=1", {encapsulated_error("req-hdr=0,, null-body=1")}), 0,
               parser_t::failed},
        case_t{"separator_at_the_end_adds_no_piece", options_with("null-body=0=,"), false,
               options_events("null-body=0=,", {"encapsulated null_body@0/-1"}), options_with("null-body=0=,").size(),
               parser_t::complete},
        case_t{"three_parts", options_with("null-body=0=1"), false,
               options_events("null-body=0=1", {encapsulated_error("null-body=0=1")}), 0, parser_t::failed},
        case_t{"no_offset", options_with("null-body"), false,
               options_events("null-body", {encapsulated_error("null-body")}), 0, parser_t::failed},
        case_t{"negative_offset", options_with("null-body=-1"), false,
               options_events("null-body=-1", {encapsulated_error("null-body=-1")}), 0, parser_t::failed},
        case_t{"offset_overflow", options_with("req-hdr=0, req-body=99999999999999999999"), false,
               options_events("req-hdr=0, req-body=99999999999999999999",
                              {encapsulated_error("req-hdr=0, req-body=99999999999999999999")}),
               0, parser_t::failed},
        case_t{"huge_offsets_do_not_wrap", options_with("req-hdr=0, res-hdr=9223372036854775807, res-body=0"), false,
               options_events("req-hdr=0, res-hdr=9223372036854775807, res-body=0",
                              {encapsulated_error("req-hdr=0, res-hdr=9223372036854775807, res-body=0")}),
               0, parser_t::failed},
        case_t{"bad_first_body_bytes", options_with("res-body=0") + "zz\r\n", false,
               options_events("res-body=0", {"encapsulated res_body@0/-1", "head end", "error invalid chunked data"}),
               0, parser_t::failed},
        case_t{"input_ends_in_head",
               "OPTIONS * ICAP/1.0\r\nHost: h\r\n",
               true,
               {"request [OPTIONS] [*] 1.0", "error invalid icap message"},
               0,
               parser_t::running},
        case_t{"input_ends_in_body", options_with("res-body=0") + "5\r\nab", true,
               options_events("res-body=0", {"encapsulated res_body@0/-1", "head end", "res_body:5\r\nab"}),
               options_with("res-body=0").size() + 5, parser_t::complete}),
    test::case_name);

TEST(icap_parser, parse_stops_at_every_boundary_and_feed_at_the_end)
{
    std::string const input = reqmod_head + http_head + body + "NEXT";
    recorder_t recorder;
    icap::parser_t parser(&recorder);
    std::vector<std::size_t> steps;
    std::size_t at = 0;
    while (parser.status() == parser_t::running) {
        std::size_t const n = parser.parse(input.data() + at, input.size() - at, false);
        steps.push_back(n);
        at += n;
    }
    // Start line, ICAP header, HTTP head, then the chunked body piece by piece.
    std::size_t const start_line = reqmod_head.find('\n') + 1;
    EXPECT_EQ(steps, (std::vector<std::size_t>{start_line, reqmod_head.size() - start_line, 20, 3, 5, 5, 2}));
    EXPECT_EQ(parser.parse(input.data() + at, input.size() - at, false), 0u);

    parser.reset();
    EXPECT_EQ(parser.feed(input.data(), input.size(), false), input.size() - 4);
    EXPECT_EQ(parser.status(), parser_t::complete);
}

// Values in the spelling clients use and values that differ from it in one
// detail, read into a list that still holds the sections of a longer value:
// each gives the sections (or the error) of its plain meaning, however it
// is spelt and whatever a first reading of its start took.
TEST(icap_parser, encapsulated_values_read_the_same_in_any_spelling)
{
    const struct {
        std::string value;
        std::string sections; // "error" when the value is refused
    } cases[] = {
        {"req-hdr=0, null-body=88", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr=0, res-hdr=137, res-body=296", "req_hdr@0/137 res_hdr@137/159 res_body@296/-1"},
        {"res-hdr=0, res-body=00296", "res_hdr@0/296 res_body@296/-1"},
        {"req-hdr=0, NULL-BODY=88", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr=0,null-body=88", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr=0,  null-body=88", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr=0, null-body=88,", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr=0, null-body=88 ", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr=0, null-body=88x", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr = 0, null-body=88", "req_hdr@0/88 null_body@88/-1"},
        {"req-hdr=0, null-body=123456789012345678", "req_hdr@0/123456789012345678 null_body@123456789012345678/-1"},
        {"req-hdr=0, null-body=9223372036854775807", "req_hdr@0/9223372036854775807 null_body@9223372036854775807/-1"},
        {"req-hdr=0, null-body=9223372036854775808", "error"},
        {"req-hdr=0, null-body=88, ", "error"},
        {"req-hdr=0, null-body=88, req-body=90", "error"},
        {"req-hdr=0, null-body=", "error"},
        {"req-hdr=0, null-body", "error"},
        {"req-hdr=0, null_body=88", "error"},
        {"req-hdr=1, null-body=88", "error"},
        // Each name alone, as short as it can be, and one letter off.
        {"null-body=0", "null_body@0/-1"},
        {"req-body=0", "req_body@0/-1"},
        {"RES-BODY=0", "res_body@0/-1"},
        {"opt-body=0", "opt_body@0/-1"},
        {"res-hdr=0, opt-body=7", "res_hdr@0/7 opt_body@7/-1"},
        {"req-hdr=0, null-bodx=88", "error"},
        {"req-hdr=0, opt-bodyx=88", "error"},
        {"req-hdr=0, opt-bod=88", "error"},
        {"req-hdr=0, n", "error"},
        // Bytes whose low seven bits spell a name are no letters.
        {"req-hdr=0, null-bod\xd9=88", "error"},
        {"\xf2"
         "eq-hdr=0, null-body=88",
         "error"},
        {"req-hdr=0, \xeeull-body=88", "error"},
    };
    for (const auto& c : cases) {
        icap::section_list_t sections{
            {0, 5, icap::req_hdr}, {5, 5, icap::res_hdr}, {10, 7, icap::res_hdr}, {17, -1, icap::res_body}};
        std::string read;
        try {
            icap::parse_encapsulated(c.value, sections);
            for (const auto& section : sections)
                read += (read.empty() ? "" : " ") + std::string(kind_names[section.kind]) + "@" +
                        std::to_string(section.offset) + "/" + std::to_string(section.length);
        } catch (const icap::parser_t::error_t& e) {
            EXPECT_EQ(e.what(), "invalid icap encapsulated field: " + c.value);
            read = "error";
        }
        EXPECT_EQ(read, c.sections) << c.value;
    }
}

TEST(icap_parser, encapsulated_error_is_positioned_after_its_line)
{
    icap::parser_t parser(nullptr);
    std::string const input = options_with("req-hdr=0");
    try {
        parser.feed(input.data(), input.size(), false);
        FAIL() << "no error";
    } catch (const icap::parser_t::parser_error_t& e) {
        EXPECT_EQ(e.position(), static_cast<std::int32_t>(input.size() - 1));
    }
}

TEST(icap_parser, failed_parser_refuses_input_until_reset)
{
    recorder_t recorder;
    icap::parser_t parser(&recorder);
    EXPECT_THROW(parser.parse("\r", 1, false), icap::parser_t::parser_error_t);
    EXPECT_EQ(parser.status(), parser_t::failed);
    try {
        parser.parse("a\tb", 3, false);
        FAIL() << "no error";
    } catch (const icap::parser_t::error_t& e) {
        EXPECT_STREQ(e.what(), "invalid icap data: \"a\\tb\"");
    }
    parser.reset();
    std::string const input = "ICAP/1.0 200 OK\r\n\r\n";
    EXPECT_EQ(parser.feed(input.data(), input.size(), false), input.size());
    EXPECT_EQ(parser.status(), parser_t::complete);
}

struct unexpected_t : std::exception {
    const char* what() const noexcept override { return "unexpected"; }
};

// Throws from the one event it is told to.
struct throwing_t : recorder_t {
    std::string event;
    std::function<void()> raise;

    void at(const char* name)
    {
        if (event == name)
            raise();
    }
    void on_request_line(icap::parser_t&, const proto::request_line_t&) override { at("request line"); }
    void on_status_line(icap::parser_t&, const proto::status_line_t&) override { at("status line"); }
    void on_field(icap::parser_t&, const proto::field_view_t&) override { at("field"); }
    void on_encapsulated(icap::parser_t&, const icap::section_list_t&) override { at("encapsulated"); }
    void on_head_end(icap::parser_t&) override { at("head end"); }
    void on_data(icap::parser_t&, icap::section_kind_t, const char*, std::size_t) override { at("data"); }
};

// Only a parse error fails the parser. Whatever else a delegate throws
// leaves it as it comes (an allocation failure, a script's own unwinding),
// except that the field events are reported as a positioned parse error.
TEST(icap_parser, delegate_exceptions)
{
    std::string const status_head = "ICAP/1.0 200 OK\r\nA: 1\r\n\r\n";
    std::string const options_head = options_with("null-body=0");
    // A field is reported at the empty line that ends the header block.
    auto end_of_header = [](const std::string& head) {
        return static_cast<std::int32_t>(head.size() - 1 - (head.find('\n') + 1));
    };
    struct case_t {
        const char* name;
        std::string input;
        const char* event;
        std::function<void()> raise;
        const std::type_info* caught;
        std::string what;
        std::int32_t position; // within the header block; 0: not a positioned error
        bool fails;
    } const cases[] = {
        {"foreign exception from the request line", reqmod_head, "request line", [] { throw unexpected_t(); },
         &typeid(unexpected_t), "unexpected", 0, false},
        {"parse error from the request line", reqmod_head, "request line",
         [] { throw icap::parser_t::error_t("unexpected icap request"); }, &typeid(icap::parser_t::error_t),
         "unexpected icap request", 0, true},
        {"allocation failure from the status line", status_head, "status line", [] { throw std::bad_alloc(); },
         &typeid(std::bad_alloc), std::bad_alloc().what(), 0, false},
        {"foreign exception from the head end", reqmod_head, "head end", [] { throw unexpected_t(); },
         &typeid(unexpected_t), "unexpected", 0, false},
        {"foreign exception from section data", reqmod_head + http_head + body, "data", [] { throw unexpected_t(); },
         &typeid(unexpected_t), "unexpected", 0, false},
        {"field exception is wrapped", status_head, "field", [] { throw std::runtime_error("field"); },
         &typeid(icap::parser_t::parser_error_t), "field", end_of_header(status_head), true},
        {"encapsulated exception is wrapped", options_head, "encapsulated", [] { throw unexpected_t(); },
         &typeid(icap::parser_t::parser_error_t), "unexpected", end_of_header(options_head), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        throwing_t delegate;
        delegate.event = c.event;
        delegate.raise = c.raise;
        icap::parser_t parser(&delegate);
        std::size_t at = 0;
        try {
            while (parser.status() == parser_t::running && at < c.input.size())
                at += parser.parse(c.input.data() + at, c.input.size() - at, false);
            ADD_FAILURE() << "nothing thrown";
        } catch (const std::exception& e) {
            EXPECT_EQ(typeid(e), *c.caught) << typeid(e).name();
            EXPECT_EQ(e.what(), c.what);
            if (c.position != 0) {
                const auto* positioned = dynamic_cast<const icap::parser_t::parser_error_t*>(&e);
                ASSERT_NE(positioned, nullptr);
                EXPECT_EQ(positioned->position(), c.position);
            }
        }
        EXPECT_EQ(parser.status(), c.fails ? parser_t::failed : parser_t::running);
    }
}

} // namespace
