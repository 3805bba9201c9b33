#include <gtest/gtest.h>

#include "protocol/protocol_error.hpp"
#include "scripted_stream.hpp"

using io::http::body_chunk_t;
using io::http::body_stream_t;
using io::http::body_t;
using test::scripted_stream_t;

namespace {

boost::system::error_code const eof = boost::asio::error::eof;

struct body_fixture_t : ::testing::Test {
    boost::asio::io_context context;

    std::shared_ptr<scripted_stream_t> raw(std::deque<scripted_stream_t::step_t> steps)
    {
        return scripted_stream_t::make(context, std::move(steps));
    }

    // The data of every chunk and the error that ended the reading.
    std::pair<std::vector<std::string>, boost::system::error_code> read(const body_stream_t::pointer_t& stream)
    {
        std::vector<std::string> data;
        const auto chunks = test::read_chunks(context, stream);
        for (const auto& chunk : chunks)
            if (!chunk.error)
                data.push_back(chunk.data);
        return {data, chunks.back().error};
    }

    std::shared_ptr<body_t> stored(const std::vector<std::pair<std::string, std::string>>& chunks)
    {
        auto body = std::make_shared<body_t>();
        for (const auto& [extension, data] : chunks)
            body->push_back({extension, orx::buffer_t(data), {}});
        return body;
    }
};

using strings_t = std::vector<std::string>;

} // namespace

using body_stream = body_fixture_t;

TEST_F(body_stream, raw_framings_deliver_pieces_of_at_most_65535_bytes)
{
    std::string const big(70000, 'b');
    struct case_t {
        const char* name;
        std::deque<scripted_stream_t::step_t> raw;
        std::int64_t length; // -1: direct
        strings_t chunks;
        boost::system::error_code end;
        std::string rest;
    } const cases[] = {
        {"direct", {{"ab", {}}, {"", {}}, {"cd", {}}}, -1, {"ab", "cd"}, eof, ""},
        {"direct big read", {{big, {}}}, -1, {big.substr(0, 65535), big.substr(65535)}, eof, ""},
        {"fixed size of 0", {{"ab", {}}}, 0, {}, eof, "ab"},
        {"fixed size within one read",
         {{std::string(25, 'x'), {}}, {"next", {}}},
         10,
         {std::string(10, 'x')},
         eof,
         std::string(15, 'x') + "next"},
        {"fixed size over reads", {{"abc", {}}, {"", {}}, {"defg", {}}}, 5, {"abc", "de"}, eof, "fg"},
        {"fixed size ends early", {{std::string(40, 'x'), {}}}, 100, {std::string(40, 'x')}, io::protocol_error, ""},
        {"fixed size big read", {{big, {}}}, 70000, {big.substr(0, 65535), big.substr(65535)}, eof, ""},
        {"negative fixed size", {{"ab", {}}}, -7, {}, eof, "ab"},
        {"raw error",
         {{"a", {}}, {"", boost::asio::error::connection_reset}},
         10,
         {"a"},
         boost::asio::error::connection_reset,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto stream = raw(c.raw);
        auto body =
            c.length == -1 ? body_stream_t::make_direct(stream) : body_stream_t::make_fixed_size(stream, c.length);
        const auto [chunks, end] = read(body);
        EXPECT_EQ(chunks, c.chunks);
        EXPECT_EQ(end, c.end);
        if (c.end == eof) {
            EXPECT_EQ(test::read_all(context, body->release()), c.rest);
        }
    }
}

TEST_F(body_stream, fixed_size_of_zero_does_not_touch_the_raw_stream)
{
    auto stream = raw({{"ab", {}}});
    auto body = body_stream_t::make_fixed_size(stream, 0);
    EXPECT_EQ(test::read_chunk(context, body).error, eof);
    EXPECT_EQ(stream->receives, 0);
}

TEST_F(body_stream, replay_delivers_and_consumes_the_stored_chunks)
{
    auto body = stored({{"", "abc"}, {"x", ""}});
    body->back().trailers.add("T", "v");
    auto replay = body_stream_t::make(context, body);
    const auto first = test::read_chunk(context, replay);
    EXPECT_EQ(first.data, "abc");
    EXPECT_FALSE(first.error);
    const auto end = test::read_chunk(context, replay);
    EXPECT_EQ(end.error, eof);
    EXPECT_EQ(end.extensions, "x");
    EXPECT_EQ(end.trailers.get("T"), "v");
    const auto after = test::read_chunk(context, replay);
    EXPECT_EQ(after.error, eof);
    EXPECT_EQ(after.extensions, "");
    EXPECT_TRUE(body->empty());
}

// A stored body handed over at once gives the bytes a reading would give,
// in order and up to its first end chunk, and leaves the stream at its end;
// a body that has to be read gives nothing.
TEST_F(body_stream, stored_body_is_taken_whole_only_when_stored)
{
    const struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> chunks;
        std::string taken;
    } cases[] = {
        {"one chunk", {{"", "abc"}}, "abc"},
        {"several chunks", {{"", "ab"}, {"x", "cd"}, {"", "e"}}, "abcde"},
        {"stops at the end chunk", {{"", "ab"}, {"e", ""}, {"", "zz"}}, "ab"},
        {"nothing stored", {}, ""},
    };
    for (const auto& c : cases) {
        const auto body = stored(c.chunks);
        const std::vector<const char*> first_bytes = [&] {
            std::vector<const char*> at;
            for (const body_chunk_t& chunk : *body)
                at.push_back(chunk.data.data());
            return at;
        }();
        auto replay = body_stream_t::make(context, body);
        io::pieces_t pieces{orx::buffer_t("head:")};
        ASSERT_TRUE(replay->take_stored_pieces(pieces)) << c.name;
        std::string bytes;
        for (const orx::buffer_t& piece : pieces)
            bytes += piece.str();
        EXPECT_EQ(bytes, "head:" + c.taken) << c.name;
        // The stored bytes are handed over, not copied.
        for (std::size_t i = 1; i < pieces.size(); ++i)
            EXPECT_EQ(pieces[i].data(), first_bytes[i - 1]) << c.name;
        const auto [after, end] = read(replay);
        EXPECT_TRUE(after.empty()) << c.name;
        EXPECT_EQ(end, eof) << c.name;
    }

    auto direct = body_stream_t::make_direct(raw({{"abc", {}}, {"", eof}}));
    io::pieces_t pieces;
    EXPECT_FALSE(direct->take_stored_pieces(pieces));
    EXPECT_TRUE(pieces.empty());
    EXPECT_EQ(read(direct).first, (strings_t{"abc"}));
}

TEST_F(body_stream, chain_hides_the_ends_of_its_elements)
{
    auto first = body_stream_t::make(context, stored({{"", "a"}, {"e1", ""}}));
    auto second = body_stream_t::make(context, stored({{"", "b"}, {"e2", ""}}));
    auto chain = body_stream_t::make_concat(first, second);
    const auto chunks = test::read_chunks(context, chain);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].data, "a");
    EXPECT_EQ(chunks[1].data, "b");
    EXPECT_EQ(chunks[2].error, eof);
    EXPECT_EQ(chunks[2].extensions, "");

    EXPECT_EQ(body_stream_t::make_concat(first, nullptr), first);
    EXPECT_EQ(body_stream_t::make_concat(nullptr, second), second);
    EXPECT_EQ(body_stream_t::make_concat(nullptr, nullptr), nullptr);
}

TEST_F(body_stream, chain_keeps_a_failed_element_in_front)
{
    auto failing = body_stream_t::make_direct(raw({{"", boost::asio::error::connection_reset}, {"ok", {}}}));
    auto chain = body_stream_t::make_concat(failing, body_stream_t::make(context, stored({{"", "z"}, {"", ""}})));
    const auto [chunks, end] = read(chain);
    EXPECT_TRUE(chunks.empty());
    EXPECT_EQ(end, boost::asio::error::connection_reset);
    const auto [rest, rest_end] = read(chain);
    EXPECT_EQ(rest, (strings_t{"ok", "z"}));
    EXPECT_EQ(rest_end, eof);
}

TEST_F(body_stream, empty_body_leaves_the_raw_stream_for_release)
{
    auto stream = raw({{"next query", {}}});
    auto body = body_stream_t::make_empty(stream);
    EXPECT_EQ(test::read_chunk(context, body).error, eof);
    EXPECT_EQ(stream->receives, 0);
    EXPECT_EQ(test::read_all(context, body->release()), "next query");
    EXPECT_EQ(test::read_chunk(context, body_stream_t::make_empty(context)).error, eof);
}

TEST_F(body_stream, no_variant_completes_inside_the_call)
{
    // read_chunk reports a completion inside the call as in_progress.
    const std::vector<std::pair<const char*, body_stream_t::pointer_t>> streams = {
        {"replay", body_stream_t::make(context, stored({{"", "a"}}))},
        {"empty replay", body_stream_t::make(context, std::make_shared<body_t>())},
        {"chain", body_stream_t::make_concat(body_stream_t::make_empty(context), body_stream_t::make_empty(context))},
        {"empty", body_stream_t::make_empty(context)},
        {"fixed size 0", body_stream_t::make_fixed_size(raw({}), 0)},
        {"direct", body_stream_t::make_direct(raw({{"abc", {}}}))},
        {"decoder", body_stream_t::make_chunked_decoder(raw({{"1\r\na\r\n0\r\n\r\n", {}}}))},
        {"encoder", body_stream_t::make_chunked_encoder(raw({}), {}, true)},
    };
    for (const auto& [name, stream] : streams) {
        SCOPED_TRACE(name);
        for (const auto& chunk : test::read_chunks(context, stream))
            EXPECT_NE(chunk.error, boost::asio::error::in_progress);
    }
}

TEST_F(body_stream, framing_choosers_follow_the_fields)
{
    struct case_t {
        std::vector<std::pair<std::string, std::string>> fields;
        std::string wire;
        strings_t received;
    } const cases[] = {
        {{{"Transfer-Encoding", "chunked"}}, "3\r\nabc\r\n0\r\n\r\nrest", {"abc"}},
        {{{"Content-Length", "2"}}, "abcd", {"ab"}},
        {{}, "abcd", {"abcd"}},
        // No usable length: read to the end.
        {{{"Content-Length", "-2"}}, "abcd", {"abcd"}},
        {{{"Content-Length", "99999999999999999999"}}, "abcd", {"abcd"}},
    };
    for (const auto& c : cases) {
        io::http::param_map_t fields;
        for (const auto& [name, value] : c.fields)
            fields.add(name, value);
        const auto [chunks, end] = read(body_stream_t::make_for_receive(raw({{c.wire, {}}}), fields));
        EXPECT_EQ(chunks, c.received) << c.wire;
        EXPECT_EQ(end, eof);
    }
    io::http::param_map_t chunked;
    chunked.add("Transfer-Encoding", "Chunked");
    EXPECT_EQ(read(body_stream_t::make_for_send(raw({{"abc", {}}}), chunked, {})).first,
              (strings_t{"3\r\nabc\r\n", "0\r\n\r\n"}));
}

TEST_F(body_stream, read_body_collects_chunks_up_to_the_end_or_a_failure)
{
    struct case_t {
        const char* name;
        std::deque<scripted_stream_t::step_t> raw;
        strings_t chunks;
        boost::system::error_code error;
    } const cases[] = {
        {"empty", {}, {""}, {}},
        {"two chunks", {{"a", {}}, {"b", {}}}, {"a", "b", ""}, {}},
        {"failure after two chunks",
         {{"a", {}}, {"b", {}}, {"", boost::asio::error::connection_reset}},
         {"a", "b"},
         boost::asio::error::connection_reset},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<body_t> body;
        boost::system::error_code error = boost::asio::error::timed_out;
        io::http::async_read_body(body_stream_t::make_direct(raw(c.raw)),
                                  [&](const std::shared_ptr<body_t>& b, const boost::system::error_code& e) {
                                      body = b;
                                      error = e;
                                  });
        context.restart();
        context.run_for(std::chrono::seconds(5));
        ASSERT_TRUE(body);
        strings_t chunks;
        for (const auto& chunk : *body)
            chunks.push_back(chunk.data.str());
        EXPECT_EQ(chunks, c.chunks);
        EXPECT_EQ(error, c.error);
    }
}
