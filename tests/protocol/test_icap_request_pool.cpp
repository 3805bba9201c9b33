#include "protocol/icap_request_pool.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>

#include "protocol/body_stream.hpp"

namespace {

using io::icap::request_pool_t;
using io::icap::request_t;

proto::request_line_t line_of(const std::string& method, const std::string& uri, int major, int minor)
{
    proto::request_line_t line;
    line.method = method;
    line.uri = uri;
    line.major = major;
    line.minor = minor;
    return line;
}

// A query as a reader fills it, then let go of.
void fill_and_drop(boost::asio::io_context& context, const proto::request_line_t& line, std::size_t head_size,
                   std::size_t fields)
{
    std::shared_ptr<request_t> request = request_pool_t::take(line);
    for (std::size_t i = 0; i < fields; ++i)
        request->fields.add("X-" + std::to_string(i), std::string(40, 'v'));
    request->req_head.append(std::string(head_size, 'h'));
    request->res_head.append(std::string("HTTP/1.1 200 OK\r\n\r\n"));
    request->body_type = io::icap::body_type_t::req_body;
    request->body = io::http::body_stream_t::make_empty(context);
}

// Whatever the last query on the thread was, a query taken holds its own
// start line and nothing else: no fields, heads, body or body type.
TEST(icap_request_pool, a_query_holds_nothing_of_the_one_before)
{
    const struct {
        const char* label;
        std::size_t head_size;
        std::size_t fields;
    } befores[] = {
        {"small query", 20, 3},
        {"head past the block kept", request_pool_t::max_kept_head + 1, 3},
        {"fields past the room kept", 20, request_pool_t::max_kept_fields + 1},
    };
    const proto::request_line_t lines[] = {
        line_of("REQMOD", "icap://h/reqmod", 1, 0),
        line_of("RESPMOD", "icap://h/respmod", 1, 1),
        line_of("OPTIONS", "*", 0, 0),
    };
    boost::asio::io_context context;
    for (const auto& before : befores) {
        for (const auto& line : lines) {
            SCOPED_TRACE(std::string(before.label) + ", then " + line.method);
            fill_and_drop(context, line_of("REQMOD", "icap://h/reqmod", 1, 0), before.head_size, before.fields);
            const std::shared_ptr<request_t> request = request_pool_t::take(line);
            EXPECT_EQ(request->method, line.method);
            EXPECT_EQ(request->url.to_string(0), ox::oxs::url_t(line.uri).to_string(0));
            EXPECT_EQ(request->url.path, ox::oxs::url_t(line.uri).path);
            EXPECT_EQ(request->version.present(), line.major != 0);
            if (line.major != 0) {
                EXPECT_EQ(request->version.major, line.major);
                EXPECT_EQ(request->version.minor, line.minor);
            }
            EXPECT_TRUE(request->fields.empty());
            EXPECT_TRUE(request->req_head.empty());
            EXPECT_TRUE(request->res_head.empty());
            EXPECT_EQ(request->body_type, io::icap::body_type_t::null_body);
            EXPECT_EQ(request->body, nullptr);
        }
    }
}

// Head bytes still held after their query is let go of stay as they were
// while the next queries fill their heads.
TEST(icap_request_pool, head_bytes_held_elsewhere_stay_intact)
{
    const auto line = line_of("REQMOD", "icap://h/reqmod", 1, 0);
    orx::buffer_t held;
    {
        const std::shared_ptr<request_t> request = request_pool_t::take(line);
        request->req_head.append(std::string("GET /first HTTP/1.1\r\n\r\n"));
        held = request->req_head;
    }
    for (int i = 0; i < 3; ++i) {
        const std::shared_ptr<request_t> request = request_pool_t::take(line);
        request->req_head.append(std::string("GET /other HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(request->req_head.str(), "GET /other HTTP/1.1\r\n\r\n");
    }
    EXPECT_EQ(held.str(), "GET /first HTTP/1.1\r\n\r\n");
}

} // namespace
