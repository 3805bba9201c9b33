#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "protocol/preview.hpp"
#include "protocol/protocol_error.hpp"
#include "scripted_stream.hpp"

TEST(preview, ieof_is_taken_only_from_the_whole_extension_of_the_last_chunk)
{
    struct case_t {
        const char* name;
        std::string wire;
        bool ieof;
        std::vector<std::string> extensions; // of the chunks kept
        boost::system::error_code error;
    } const cases[] = {
        {"ieof", "0; ieof\r\n\r\n", true, {""}, {}},
        {"upper case, no blank", "0;IEOF\r\n\r\n", true, {""}, {}},
        {"plain end", "0\r\n\r\n", false, {""}, {}},
        {"more than ieof", "0; ieof; x=1\r\n\r\n", false, {"ieof; x=1"}, {}},
        {"ieof with a value", "0; ieof=1\r\n\r\n", false, {"ieof=1"}, {}},
        {"ieof on a data chunk", "2;ieof\r\nab\r\n0\r\n\r\n", false, {"ieof", ""}, {}},
        {"bad framing", "0\r\nbad line\r\n\r\n", false, {}, io::protocol_error},
        {"cut short", "2\r\na", false, {}, io::protocol_error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        auto stream =
            io::http::body_stream_t::make_chunked_decoder(test::scripted_stream_t::make(context, {{c.wire, {}}}));
        io::icap::preview_t result;
        boost::system::error_code error = boost::asio::error::timed_out;
        io::icap::async_read_preview(stream,
                                     [&](const io::icap::preview_t& preview, const boost::system::error_code& e) {
                                         result = preview;
                                         error = e;
                                     });
        context.run_for(std::chrono::seconds(5));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(result.ieof, c.ieof);
        ASSERT_TRUE(result.body);
        std::vector<std::string> extensions;
        for (const auto& chunk : *result.body)
            extensions.push_back(chunk.extensions);
        EXPECT_EQ(extensions, c.extensions);
    }
}

TEST(preview, default_preview_has_an_empty_body)
{
    io::icap::preview_t const preview;
    ASSERT_TRUE(preview.body);
    EXPECT_TRUE(preview.body->empty());
    EXPECT_FALSE(preview.ieof);
    io::icap::preview_t const copy = preview;
    EXPECT_EQ(copy.body, preview.body);
}

TEST(announced_preview, only_plain_numbers_of_modification_queries_announce_a_size)
{
    struct case_t {
        const char* name;
        std::string method;
        std::optional<std::string> field;
        std::int64_t announced;
    } const cases[] = {
        {"no field", "RESPMOD", std::nullopt, io::icap::no_preview},
        {"empty value", "REQMOD", "", io::icap::no_preview},
        {"zero", "RESPMOD", "0", 0},
        {"lower-case method", "reqmod", "0", 0},
        {"a size", "REQMOD", "4096", 4096},
        {"largest int64", "REQMOD", "9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"past int64", "REQMOD", "9223372036854775808", io::icap::malformed_preview},
        {"leading zero", "RESPMOD", "00", io::icap::malformed_preview},
        {"leading zero of a size", "RESPMOD", "0512", io::icap::malformed_preview},
        {"leading blank", "RESPMOD", " 0", io::icap::malformed_preview},
        {"sign", "RESPMOD", "-1", io::icap::malformed_preview},
        {"not a number", "RESPMOD", "x", io::icap::malformed_preview},
        {"OPTIONS", "OPTIONS", "0", io::icap::no_preview},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        io::icap::request_t request;
        request.method = c.method;
        if (c.field)
            request.fields.add("Preview", *c.field);
        EXPECT_EQ(io::icap::announced_preview(request), c.announced);
    }
}
