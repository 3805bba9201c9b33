#include "protocol/parsers/http_parser.hpp"

#include "protocol/split_feeder.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

namespace {

using proto::multipart_data_parser_t;
using proto::parser_t;
namespace http = proto::http;

std::string version(int major, int minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}

struct recorder_t : http::parser_t::delegate_t {
    test::event_log_t log;
    std::map<const multipart_data_parser_t*, std::size_t> names;

    // Multipart parsers by order of appearance; "-" outside multipart.
    std::string name(const multipart_data_parser_t* multipart)
    {
        if (!multipart)
            return "-";
        return "m" + std::to_string(names.emplace(multipart, names.size()).first->second);
    }
    void on_request_line(http::parser_t&, const proto::request_line_t& line) override
    {
        log.add("request [" + line.method + "] [" + line.uri + "] " + version(line.major, line.minor));
    }
    void on_status_line(http::parser_t&, const proto::status_line_t& line) override
    {
        log.add("status " + std::to_string(line.code) + " [" + line.reason + "] " + version(line.major, line.minor));
    }
    void on_field(http::parser_t&, const proto::field_t& field) override
    {
        log.add("field [" + field.name + "] [" + field.value + "]");
    }
    void on_head_end(http::parser_t&, std::int64_t content_length) override
    {
        log.add("head end " + std::to_string(content_length));
    }
    void on_chunk(http::parser_t&, std::int64_t size, const std::string& extension) override
    {
        log.add("chunk " + std::to_string(size) + " [" + extension + "]");
    }
    void on_part_begin(http::parser_t&, multipart_data_parser_t* multipart, bool closing) override
    {
        log.add(name(multipart) + (closing ? " close" : " part"));
    }
    void on_nested_multipart(http::parser_t&, multipart_data_parser_t* multipart,
                             multipart_data_parser_t* nested) override
    {
        log.add(name(multipart) + " nested " + name(nested));
    }
    void on_data(http::parser_t&, multipart_data_parser_t* multipart, int kind, const char* data,
                 std::size_t size) override
    {
        log.data(name(multipart) + " data " + std::to_string(kind), std::string_view(data, size));
    }
};

test::outcome_t run(const std::vector<std::string_view>& pieces, bool last)
{
    recorder_t recorder;
    http::parser_t parser(&recorder);
    return test::drive(parser, recorder.log, pieces, last);
}

using test::case_t;

class http_cases : public ::testing::TestWithParam<case_t> {};

TEST_P(http_cases, same_events_however_the_message_is_cut)
{
    test::expect_case(GetParam(), run);
}

std::string const get_head = "GET /path HTTP/1.1\r\nHost: a\r\n\r\n";

// A response head with the given fields, then the body.
std::string response(const std::string& fields, const std::string& body)
{
    return "HTTP/1.1 200 OK\r\n" + fields + "\r\n" + body;
}

std::string const multipart_body = "pre\r\n--b\r\nA: 1\r\n\r\nx\r\n--b--\r\nepi";

INSTANTIATE_TEST_SUITE_P(
    messages, http_cases,
    ::testing::Values(
        case_t{"request_head",
               get_head,
               true,
               {"request [GET] [/path] 1.1", "field [Host] [a]", "head end -1"},
               get_head.size(),
               parser_t::complete},
        case_t{"lower_case_version_bare_lf",
               "get /p http/1.0\nA: 1\n\n",
               true,
               {"request [get] [/p] 1.0", "field [A] [1]", "head end -1"},
               22,
               parser_t::complete},
        case_t{"zero_length_ends_at_head",
               "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nXYZ",
               true,
               {"status 200 [OK] 1.0", "field [Content-Length] [0]"},
               38,
               parser_t::complete},
        case_t{"length_limits_body",
               response("Content-Length: 3\r\n", "abcde"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Length] [3]", "head end 3", "- data 2:abc"},
               response("Content-Length: 3\r\n", "abc").size(),
               parser_t::complete},
        case_t{"body_to_end_of_input",
               response("", "abc\r\ndef"),
               true,
               {"status 200 [OK] 1.1", "head end -1", "- data 2:abc\r\ndef"},
               response("", "abc\r\ndef").size(),
               parser_t::complete},
        case_t{"body_waits_for_more_without_last",
               response("", "abc"),
               false,
               {"status 200 [OK] 1.1", "head end -1", "- data 2:abc"},
               response("", "abc").size(),
               parser_t::running},
        case_t{"head_without_empty_line",
               "GET / HTTP/1.1\r\nHost: a\r\n",
               true,
               {"request [GET] [/] 1.1", "error invalid http message"},
               0,
               parser_t::failed},
        case_t{"start_line_only", "GET / HTTP/1.1", true, {"error invalid http message"}, 0, parser_t::failed},
        case_t{"cr_without_lf_in_start_line",
               "GET / HTTP/1.1\rX\r\n\r\n",
               true,
               {"error invalid http request or response"},
               0,
               parser_t::failed},
        case_t{"icap_version_in_http",
               "GET / ICAP/1.0\r\n\r\n",
               true,
               {"error invalid http request or response"},
               0,
               parser_t::failed},
        case_t{"bad_field",
               "GET / HTTP/1.1\r\nA B\r\n\r\n",
               true,
               {"request [GET] [/] 1.1", "error invalid field block data"},
               0,
               parser_t::failed},
        case_t{"negative_length_is_no_length",
               response("Content-Length: -1\r\n", "abc"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Length] [-1]", "head end -1", "- data 2:abc"},
               response("Content-Length: -1\r\n", "abc").size(),
               parser_t::complete},
        case_t{"overflowing_length_is_no_length",
               response("Content-Length: 99999999999999999999\r\n", "abc"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Length] [99999999999999999999]", "head end -1", "- data 2:abc"},
               response("Content-Length: 99999999999999999999\r\n", "abc").size(),
               parser_t::complete},
        case_t{"last_length_wins",
               response("Content-Length: 1\r\nContent-Length: -5\r\n", "abc"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Length] [1]", "field [Content-Length] [-5]", "head end -1",
                "- data 2:abc"},
               response("Content-Length: 1\r\nContent-Length: -5\r\n", "abc").size(),
               parser_t::complete},
        case_t{"length_with_trailing_text",
               response("content-length: 2x\r\n", "abc"),
               true,
               {"status 200 [OK] 1.1", "field [content-length] [2x]", "head end 2", "- data 2:ab"},
               response("content-length: 2x\r\n", "ab").size(),
               parser_t::complete},
        case_t{"chunked",
               response("Transfer-Encoding: Chunked\r\n", "3;e\r\nabc\r\n0\r\nT: v\r\n\r\nXYZ"),
               true,
               {"status 200 [OK] 1.1", "field [Transfer-Encoding] [Chunked]", "head end -1", "chunk 3 [e]",
                "- data 2:abc", "chunk 0 []", "field [T] [v]"},
               response("Transfer-Encoding: Chunked\r\n", "3;e\r\nabc\r\n0\r\nT: v\r\n\r\n").size(),
               parser_t::complete},
        case_t{"chunked_in_a_list_is_not_decoded",
               response("Transfer-Encoding: gzip, chunked\r\n", "3\r\nabc"),
               true,
               {"status 200 [OK] 1.1", "field [Transfer-Encoding] [gzip, chunked]", "head end -1", "- data 2:3\r\nabc"},
               response("Transfer-Encoding: gzip, chunked\r\n", "3\r\nabc").size(),
               parser_t::complete},
        case_t{
            "bad_chunk",
            response("Transfer-Encoding: chunked\r\n", "x\r\n"),
            true,
            {"status 200 [OK] 1.1", "field [Transfer-Encoding] [chunked]", "head end -1", "error invalid chunked data"},
            0,
            parser_t::failed},
        case_t{"multipart",
               response("Content-Type: multipart/mixed; boundary=b\r\n", multipart_body),
               true,
               {"status 200 [OK] 1.1", "field [Content-Type] [multipart/mixed; boundary=b]", "head end -1",
                "m0 data 0:pre", "m0 part", "field [A] [1]", "m0 data 2:x", "m0 close", "m0 data 1:epi"},
               response("Content-Type: multipart/mixed; boundary=b\r\n", multipart_body).size(),
               parser_t::complete},
        // The body ends with the length, and so does its last line.
        case_t{
            "multipart_with_length",
            response("Content-Type: multipart/mixed; boundary=b\r\nContent-Length: 15\r\n", "--b\r\n\r\nx\r\n--b--XYZ"),
            false,
            {"status 200 [OK] 1.1", "field [Content-Type] [multipart/mixed; boundary=b]", "field [Content-Length] [15]",
             "head end 15", "m0 part", "m0 data 2:x", "m0 close"},
            response("Content-Type: multipart/mixed; boundary=b\r\nContent-Length: 15\r\n", "--b\r\n\r\nx\r\n--b--")
                .size(),
            parser_t::complete},
        case_t{"multipart_in_chunks",
               response("Transfer-Encoding: chunked\r\nContent-Type: multipart/x; boundary=b\r\n",
                        "7\r\n--b\r\n\r\n\r\n4\r\nx\r\n-\r\n4\r\n-b--\r\n0\r\n\r\nXYZ"),
               false,
               {"status 200 [OK] 1.1", "field [Transfer-Encoding] [chunked]",
                "field [Content-Type] [multipart/x; boundary=b]", "head end -1", "chunk 7 []", "m0 part", "chunk 4 []",
                "m0 data 2:x", "chunk 4 []", "chunk 0 []", "m0 close"},
               response("Transfer-Encoding: chunked\r\nContent-Type: multipart/x; boundary=b\r\n",
                        "7\r\n--b\r\n\r\n\r\n4\r\nx\r\n-\r\n4\r\n-b--\r\n0\r\n\r\n")
                   .size(),
               parser_t::complete},
        case_t{"nested_multipart",
               response("Content-Type: multipart/mixed; boundary=o\r\n",
                        "--o\r\nContent-Type: multipart/x; boundary=i\r\n\r\n--i\r\n\r\nin\r\n--i--\r\n--o--"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Type] [multipart/mixed; boundary=o]", "head end -1", "m0 part",
                "field [Content-Type] [multipart/x; boundary=i]", "m0 nested m1", "m1 part", "m1 data 2:in", "m1 close",
                "m0 close"},
               response("Content-Type: multipart/mixed; boundary=o\r\n",
                        "--o\r\nContent-Type: multipart/x; boundary=i\r\n\r\n--i\r\n\r\nin\r\n--i--\r\n--o--")
                   .size(),
               parser_t::complete},
        case_t{"encoded_body_is_not_multipart",
               response("Content-Encoding: gzip\r\nContent-Type: multipart/mixed; boundary=b\r\n", "--b\r\n"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Encoding] [gzip]",
                "field [Content-Type] [multipart/mixed; boundary=b]", "head end -1", "- data 2:--b\r\n"},
               response("Content-Encoding: gzip\r\nContent-Type: multipart/mixed; boundary=b\r\n", "--b\r\n").size(),
               parser_t::complete},
        case_t{"identity_encoding_keeps_multipart",
               response("Content-Encoding: Identity\r\nContent-Type: multipart/mixed; boundary=b\r\n", "--b--"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Encoding] [Identity]",
                "field [Content-Type] [multipart/mixed; boundary=b]", "head end -1", "m0 close"},
               response("Content-Encoding: Identity\r\nContent-Type: multipart/mixed; boundary=b\r\n", "--b--").size(),
               parser_t::complete},
        case_t{"encoding_after_type_drops_multipart",
               response("Content-Type: multipart/mixed; boundary=b\r\nContent-Encoding: br\r\n", "--b--"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Type] [multipart/mixed; boundary=b]",
                "field [Content-Encoding] [br]", "head end -1", "- data 2:--b--"},
               response("Content-Type: multipart/mixed; boundary=b\r\nContent-Encoding: br\r\n", "--b--").size(),
               parser_t::complete},
        case_t{"type_without_boundary_is_plain",
               response("Content-Type:\r\nContent-Type: multipart/x\r\n", "--\r\n"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Type] []", "field [Content-Type] [multipart/x]", "head end -1",
                "- data 2:--\r\n"},
               response("Content-Type:\r\nContent-Type: multipart/x\r\n", "--\r\n").size(),
               parser_t::complete},
        case_t{"bad_type_is_plain",
               response("Content-Type: text/html; boundary=b\r\n", "--b--"),
               true,
               {"status 200 [OK] 1.1", "field [Content-Type] [text/html; boundary=b]", "head end -1", "- data 2:--b--"},
               response("Content-Type: text/html; boundary=b\r\n", "--b--").size(),
               parser_t::complete}),
    test::case_name);

TEST(http_parser, failed_parser_refuses_input_until_reset)
{
    recorder_t recorder;
    http::parser_t parser(&recorder);
    EXPECT_THROW(parser.parse("GET\r\n", 5, true), http::parser_t::parser_error_t);
    try {
        parser.parse("x\n", 2, true);
        FAIL() << "no error";
    } catch (const http::parser_t::error_t& e) {
        EXPECT_STREQ(e.what(), "invalid http data: \"x\\n\"");
    }
    parser.reset();
    EXPECT_EQ(parser.feed(get_head.data(), get_head.size(), true), get_head.size());
    EXPECT_EQ(parser.status(), parser_t::complete);
    EXPECT_EQ(parser.parse("x", 1, true), 0u);
}

// An empty head may come as a null pointer: nothing is taken, and the end
// of the input before a start line is the usual error.
TEST(http_parser, no_bytes_take_nothing)
{
    recorder_t recorder;
    http::parser_t parser(&recorder);
    EXPECT_EQ(parser.parse(nullptr, 0, false), 0u);
    EXPECT_EQ(parser.status(), parser_t::running);
    try {
        parser.parse(nullptr, 0, true);
        FAIL() << "no error";
    } catch (const http::parser_t::error_t& e) {
        EXPECT_STREQ(e.what(), "invalid http message");
    }
    EXPECT_TRUE(recorder.log.events().empty());
}

TEST(http_parser, start_line_delegate_exception_becomes_positioned_parser_error)
{
    struct throwing_t : recorder_t {
        void on_status_line(http::parser_t&, const proto::status_line_t&) override { throw std::runtime_error("s"); }
    } delegate;
    http::parser_t parser(&delegate);
    try {
        parser.feed("\nHTTP/1.1 200\r\n\r\n", 17, true);
        FAIL() << "no error";
    } catch (const http::parser_t::parser_error_t& e) {
        EXPECT_STREQ(e.what(), "s");
        EXPECT_EQ(e.position(), 15);
    }
    EXPECT_EQ(parser.status(), parser_t::failed);
}

TEST(http_parser, consumed_counts_the_element_in_progress)
{
    http::parser_t parser(nullptr);
    EXPECT_EQ(parser.parse("GET /a", 6, false), 6u);
    EXPECT_EQ(parser.consumed(), 6);
    EXPECT_EQ(parser.parse(" HTTP/1.1\r\n", 11, false), 11u);
    EXPECT_EQ(parser.consumed(), 0);
    EXPECT_EQ(parser.parse("Host: a", 7, false), 7u);
    EXPECT_EQ(parser.consumed(), 7);
}

} // namespace
