#include <gtest/gtest.h>

#include "protocol/parsers/chunked_data_parser.hpp"
#include "protocol/protocol_error.hpp"
#include <sstream>

#include "scripted_stream.hpp"

using io::http::body_stream_t;
using test::pieces;
using test::scripted_stream_t;

namespace {

boost::system::error_code const eof = boost::asio::error::eof;

// A sender that sends what it has and then waits: each receive takes what
// was sent and not yet read, or waits until send() brings more.
class waiting_sender_t : public io::stream_t, public std::enable_shared_from_this<waiting_sender_t> {
public:
    explicit waiting_sender_t(boost::asio::io_context& context) : executor_(context.get_executor()) {}

    boost::asio::any_io_executor get_executor() override { return executor_; }
    pointer_t self() override { return shared_from_this(); }
    void async_receive(receive_handler_t handler) override
    {
        waiting_ = handler;
        hand_over();
    }

    void send(const std::string& bytes)
    {
        sent_ += bytes;
        hand_over();
    }

    // Drops a receive still waiting, which holds its reader.
    void hang_up() { waiting_ = nullptr; }

private:
    void hand_over()
    {
        if (!waiting_ || sent_.empty())
            return;
        boost::asio::post(executor_,
                          [handler = std::move(waiting_), data = orx::buffer_t(sent_)] { handler(data, {}); });
        waiting_ = nullptr;
        sent_.clear();
    }

    boost::asio::any_io_executor executor_;
    receive_handler_t waiting_;
    std::string sent_;
};

struct decoder_fixture_t : ::testing::Test {
    boost::asio::io_context context;

    std::shared_ptr<scripted_stream_t> raw(std::deque<scripted_stream_t::step_t> steps)
    {
        return scripted_stream_t::make(context, std::move(steps));
    }

    std::shared_ptr<waiting_sender_t> waiting_sender()
    {
        senders_.push_back(std::make_shared<waiting_sender_t>(context));
        return senders_.back();
    }

    void TearDown() override
    {
        for (const auto& sender : senders_)
            sender->hang_up();
    }

private:
    std::vector<std::shared_ptr<waiting_sender_t>> senders_;
};

struct data_chunk_t {
    std::string extensions;
    std::string data;

    bool operator==(const data_chunk_t&) const = default;
};

} // namespace

using chunked_decoder = decoder_fixture_t;

TEST_F(chunked_decoder, decodes_chunks_extensions_and_trailers_whatever_the_reads)
{
    struct case_t {
        const char* name;
        std::string wire;
        std::vector<data_chunk_t> chunks;
        std::string end_extension;
        std::vector<std::pair<std::string, std::string>> trailers;
        std::string rest;
    } const cases[] = {
        {"one chunk", "5\r\nhello\r\n0\r\n\r\nNEXT", {{"", "hello"}}, "", {}, "NEXT"},
        {"bare LF", "5\nhello\n0\n\nNEXT", {{"", "hello"}}, "", {}, "NEXT"},
        {"extensions and trailers",
         "3;a=1\r\nabc\r\n2 ; b \r\nde\r\n0;ieof\r\nT: v\r\nU: w\r\n\r\n",
         {{"a=1", "abc"}, {"b", "de"}},
         "ieof",
         {{"T", "v"}, {"U", "w"}},
         ""},
        {"only the last chunk", "0\r\n\r\nREQMOD", {}, "", {}, "REQMOD"},
        {"upper-case size", "A\r\n0123456789\r\n0\r\n\r\n", {{"", "0123456789"}}, "", {}, ""},
    };
    for (const auto& c : cases) {
        for (std::size_t read_size : {std::size_t{1}, std::size_t{3}, c.wire.size()}) {
            SCOPED_TRACE(std::string(c.name) + " in reads of " + std::to_string(read_size));
            auto decoder = body_stream_t::make_chunked_decoder(raw(pieces(c.wire, read_size)));
            const auto got = test::read_chunks(context, decoder);
            ASSERT_EQ(got.size(), c.chunks.size() + 1);
            for (std::size_t i = 0; i < c.chunks.size(); ++i) {
                EXPECT_FALSE(got[i].error);
                EXPECT_EQ(got[i].extensions, c.chunks[i].extensions);
                EXPECT_EQ(got[i].data, c.chunks[i].data);
            }
            const auto trailers_of = [](const io::http::param_map_t& fields) {
                std::vector<std::pair<std::string, std::string>> trailers;
                for (const auto& [name, values] : fields.fields())
                    for (const auto& value : values)
                        trailers.emplace_back(name, value);
                return trailers;
            };
            const auto& end = got.back();
            EXPECT_EQ(end.error, eof);
            EXPECT_EQ(end.data, "");
            EXPECT_EQ(end.extensions, c.end_extension);
            EXPECT_EQ(trailers_of(end.trailers), c.trailers);
            // Reading on after the end gives the end again; the bytes after
            // the body are the next query's.
            EXPECT_EQ(test::read_chunk(context, decoder).error, eof);
            EXPECT_EQ(test::read_all(context, decoder->release()), c.rest);
            // Read whole, the body ends with the same end chunk, also when
            // the end came with the last data and is taken at once.
            std::shared_ptr<io::http::body_t> body;
            auto whole = body_stream_t::make_chunked_decoder(raw(pieces(c.wire, read_size)));
            io::http::async_read_body(
                whole, [&](const std::shared_ptr<io::http::body_t>& b, const boost::system::error_code& e) {
                    EXPECT_FALSE(e);
                    body = b;
                });
            ASSERT_TRUE(test::run_until(context, [&] { return body != nullptr; }));
            ASSERT_EQ(body->size(), c.chunks.size() + 1);
            EXPECT_EQ(body->back().data.str(), "");
            EXPECT_EQ(body->back().extensions, c.end_extension);
            EXPECT_EQ(trailers_of(body->back().trailers), c.trailers);
            EXPECT_EQ(test::read_chunk(context, whole).error, eof);
            EXPECT_EQ(test::read_all(context, whole->release()), c.rest);
        }
    }
}

TEST_F(chunked_decoder, hands_on_big_chunks_in_pieces_of_at_most_65535_bytes)
{
    std::string data(100000, 'x');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 26);
    std::string const wire = "186a0;e\r\n" + data + "\r\n0\r\n\r\n";
    for (std::size_t read_size : {std::size_t{8192}, std::size_t{65536}, std::size_t{70000}, wire.size()}) {
        SCOPED_TRACE(read_size);
        auto decoder = body_stream_t::make_chunked_decoder(raw(pieces(wire, read_size)));
        const auto got = test::read_chunks(context, decoder);
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(got.front().data.size(), 65535u);
        EXPECT_EQ(got.front().extensions, "e");
        std::string joined;
        for (std::size_t i = 0; i + 1 < got.size(); ++i) {
            EXPECT_FALSE(got[i].error);
            EXPECT_LE(got[i].data.size(), 65535u);
            if (i > 0) {
                EXPECT_EQ(got[i].extensions, "");
            }
            joined += got[i].data;
        }
        EXPECT_EQ(joined, data);
        EXPECT_EQ(got.back().error, eof);
    }
}

TEST_F(chunked_decoder, bad_framing_is_a_sticky_protocol_error)
{
    struct case_t {
        const char* name;
        std::string wire;
        std::size_t good_chunks;
    } const cases[] = {
        {"size not hexadecimal", "zz\r\n", 0},
        {"blank before the size", " 5\r\nhello\r\n0\r\n\r\n", 0},
        {"CR without LF", "5\rhello", 0},
        {"two line ends before a size", "3\r\nabc\r\n\r\n2\r\nde\r\n0\r\n\r\n", 0},
        {"bad trailer", "3\r\nabc\r\n0\r\nBad Name: v\r\n\r\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto stream = raw(pieces(c.wire, c.wire.size()));
        auto decoder = body_stream_t::make_chunked_decoder(stream);
        const auto got = test::read_chunks(context, decoder);
        ASSERT_EQ(got.size(), c.good_chunks + 1);
        EXPECT_EQ(got.back().error, io::protocol_error);
        EXPECT_EQ(got.back().data, "");
        const int receives = stream->receives;
        EXPECT_EQ(test::read_chunk(context, decoder).error, io::protocol_error);
        EXPECT_EQ(stream->receives, receives) << "a failed decoder must not read on";
    }
}

TEST_F(chunked_decoder, lines_longer_than_the_bound_are_a_protocol_error)
{
    std::size_t const line = proto::chunked_data_parser_t::max_size_line;
    std::size_t const block = proto::chunked_data_parser_t::max_trailer_block;
    std::string many_trailer_lines;
    while (many_trailer_lines.size() <= block)
        many_trailer_lines += "T: v\r\n";
    struct case_t {
        const char* name;
        std::string wire;
        bool accepted;
    } const cases[] = {
        {"size line at the bound", "1;" + std::string(line - 2, 'e') + "\r\nx\r\n0\r\n\r\n", true},
        {"size line past the bound", "1;" + std::string(line - 1, 'e') + "\r\nx\r\n0\r\n\r\n", false},
        {"endless size line", "1;" + std::string(4 * line, 'e'), false},
        {"endless run of size digits", std::string(2 * line, '0'), false},
        {"small trailer block", "0\r\nT: " + std::string(1000, 'v') + "\r\n\r\n", true},
        {"trailer block past the bound", "0\r\nT: " + std::string(block, 'v') + "\r\n\r\n", false},
        {"endless trailers", "0\r\n" + many_trailer_lines, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto decoder = body_stream_t::make_chunked_decoder(raw(pieces(c.wire, 8192)));
        const auto got = test::read_chunks(context, decoder);
        EXPECT_EQ(got.back().error, c.accepted ? eof : io::protocol_error);
    }
}

TEST_F(chunked_decoder, an_early_end_of_the_raw_stream_is_a_protocol_error_each_time)
{
    auto stream = raw({{"5\r\nhel", {}}});
    auto decoder = body_stream_t::make_chunked_decoder(stream);
    EXPECT_EQ(test::read_chunk(context, decoder).error, io::protocol_error);
    const int receives = stream->receives;
    EXPECT_EQ(test::read_chunk(context, decoder).error, io::protocol_error);
    EXPECT_GT(stream->receives, receives) << "the raw stream is asked again";
}

TEST_F(chunked_decoder, other_raw_errors_pass_through_and_leave_it_usable)
{
    auto decoder = body_stream_t::make_chunked_decoder(
        raw({{"5\r\nhel", {}}, {"", boost::asio::error::connection_reset}, {"lo\r\n0\r\n\r\n", {}}}));
    const auto failed = test::read_chunk(context, decoder);
    EXPECT_EQ(failed.error, boost::asio::error::connection_reset);
    EXPECT_EQ(failed.data, "");
    const auto chunk = test::read_chunk(context, decoder);
    EXPECT_FALSE(chunk.error);
    EXPECT_EQ(chunk.data, "hello");
    EXPECT_EQ(test::read_chunk(context, decoder).error, eof);
}

TEST_F(chunked_decoder, more_data_than_announced_fails_at_the_size_line)
{
    struct case_t {
        const char* name;
        std::int64_t max_data;
        std::string first_read;
        boost::system::error_code first_error;
    } const cases[] = {
        {"zero-length preview with data", 0, "5\r\n", io::protocol_error},
        {"zero-length preview ending with ieof", 0, "0; ieof\r\n\r\n", eof},
        {"preview over its length", 4, "3\r\nabc\r\n2\r\n", io::protocol_error},
        {"preview within its length", 5, "3\r\nabc\r\n2\r\n", {}},
        {"no limit", -1, "5\r\n", {}},
        {"overflowing sizes", 10, "fffffffffffffffffff\r\n", io::protocol_error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The rest of the body would follow in later reads; a failure must
        // not wait for them.
        auto stream = raw({{c.first_read, {}}, {"hello\r\n0\r\n\r\n", {}}});
        auto decoder = body_stream_t::make_chunked_decoder(stream, c.max_data);
        const auto got = test::read_chunk(context, decoder);
        EXPECT_EQ(got.error, c.first_error);
        if (c.first_error == io::protocol_error) {
            EXPECT_EQ(stream->receives, 1);
        }
    }
}

TEST_F(chunked_decoder, bytes_handed_out_stay_intact_while_later_chunks_arrive)
{
    std::string data;
    std::string wire;
    for (std::size_t size : {5000u, 100000u, 1u, 70000u}) {
        std::string chunk(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            chunk[i] = static_cast<char>((data.size() + i) * 7 % 253);
        std::ostringstream header;
        header << std::hex << size << "\r\n";
        wire += header.str() + chunk + "\r\n";
        data += chunk;
    }
    wire += "0\r\n\r\n";
    for (std::size_t read_size : {std::size_t{3000}, std::size_t{8192}, wire.size()}) {
        SCOPED_TRACE(read_size);
        // The body keeps every chunk's buffer as handed out, without copying.
        std::shared_ptr<io::http::body_t> body;
        io::http::async_read_body(
            body_stream_t::make_chunked_decoder(raw(pieces(wire, read_size))),
            [&](const std::shared_ptr<io::http::body_t>& b, const boost::system::error_code&) { body = b; });
        context.restart();
        context.run_for(std::chrono::seconds(10));
        ASSERT_TRUE(body);
        std::string joined;
        for (const auto& chunk : *body)
            joined += chunk.data.str();
        EXPECT_EQ(joined, data);
    }
}

// Bytes already read with the head come before the raw stream's; a body
// read to its end holds nothing more, and what follows it is given back.
TEST_F(chunked_decoder, bytes_ahead_come_first_and_a_finished_body_is_empty)
{
    auto decoder = body_stream_t::make_chunked_decoder(raw({{"c\r\n0\r\n\r\nNEXT", {}}}), -1, orx::buffer_t("3\r\nab"));
    EXPECT_FALSE(decoder->empty_body());
    const auto chunk = test::read_chunk(context, decoder);
    EXPECT_EQ(chunk.data, "abc");
    EXPECT_FALSE(chunk.error);
    EXPECT_EQ(test::read_chunk(context, decoder).error, eof);
    EXPECT_TRUE(decoder->empty_body());
    const auto rest = decoder->release();
    bool done = false;
    rest->async_receive([&](const orx::buffer_t& data, const boost::system::error_code& error) {
        EXPECT_EQ(data.str(), "NEXT");
        EXPECT_FALSE(error);
        done = true;
    });
    context.restart();
    context.run_for(std::chrono::seconds(5));
    EXPECT_TRUE(done);
}

// Bytes already held are taken at once, chunk by chunk as reads would hand
// them on, and reading goes on from where the taking stopped: the whole
// body is the same either way, and the taking alone tells whether it got
// the end. Bad framing among the bytes held fails the next read.
TEST_F(chunked_decoder, bytes_held_are_taken_at_once_and_reading_goes_on_from_there)
{
    const std::string big(100000, 'b');
    struct case_t {
        const char* name;
        std::string ahead;
        std::string raw;
        std::vector<std::string> taken;
        bool whole;
        std::vector<std::string> body;
        boost::system::error_code error;
    } const cases[] = {
        {"whole body held",
         "3;a=1\r\nabc\r\n2\r\nde\r\n0;ieof\r\nT: v\r\n\r\nNEXT",
         "",
         {"a=1:abc", ":de", "ieof:"},
         true,
         {"a=1:abc", ":de", "ieof:"},
         {}},
        {"cut inside a chunk", "3\r\nabc\r\n2\r\nd", "e\r\n0\r\n\r\n", {":abc"}, false, {":abc", ":de", ":"}, {}},
        {"cut after a chunk's data", "3\r\nabc", "\r\n0\r\n\r\n", {":abc"}, false, {":abc", ":"}, {}},
        {"cut inside the size line", "3\r\nabc\r\n0", "\r\n\r\n", {":abc"}, false, {":abc", ":"}, {}},
        {"nothing held", "", "1\r\nx\r\n0\r\n\r\n", {}, false, {":x", ":"}, {}},
        {"big chunk held",
         "186a0\r\n" + big + "\r\n0\r\n\r\n",
         "",
         {":65535", ":34465", ":"},
         true,
         {":65535", ":34465", ":"},
         {}},
        {"bad size line", "zz\r\n", "", {}, false, {}, io::protocol_error},
        {"bad framing after a chunk", "3\r\nabc\r\nzz\r\n", "", {}, false, {}, io::protocol_error},
        {"bad trailer", "3\r\nabc\r\n0\r\nBad Name: v\r\n\r\n", "", {":abc"}, false, {":abc"}, io::protocol_error},
    };
    // Extension and data of each chunk; data of a thousand bytes or more as
    // its size.
    const auto text = [](const io::http::body_t& chunks) {
        std::vector<std::string> texts;
        for (const io::http::body_chunk_t& chunk : chunks)
            texts.push_back(chunk.extensions + ":" +
                            (chunk.data.size() >= 1000 ? std::to_string(chunk.data.size()) : chunk.data.str()));
        return texts;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto input = raw({{c.raw, {}}});
        auto decoder = body_stream_t::make_chunked_decoder(input, -1, orx::buffer_t(c.ahead));
        const auto body = std::make_shared<io::http::body_t>();
        EXPECT_EQ(decoder->take_ready(*body), c.whole);
        EXPECT_EQ(text(*body), c.taken);
        EXPECT_EQ(input->receives, 0);
        if (c.whole) {
            EXPECT_TRUE(decoder->empty_body());
            EXPECT_EQ(test::read_chunk(context, decoder).error, eof);
            continue;
        }
        bool done = false;
        boost::system::error_code error;
        io::http::async_read_body(decoder, body,
                                  [&](const std::shared_ptr<io::http::body_t>&, const boost::system::error_code& e) {
                                      error = e;
                                      done = true;
                                  });
        ASSERT_TRUE(test::run_until(context, [&] { return done; }));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(text(*body), c.body);
    }
    auto decoder = body_stream_t::make_chunked_decoder(raw({}), -1, orx::buffer_t(cases[0].ahead));
    io::http::body_t body;
    ASSERT_TRUE(decoder->take_ready(body));
    EXPECT_EQ(test::read_all(context, decoder->release()), "NEXT");
}

namespace {

// What a sender sends before it waits, the chunks handed on meanwhile, the
// rest it sends later and the chunks and end that follow.
struct waiting_case_t {
    const char* name;
    std::string sent;
    std::vector<data_chunk_t> before;
    std::string rest;
    std::vector<data_chunk_t> after;
    boost::system::error_code end;
};

std::vector<waiting_case_t> waiting_cases()
{
    std::string big(70000, 'b');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    return {
        {"data without its line end", "5;e\r\nhello", {{"e", "hello"}}, "\r\n0\r\n\r\n", {}, eof},
        {"data and its line end", "5\r\nhello\r\n", {{"", "hello"}}, "0;ieof\r\n\r\n", {}, eof},
        {"data and the start of a size line",
         "5\r\nhello\r\n1",
         {{"", "hello"}},
         "\r\nx\r\n0\r\n\r\n",
         {{"", "x"}},
         eof},
        {"a chunk with an extension and trailers after a wait",
         "3\r\nabc\r\n",
         {{"", "abc"}},
         "2;x=1\r\nde\r\n0\r\nT: v\r\n\r\n",
         {{"x=1", "de"}},
         eof},
        {"two chunks", "3;a\r\nabc\r\n2;b\r\nde\r\n", {{"a", "abc"}, {"b", "de"}}, "0\r\n\r\n", {}, eof},
        {"the last chunk without the trailers' end", "5\r\nhello\r\n0\r\n", {{"", "hello"}}, "\r\n", {}, eof},
        {"a chunk bigger than a piece",
         "11170\r\n" + big + "\r\n",
         {{"", big.substr(0, 65535)}, {"", big.substr(65535)}},
         "0\r\n\r\n",
         {},
         eof},
        {"a chunk bigger than a piece, partly sent",
         "11170\r\n" + big.substr(0, 66000),
         {{"", big.substr(0, 65535)}},
         big.substr(66000) + "\r\n0\r\n\r\n",
         {{"", big.substr(65535)}},
         eof},
        {"bytes other than a line end after the data",
         "5\r\nhello",
         {{"", "hello"}},
         "X\r\n0\r\n\r\n",
         {},
         io::protocol_error},
        {"two line ends after the data", "5\r\nhello\r\n", {{"", "hello"}}, "\r\n0\r\n\r\n", {}, io::protocol_error},
        {"a bad trailer", "5\r\nhello\r\n0\r\n", {{"", "hello"}}, "Bad Name: v\r\n\r\n", {}, io::protocol_error},
    };
}

} // namespace

// A sender that waits after a chunk (for the answer to what it sent, say)
// must get that chunk's data handed on without the next size line; what
// comes after it is checked as strictly as when it arrives at once.
TEST_F(chunked_decoder, hands_on_a_chunk_whose_data_has_arrived_while_the_sender_waits)
{
    for (const auto& c : waiting_cases()) {
        SCOPED_TRACE(c.name);
        auto sender = waiting_sender();
        auto decoder = body_stream_t::make_chunked_decoder(sender);
        sender->send(c.sent);
        for (const auto& expected : c.before) {
            const auto got = test::read_chunk(context, decoder);
            ASSERT_FALSE(got.error) << got.error.message();
            EXPECT_EQ(got.extensions, expected.extensions);
            EXPECT_EQ(got.data, expected.data);
        }
        // Nothing more until the sender goes on.
        bool done = false;
        test::chunk_result_t next;
        decoder->async_receive_chunk([&](io::http::body_chunk_t& chunk, const boost::system::error_code& error) {
            next = {chunk.extensions, chunk.data.str(), chunk.trailers, error};
            done = true;
        });
        context.restart();
        context.poll();
        ASSERT_FALSE(done) << "handed on " << next.data.size() << " bytes, " << next.error.message();
        sender->send(c.rest);
        ASSERT_TRUE(test::run_until(context, [&] { return done; }));
        std::vector<test::chunk_result_t> got{next};
        while (!got.back().error && got.size() < 10)
            got.push_back(test::read_chunk(context, decoder));
        ASSERT_EQ(got.size(), c.after.size() + 1);
        for (std::size_t i = 0; i < c.after.size(); ++i) {
            EXPECT_FALSE(got[i].error);
            EXPECT_EQ(got[i].extensions, c.after[i].extensions);
            EXPECT_EQ(got[i].data, c.after[i].data);
        }
        EXPECT_EQ(got.back().error, c.end);
        EXPECT_EQ(got.back().data, "");
    }
}

// A reader that asks for the next chunk from within its handler, as
// async_read_body does, gets the same chunks.
TEST_F(chunked_decoder, a_reader_that_reads_on_in_its_handler_gets_the_same_chunks)
{
    for (const auto& c : waiting_cases()) {
        SCOPED_TRACE(c.name);
        auto sender = waiting_sender();
        std::shared_ptr<io::http::body_t> body;
        boost::system::error_code error;
        io::http::async_read_body(body_stream_t::make_chunked_decoder(sender),
                                  [&](const std::shared_ptr<io::http::body_t>& b, const boost::system::error_code& e) {
                                      body = b;
                                      error = e;
                                  });
        sender->send(c.sent);
        context.restart();
        context.poll();
        ASSERT_FALSE(body) << "the body ended before the sender went on";
        sender->send(c.rest);
        ASSERT_TRUE(test::run_until(context, [&] { return body != nullptr; }));
        std::vector<data_chunk_t> expected = c.before;
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        std::vector<data_chunk_t> got;
        for (const auto& chunk : *body)
            got.push_back({chunk.extensions, chunk.data.str()});
        if (c.end == eof) {
            EXPECT_FALSE(error);
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.back().data, "") << "the body ends with its end chunk";
            got.pop_back();
        } else {
            EXPECT_EQ(error, c.end);
        }
        EXPECT_EQ(got, expected);
    }
}

// A body whose end came with its last data hands the end over at once,
// with its extension and trailers, once a read has taken that data; an
// end still to come is left to the next read.
TEST_F(chunked_decoder, the_end_held_after_a_read_is_ready)
{
    struct case_t {
        const char* name;
        std::deque<scripted_stream_t::step_t> reads;
        bool ready;
        std::string end_extension;
        std::string trailers;
        std::string rest;
    };
    const case_t cases[] = {
        {"end with the data", {{"3\r\nabc\r\n0;e=1\r\n\r\nNEXT", {}}}, true, "e=1", "", "NEXT"},
        {"end and trailers with the data", {{"3\r\nabc\r\n0\r\nT: v\r\n\r\n", {}}}, true, "", "T: v\r\n", ""},
        {"end still to come", {{"3\r\nabc\r\n", {}}, {"0;e=1\r\n\r\nNEXT", {}}}, false, "e=1", "", "NEXT"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        auto decoder = body_stream_t::make_chunked_decoder(raw(c.reads));
        EXPECT_EQ(test::read_chunk(context, decoder).data, "abc");
        io::http::body_t taken;
        EXPECT_EQ(decoder->take_ready(taken), c.ready);
        if (c.ready) {
            ASSERT_EQ(taken.size(), 1u);
        } else {
            EXPECT_TRUE(taken.empty());
            const auto end = test::read_chunk(context, decoder);
            EXPECT_EQ(end.error, eof);
            taken.push_back({end.extensions, orx::buffer_t(end.data), end.trailers});
        }
        EXPECT_EQ(taken.back().data.str(), "");
        EXPECT_EQ(taken.back().extensions, c.end_extension);
        std::ostringstream trailers;
        trailers << taken.back().trailers;
        EXPECT_EQ(trailers.str(), c.trailers);
        EXPECT_EQ(test::read_all(context, decoder->release()), c.rest);
    }
}

// Reading a body whole takes one turn of the loop per raw read, however
// many chunks a read brings.
TEST_F(chunked_decoder, reading_a_body_whole_takes_a_turn_per_read_not_per_chunk)
{
    const auto turns_for = [&](const std::string& first_read) {
        auto decoder = body_stream_t::make_chunked_decoder(raw({{first_read, {}}, {"0\r\n\r\n", {}}}));
        std::shared_ptr<io::http::body_t> body;
        io::http::async_read_body(decoder,
                                  [&](const std::shared_ptr<io::http::body_t>& b, const boost::system::error_code& e) {
                                      EXPECT_FALSE(e);
                                      body = b;
                                  });
        context.restart();
        std::size_t turns = 0;
        while (!body && turns < 1000)
            turns += context.run_one();
        return std::make_pair(turns, body ? body->size() : 0);
    };
    const auto one = turns_for("1\r\na\r\n");
    const auto many = turns_for("1\r\na\r\n2\r\nbc\r\n3\r\ndef\r\n4\r\nghij\r\n5\r\nklmno\r\n");
    EXPECT_EQ(one.second, 2u);
    EXPECT_EQ(many.second, 6u);
    EXPECT_EQ(many.first, one.first);
}
