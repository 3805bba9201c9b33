#include <algorithm>

#include <gtest/gtest.h>

#include "scripted_stream.hpp"

using io::http::body_chunk_t;
using io::http::body_stream_t;
using test::scripted_stream_t;

namespace {

boost::system::error_code const eof = boost::asio::error::eof;

using callback_t = body_stream_t::chunk_callback_t;

// The data of every read up to the end, and the error that ended it.
std::vector<std::string> encoded(boost::asio::io_context& context, const body_stream_t::pointer_t& stream,
                                 boost::system::error_code& end)
{
    std::vector<std::string> reads;
    for (const auto& chunk : test::read_chunks(context, stream)) {
        if (chunk.error)
            end = chunk.error;
        else
            reads.push_back(chunk.data);
    }
    return reads;
}

} // namespace

TEST(chunked_encoder, frames_each_raw_read_as_one_chunk)
{
    struct case_t {
        const char* name;
        std::deque<scripted_stream_t::step_t> raw;
        callback_t callback;
        bool write_last_chunk;
        std::vector<std::string> expected;
    } const cases[] = {
        {"with the last chunk", {{"hello", {}}}, {}, true, {"5\r\nhello\r\n", "0\r\n\r\n"}},
        {"without the last chunk", {{"hello", {}}}, {}, false, {"5\r\nhello\r\n"}},
        {"empty raw stream", {}, {}, true, {"0\r\n\r\n"}},
        {"empty reads are skipped", {{"", {}}, {"ab", {}}, {"", {}}}, {}, true, {"2\r\nab\r\n", "0\r\n\r\n"}},
        {"lower-case hexadecimal sizes",
         {{std::string(255, 'x'), {}}, {std::string(4096, 'y'), {}}},
         {},
         false,
         {"ff\r\n" + std::string(255, 'x') + "\r\n", "1000\r\n" + std::string(4096, 'y') + "\r\n"}},
        {"extension from the callback",
         {{"hello", {}}},
         [](body_chunk_t& chunk, const boost::system::error_code&) { chunk.extensions = "x"; },
         true,
         {"5; x\r\nhello\r\n", "0; x\r\n\r\n"}},
        {"trailers on the end chunk",
         {{"hello", {}}},
         [](body_chunk_t& chunk, const boost::system::error_code& error) {
             if (error == eof)
                 chunk.trailers.add("A", "1");
         },
         true,
         {"5\r\nhello\r\n", "0\r\nA: 1\r\n\r\n"}},
        {"line breaks in extensions and trailers",
         {},
         [](body_chunk_t& chunk, const boost::system::error_code&) {
             chunk.extensions = "a\r\n0";
             chunk.trailers.add("A", "1\r\n\r\nX");
         },
         true,
         {"0; a  0\r\nA: 1    X\r\n\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        auto encoder = body_stream_t::make_chunked_encoder(scripted_stream_t::make(context, c.raw), c.callback,
                                                           c.write_last_chunk);
        boost::system::error_code end;
        EXPECT_EQ(encoded(context, encoder, end), c.expected);
        EXPECT_EQ(end, eof);
        EXPECT_EQ(test::read_chunk(context, encoder).error, eof);
    }
}

TEST(chunked_encoder, raw_errors_pass_through)
{
    boost::asio::io_context context;
    auto encoder = body_stream_t::make_chunked_encoder(
        scripted_stream_t::make(context, {{"", boost::asio::error::connection_reset}, {"ab", {}}}), {}, true);
    const auto failed = test::read_chunk(context, encoder);
    EXPECT_EQ(failed.error, boost::asio::error::connection_reset);
    EXPECT_EQ(failed.data, "");
    EXPECT_EQ(test::read_chunk(context, encoder).data, "2\r\nab\r\n");
}

TEST(chunked_closure, keeps_extensions_and_the_end_chunks_trailers)
{
    boost::asio::io_context context;
    auto body = std::make_shared<io::http::body_t>();
    body->push_back({"a", orx::buffer_t("abc"), {}});
    body->push_back({"", orx::buffer_t(), {}});
    body->back().extensions = "e";
    body->back().trailers.add("T", "v");
    auto closure = body_stream_t::make_chunked_closure(body_stream_t::make(context, body));
    boost::system::error_code end;
    EXPECT_EQ(encoded(context, closure, end), (std::vector<std::string>{"3; a\r\nabc\r\n", "0; e\r\nT: v\r\n\r\n"}));
    EXPECT_EQ(end, eof);
}

TEST(chunked_closure, reencodes_a_decoded_body_with_lower_case_sizes)
{
    boost::asio::io_context context;
    std::string const data(300, 'z');
    std::string const wire = "12C;n=1\r\n" + data + "\r\n0;ieof\r\nX: y\r\n\r\n";
    auto decoder = body_stream_t::make_chunked_decoder(scripted_stream_t::make(context, test::pieces(wire, 7)));
    auto closure = body_stream_t::make_chunked_closure(decoder);
    boost::system::error_code end;
    EXPECT_EQ(encoded(context, closure, end),
              (std::vector<std::string>{"12c; n=1\r\n" + data + "\r\n", "0; ieof\r\nX: y\r\n\r\n"}));
    EXPECT_EQ(end, eof);
}

// What a decoder has read already goes out with the data before it, its
// end above all: a proxy that has passed the data on must not wait a turn
// of the loop for an end that came with it.
TEST(chunked_closure, sends_what_was_read_with_the_data_before_it)
{
    struct case_t {
        const char* name;
        std::deque<scripted_stream_t::step_t> raw;
        std::vector<std::string> expected;
    } const cases[] = {
        {"end with the last data", {{"2\r\nde\r\n0\r\n\r\n", {}}}, {"2\r\nde\r\n0\r\n\r\n"}},
        {"extension and trailers of the end",
         {{"2\r\nde\r\n0;e\r\nT: v\r\n\r\n", {}}},
         {"2\r\nde\r\n0; e\r\nT: v\r\n\r\n"}},
        {"several chunks and the end",
         {{"2\r\nde\r\n1;x\r\nf\r\n0\r\n\r\n", {}}},
         {"2\r\nde\r\n1; x\r\nf\r\n0\r\n\r\n"}},
        {"end in a later read", {{"2\r\nde\r\n", {}}, {"0\r\n\r\n", {}}}, {"2\r\nde\r\n", "0\r\n\r\n"}},
        {"chunks read so far, the end later",
         {{"2\r\nde\r\n1\r\nf\r\n", {}}, {"0\r\n\r\n", {}}},
         {"2\r\nde\r\n1\r\nf\r\n", "0\r\n\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        auto closure = body_stream_t::make_chunked_closure(
            body_stream_t::make_chunked_decoder(scripted_stream_t::make(context, c.raw)));
        boost::system::error_code end;
        EXPECT_EQ(encoded(context, closure, end), c.expected);
        EXPECT_EQ(end, eof);
    }
}

TEST(chunked_closure, a_source_failure_reaches_the_reader)
{
    boost::asio::io_context context;
    auto decoder = body_stream_t::make_chunked_decoder(scripted_stream_t::make(context, {{"3\r\nab", {}}}));
    auto closure = body_stream_t::make_chunked_closure(decoder);
    const auto failed = test::read_chunk(context, closure);
    EXPECT_EQ(failed.error, boost::system::error_code(EPROTO, boost::system::system_category()));
    EXPECT_EQ(failed.data, "");
}

// Stored bodies with extensions, the end chunk's trailers, a body whose
// list ends without an end chunk, and one cut at its first empty chunk.
std::vector<std::shared_ptr<io::http::body_t>> stored_bodies()
{
    const auto make = [](std::initializer_list<body_chunk_t> chunks) {
        return std::make_shared<io::http::body_t>(chunks);
    };
    body_chunk_t end{"e", orx::buffer_t(), {}};
    end.trailers.add("T", "v");
    return {
        make({{"a", orx::buffer_t("abc"), {}}, end}),
        make({{"", orx::buffer_t(std::string(300, 'z')), {}}, {"", orx::buffer_t("q"), {}}}),
        make({}),
        make({{"", orx::buffer_t("ab"), {}}, end, {"", orx::buffer_t("never"), {}}}),
    };
}

// What the closure of a replay of the body gives, read chunk by chunk.
std::string closure_bytes(const io::http::body_t& body)
{
    boost::asio::io_context context;
    const auto copy = std::make_shared<io::http::body_t>(body);
    boost::system::error_code end;
    std::string bytes;
    for (const std::string& read :
         encoded(context, body_stream_t::make_chunked_closure(body_stream_t::make(context, copy)), end))
        bytes += read;
    EXPECT_EQ(end, eof);
    return bytes;
}

// A stored body framed at once gives the bytes the closure of its replay
// gives, in one piece.
TEST(chunked_encoding, same_bytes_as_the_closure_in_one_piece)
{
    for (const auto& body : stored_bodies()) {
        boost::asio::io_context context;
        const std::string expected = closure_bytes(*body);
        boost::system::error_code whole_end;
        EXPECT_EQ(encoded(context, body_stream_t::make_chunked_encoding(context.get_executor(), *body), whole_end),
                  std::vector<std::string>{expected});
        EXPECT_EQ(whole_end, eof);
    }
}

// The closure of a stored body hands it over at once as pieces: the same
// bytes as its reads, each chunk's data shared rather than copied; the
// closure is at its end afterwards.
TEST(chunked_closure, a_stored_body_is_handed_over_in_pieces)
{
    for (const auto& body : stored_bodies()) {
        boost::asio::io_context context;
        const std::string expected = closure_bytes(*body);
        const auto copy = std::make_shared<io::http::body_t>(*body);
        auto closure = body_stream_t::make_chunked_closure(body_stream_t::make(context, copy));
        io::pieces_t pieces;
        ASSERT_TRUE(closure->take_stored_pieces(pieces));
        std::string joined;
        for (const orx::buffer_t& piece : pieces)
            joined += piece.str();
        for (const body_chunk_t& chunk : *body) {
            if (chunk.data.empty())
                break;
            EXPECT_TRUE(std::any_of(pieces.begin(), pieces.end(), [&](const orx::buffer_t& piece) {
                return piece.data() == chunk.data.data() && piece.size() == chunk.data.size();
            })) << chunk.data.str();
        }
        EXPECT_EQ(joined, expected);
        EXPECT_EQ(test::read_chunk(context, closure).error, eof);
    }
}

// A body that still has to be read is read, not handed over.
TEST(chunked_closure, a_body_being_read_is_not_handed_over)
{
    boost::asio::io_context context;
    auto decoder =
        body_stream_t::make_chunked_decoder(scripted_stream_t::make(context, {{"3\r\nabc\r\n0\r\n\r\n", {}}}));
    auto closure = body_stream_t::make_chunked_closure(decoder);
    io::pieces_t pieces;
    EXPECT_FALSE(closure->take_stored_pieces(pieces));
    EXPECT_TRUE(pieces.empty());
    boost::system::error_code end;
    // Read, it goes out as it came: the data and its end together.
    EXPECT_EQ(encoded(context, closure, end), (std::vector<std::string>{"3\r\nabc\r\n0\r\n\r\n"}));
    EXPECT_EQ(end, eof);
}
