#include "protocol/parsers/multipart_data_parser.hpp"

#include "protocol/split_feeder.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using proto::multipart_data_parser_t;
using proto::parser_t;

// Names the parsers by order of appearance, so that nested bodies show in
// the log the same way in every run.
struct recorder_t : multipart_data_parser_t::delegate_t {
    explicit recorder_t(bool keep_empty_data) : log(keep_empty_data) {}

    test::event_log_t log;
    std::map<const multipart_data_parser_t*, std::size_t> names;

    std::string name(const multipart_data_parser_t& parser)
    {
        return "m" + std::to_string(names.emplace(&parser, names.size()).first->second);
    }
    void on_part_begin(multipart_data_parser_t& parser, bool closing) override
    {
        log.add(name(parser) + (closing ? " close" : " part"));
    }
    void on_part_field(multipart_data_parser_t& parser, const proto::field_t& field) override
    {
        log.add(name(parser) + " field [" + field.name + "] [" + field.value + "]");
    }
    void on_nested_multipart(multipart_data_parser_t& parser, multipart_data_parser_t* nested) override
    {
        EXPECT_EQ(nested->parent(), &parser);
        log.add(name(parser) + " nested " + name(*nested) + " [" + nested->boundary() + "]");
    }
    void on_part_data(multipart_data_parser_t& parser, int kind, const char* data, std::size_t size) override
    {
        static const char* const kinds[] = {"preamble", "epilogue", "body"};
        log.data(name(parser) + " " + kinds[kind], std::string_view(data, size));
    }
};

test::outcome_t run(const std::string& boundary, const std::vector<std::string_view>& pieces, bool last,
                    bool keep_empty_data = false)
{
    recorder_t recorder(keep_empty_data);
    multipart_data_parser_t parser(boundary, &recorder);
    recorder.name(parser);
    return test::drive(parser, recorder.log, pieces, last);
}

TEST(multipart_data_parser, reports_each_line_as_it_ends)
{
    std::string const body = "--b\r\nX: 1\r\n\r\ndata\r\n--b--\r\n";
    const auto outcome = run("b", {body}, true, true);
    EXPECT_EQ(outcome.events,
              (std::vector<std::string>{"m0 part", "m0 field [X] [1]", "m0 body:data", "m0 close", "m0 epilogue:"}));
    EXPECT_EQ(outcome.status, parser_t::complete);
    EXPECT_EQ(outcome.taken, body.size());
}

struct case_t {
    const char* name;
    std::string boundary;
    std::string body;
    bool last;
    std::vector<std::string> events;
    parser_t::status_t status;
};

class multipart_cases : public ::testing::TestWithParam<case_t> {};

TEST_P(multipart_cases, same_events_however_the_body_is_cut)
{
    const auto& c = GetParam();
    const auto outcome =
        test::expect_split_invariant(c.body, [&](const auto& pieces) { return run(c.boundary, pieces, c.last); });
    EXPECT_EQ(outcome.events, c.events);
    EXPECT_EQ(outcome.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    bodies, multipart_cases,
    ::testing::Values(
        case_t{"preamble_parts_epilogue",
               "b",
               "pre 1\r\npre 2\r\n--b\r\nA: 1\r\n\r\nfirst\r\n\r\n--b\r\n\r\nsecond\r\n--b--\r\nepi 1\r\nepi 2",
               true,
               {"m0 preamble:pre 1\r\npre 2", "m0 part", "m0 field [A] [1]", "m0 body:first\r\n", "m0 part",
                "m0 body:second", "m0 close", "m0 epilogue:epi 1\r\nepi 2"},
               parser_t::complete},
        case_t{"bare_lf",
               "b",
               "--b\nA: 1\n\nx\ny\n--b--\n",
               true,
               {"m0 part", "m0 field [A] [1]", "m0 body:x\ny", "m0 close"},
               parser_t::complete},
        case_t{"blanks_after_delimiter",
               "b",
               "--b  \r\n\r\nx\r\n--b--\t\r\n",
               true,
               {"m0 part", "m0 body:x", "m0 close"},
               parser_t::complete},
        case_t{"lookalike_lines_are_data",
               "b",
               "--b\r\n\r\n--bx\r\n--B\r\n-b\r\n --b\r\n--b--",
               true,
               {"m0 part", "m0 body:--bx\r\n--B\r\n-b\r\n --b", "m0 close"},
               parser_t::complete},
        case_t{"delimiters_after_close_are_epilogue",
               "b",
               "--b\r\n\r\nx\r\n--b--\r\n--b\r\n--b--\r\n",
               true,
               {"m0 part", "m0 body:x", "m0 close", "m0 epilogue:--b\r\n--b--\r\n"},
               parser_t::complete},
        case_t{"body_ends_in_part",
               "b",
               "--b\r\n\r\nno end\r\n",
               true,
               {"m0 part", "m0 body:no end\r\n"},
               parser_t::complete},
        case_t{"stays_running_without_last",
               "b",
               "--b\r\n\r\nx\r\n--b--\r\nepi\r\n",
               false,
               {"m0 part", "m0 body:x", "m0 close", "m0 epilogue:epi"},
               parser_t::running},
        case_t{"line_without_lf_is_held", "b", "--b\r\n\r\nabc", false, {"m0 part"}, parser_t::running},
        case_t{"nested",
               "out",
               "--out\r\nContent-Type: multipart/mixed; boundary=\"in\"\r\n\r\n"
               "in pre\r\n--in\r\nB: 2\r\n\r\ninner\r\n--in--\r\n--out\r\n\r\nplain\r\n--out--",
               true,
               {"m0 part", "m0 field [Content-Type] [multipart/mixed; boundary=\"in\"]", "m0 nested m1 [in]",
                "m1 preamble:in pre", "m1 part", "m1 field [B] [2]", "m1 body:inner", "m1 close", "m0 part",
                "m0 body:plain", "m0 close"},
               parser_t::complete},
        case_t{"part_type_not_multipart",
               "b",
               "--b\r\nContent-Type: text/plain\r\ncontent-type: multipart/x\r\n\r\n--c\r\n--b--",
               true,
               {"m0 part", "m0 field [Content-Type] [text/plain]", "m0 field [content-type] [multipart/x]",
                "m0 body:--c", "m0 close"},
               parser_t::complete},
        case_t{"nested_with_same_boundary",
               "b",
               "--b\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n",
               true,
               {"m0 part", "m0 field [Content-Type] [multipart/mixed; boundary=b]",
                "error invalid nested multipart data boundary"},
               parser_t::failed},
        case_t{"ends_in_part_header",
               "b",
               "--b\r\nA: 1\r\n",
               true,
               {"m0 part", "error invalid multipart data"},
               parser_t::failed},
        case_t{"bad_part_header",
               "b",
               "--b\r\nA B\r\n\r\n",
               true,
               {"m0 part", "error invalid field block data"},
               parser_t::failed},
        case_t{"nested_ends_in_its_header",
               "b",
               "--b\r\nContent-Type: multipart/x; boundary=c\r\n\r\n--c\r\nA: 1\r\n--b--",
               true,
               {"m0 part", "m0 field [Content-Type] [multipart/x; boundary=c]", "m0 nested m1 [c]", "m1 part",
                "error invalid multipart data"},
               parser_t::failed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(multipart_data_parser, refuses_input_after_failure_and_works_after_reset)
{
    recorder_t recorder(false);
    multipart_data_parser_t parser("b", &recorder);
    std::string const bad = "--b\r\nA B\r\n";
    EXPECT_THROW(parser.feed(bad.data(), bad.size(), false), multipart_data_parser_t::error_t);
    try {
        parser.parse("x", 1, false);
        FAIL() << "no error";
    } catch (const multipart_data_parser_t::error_t& e) {
        EXPECT_STREQ(e.what(), "invalid multipart data: \"x\"");
    }
    parser.reset();
    std::string const good = "--b\r\n\r\nx\r\n--b--";
    EXPECT_EQ(parser.feed(good.data(), good.size(), true), good.size());
    EXPECT_EQ(parser.status(), parser_t::complete);
    EXPECT_EQ(parser.parse("more", 4, true), 0u);
}

} // namespace
