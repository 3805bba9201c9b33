#include <gtest/gtest.h>

#include <sstream>

#include "protocol/http_request.hpp"
#include "protocol/http_response.hpp"
#include "protocol/icap_request.hpp"
#include "protocol/icap_response.hpp"
#include "scripted_stream.hpp"

namespace {

template <typename message_t>
std::string text(const message_t& message)
{
    std::ostringstream out;
    out << message;
    return out.str();
}

} // namespace

TEST(message_head, requests_write_method_url_version_and_fields)
{
    struct case_t {
        const char* name;
        std::string method;
        std::string url;
        int major, minor;
        bool with_field;
        std::string icap, http;
    } const cases[] = {
        {"full", "GET", "/a", 1, 1, true, "GET /a ICAP/1.1\r\nHost: h\r\n\r\n", "GET /a HTTP/1.1\r\nHost: h\r\n\r\n"},
        {"no url, no version", "OPTIONS", "", -1, -1, false, "OPTIONS\r\n\r\n", "OPTIONS\r\n\r\n"},
        {"half a version is a version", "M", "", -1, 1, false, "M ICAP/-1.1\r\n\r\n", "M HTTP/-1.1\r\n\r\n"},
        {"line break in the method", "GET\r\nX: 1", "", 1, 0, false, "GET  X: 1 ICAP/1.0\r\n\r\n",
         "GET  X: 1 HTTP/1.0\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto icap = io::icap::request_t::make();
        auto http = io::http::request_t::make();
        icap->method = http->method = c.method;
        icap->url = http->url = ox::oxs::url_t(c.url);
        icap->version = {c.major, c.minor};
        http->version = {c.major, c.minor};
        if (c.with_field) {
            icap->fields.add("Host", "h");
            http->fields.add("Host", "h");
        }
        EXPECT_EQ(text(*icap), c.icap);
        EXPECT_EQ(text(*http), c.http);
    }
}

TEST(message_head, responses_write_version_code_reason_and_fields)
{
    struct case_t {
        const char* name;
        int major, minor, code;
        std::string reason;
        std::string icap, http;
    } const cases[] = {
        {"no reason", 1, 0, 204, "", "ICAP/1.0 204\r\n\r\n", "HTTP/1.0 204\r\n\r\n"},
        {"reason", 1, 0, 200, "OK", "ICAP/1.0 200 OK\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"},
        {"no version", -1, -1, 403, "Forbidden", "403 Forbidden\r\n\r\n", "403 Forbidden\r\n\r\n"},
        {"fresh", -1, -1, -1, "", "-1\r\n\r\n", "-1\r\n\r\n"},
        {"line break in the reason", 1, 0, 200, "OK\r\nSet-Cookie: x", "ICAP/1.0 200 OK  Set-Cookie: x\r\n\r\n",
         "HTTP/1.0 200 OK  Set-Cookie: x\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto icap = io::icap::response_t::make();
        auto http = io::http::response_t::make();
        icap->version = {c.major, c.minor};
        http->version = {c.major, c.minor};
        icap->code = http->code = c.code;
        icap->reason = http->reason = c.reason;
        EXPECT_EQ(text(*icap), c.icap);
        EXPECT_EQ(text(*http), c.http);
    }
}

// A value may fold onto continuation lines (CR LF, then a tab or a space);
// every other CR or LF becomes a space, so no value can start a field or
// end the head.
TEST(message_head, a_field_value_cannot_add_a_line_to_an_answer)
{
    const struct {
        const char* name;
        std::string value;
        std::string line;
    } cases[] = {
        {"head end", "EICAR\r\n\r\nHTTP/1.1 200 OK", "EICAR    HTTP/1.1 200 OK"},
        {"new field", "a\r\nX-Evil: 1", "a  X-Evil: 1"},
        {"bare line feed and tab", "a\n\tb", "a \tb"},
        {"bare carriage return", "a\rb", "a b"},
        {"folds", "2\r\n\tfile\r\n\tEICAR\r\n 1", "2\r\n\tfile\r\n\tEICAR\r\n 1"},
        {"fold after a bare line end", "a\r\nb\r\n\tc", "a  b\r\n\tc"},
        {"blank line then fold", "a\r\n\r\n\tb", "a  \r\n\tb"},
        {"line end at the end", "a\r\n", "a  "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto response = io::icap::response_t::make();
        response->version = {1, 0};
        response->code = 200;
        response->reason = "OK";
        response->fields.add("X-Violations-Found", c.value);
        EXPECT_EQ(text(*response), "ICAP/1.0 200 OK\r\nX-Violations-Found: " + c.line + "\r\n\r\n");
    }
}

TEST(message_head, streams_carry_head_encapsulated_heads_and_body_in_order)
{
    boost::asio::io_context context;
    auto response = io::icap::response_t::make();
    response->version = {1, 0};
    response->code = 200;
    response->reason = "OK";
    EXPECT_EQ(test::read_all(context, response->make_stream(context)), "ICAP/1.0 200 OK\r\n\r\n");

    response->res_head = orx::buffer_t("HTTP/1.1 200 OK\r\n\r\n");
    response->body = io::http::body_stream_t::make_chunked_encoder(
        test::scripted_stream_t::make(context, {{"hello", {}}}), {}, true);
    EXPECT_EQ(test::read_all(context, response->make_stream(context)),
              "ICAP/1.0 200 OK\r\n\r\nHTTP/1.1 200 OK\r\n\r\n5\r\nhello\r\n0\r\n\r\n");

    auto request = io::icap::request_t::make();
    request->method = "REQMOD";
    request->req_head = orx::buffer_t("GET / HTTP/1.1\r\n\r\n");
    request->res_head = orx::buffer_t("HTTP/1.1 204\r\n\r\n");
    EXPECT_EQ(test::read_all(context, request->make_stream(context.get_executor())),
              "REQMOD\r\n\r\nGET / HTTP/1.1\r\n\r\nHTTP/1.1 204\r\n\r\n");

    auto http = io::http::request_t::make();
    http->method = "GET";
    EXPECT_EQ(test::read_all(context, http->make_stream(context)), "GET\r\n\r\n");
    auto http_response = io::http::response_t::make();
    http_response->code = 200;
    http_response->body = io::http::body_stream_t::make_direct(test::scripted_stream_t::make(context, {{"page", {}}}));
    EXPECT_EQ(test::read_all(context, http_response->make_stream(context)), "200\r\n\r\npage");
}
