#include "io/stream.hpp"

#include <chrono>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "io/io_test.hpp"

namespace {

using namespace std::chrono_literals;
using boost::system::error_code;

struct piece_t {
    std::string data;
    error_code error;
};

// A stream that hands out a script of pieces, each posted, then the end.
class scripted_stream_t : public io::stream_t, public std::enable_shared_from_this<scripted_stream_t> {
public:
    scripted_stream_t(boost::asio::io_context& context, std::vector<piece_t> script)
        : context_(context), script_(script.begin(), script.end())
    {
    }

    boost::asio::any_io_executor get_executor() override { return context_.get_executor(); }

    void async_receive(receive_handler_t handler) override
    {
        ++receives;
        piece_t piece{"", io::end_of_stream};
        if (!script_.empty()) {
            piece = script_.front();
            script_.pop_front();
        }
        boost::asio::post(context_, [handler, piece] {
            handler(piece.data.empty() ? orx::buffer_t() : orx::buffer_t(piece.data), piece.error);
        });
    }

    pointer_t self() override { return shared_from_this(); }

    int receives = 0;

private:
    boost::asio::io_context& context_;
    std::deque<piece_t> script_;
};

// Records what it is given; the send numbered fail_at fails with failure.
class recording_output_t : public io::output_stream_t {
public:
    recording_output_t(boost::asio::io_context& context, std::optional<std::size_t> fail_at, error_code failure)
        : context_(context), fail_at_(fail_at), failure_(failure)
    {
    }

    boost::asio::any_io_executor get_executor() override { return context_.get_executor(); }

    void async_send(const orx::buffer_t& data, send_handler_t handler, keep_t keep = nullptr) override
    {
        const bool fail = fail_at_ && *fail_at_ == sent.size();
        sent.push_back(data.str());
        boost::asio::post(context_, [handler, keep, fail, this] { handler(fail ? failure_ : error_code()); });
    }

    std::vector<std::string> sent;

private:
    boost::asio::io_context& context_;
    std::optional<std::size_t> fail_at_;
    error_code failure_;
};

using io_test::receive;

std::string read_text(boost::asio::io_context& context, const std::shared_ptr<io::stream_t>& stream)
{
    std::string text;
    for (int i = 0; i < 100; ++i) {
        auto r = receive(context, stream);
        EXPECT_TRUE(r.done);
        EXPECT_FALSE(r.inside_call);
        if (r.error) {
            EXPECT_EQ(r.error, io::end_of_stream);
            EXPECT_EQ(r.data.size(), 0u);
            return text;
        }
        text += r.data.str();
    }
    ADD_FAILURE() << "stream did not end";
    return text;
}

class stream_test : public ::testing::Test {
protected:
    std::shared_ptr<io::stream_t> data(const std::string& text)
    {
        return io::stream_t::make(context, text.empty() ? orx::buffer_t() : orx::buffer_t(text));
    }
    std::shared_ptr<io::stream_t> chain(std::initializer_list<std::shared_ptr<io::stream_t>> list)
    {
        io::stream_t::queue_t queue;
        for (auto& s : list)
            queue.push(s);
        return io::stream_t::make(queue);
    }

    boost::asio::io_context context;
};

TEST_F(stream_test, end_of_stream_is_asio_eof)
{
    EXPECT_EQ(io::end_of_stream, boost::asio::error::eof);
}

TEST_F(stream_test, empty_data_stream_ends_at_once_and_later)
{
    auto stream = data("");
    for (int i = 0; i < 3; ++i) {
        auto r = receive(context, stream);
        ASSERT_TRUE(r.done);
        EXPECT_FALSE(r.inside_call);
        EXPECT_EQ(r.data.size(), 0u);
        EXPECT_EQ(r.error, io::end_of_stream);
    }
}

TEST_F(stream_test, data_stream_hands_out_its_bytes_once_without_copying)
{
    orx::buffer_t bytes("some bytes");
    auto stream = io::stream_t::make(boost::asio::any_io_executor(context.get_executor()), bytes);
    auto first = receive(context, stream);
    ASSERT_TRUE(first.done);
    EXPECT_FALSE(first.inside_call);
    EXPECT_FALSE(first.error);
    EXPECT_EQ(first.data.str(), "some bytes");
    EXPECT_EQ(first.data.data(), bytes.data());
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(receive(context, stream).error, io::end_of_stream);
}

TEST_F(stream_test, data_stream_completion_survives_the_stream)
{
    bool called = false;
    data("x")->async_receive([&](const orx::buffer_t& data, const error_code& error) {
        called = true;
        EXPECT_EQ(data.str(), "x");
        EXPECT_FALSE(error);
    });
    context.run_for(5s);
    EXPECT_TRUE(called);
}

TEST_F(stream_test, chain_of_one_stream_is_that_stream)
{
    auto a = data("a");
    EXPECT_EQ(chain({a}), a);
}

TEST_F(stream_test, chain_of_no_stream_is_refused)
{
    EXPECT_THROW(io::stream_t::make(io::stream_t::queue_t()), std::invalid_argument);
}

TEST_F(stream_test, concat_with_missing_sides)
{
    auto a = data("a");
    auto b = data("b");
    EXPECT_EQ(io::stream_t::make_concat(nullptr, b), b);
    EXPECT_EQ(io::stream_t::make_concat(a, nullptr), a);
    EXPECT_EQ(io::stream_t::make_concat(nullptr, nullptr), nullptr);
    auto both = io::stream_t::make_concat(a, b);
    EXPECT_NE(both, a);
    EXPECT_NE(both, b);
    EXPECT_EQ(read_text(context, both), "ab");
}

TEST_F(stream_test, chain_hides_the_ends_of_its_elements)
{
    EXPECT_EQ(read_text(context, chain({data("head "), data(""), data("body")})), "head body");
}

TEST_F(stream_test, chain_passes_errors_on_and_keeps_the_failing_stream)
{
    auto failing = std::make_shared<scripted_stream_t>(
        context, std::vector<piece_t>{{"", boost::asio::error::connection_reset}, {"later", {}}});
    auto stream = chain({data("first "), failing});
    EXPECT_EQ(receive(context, stream).data.str(), "first ");
    auto r = receive(context, stream);
    EXPECT_EQ(r.error, boost::asio::error::connection_reset);
    EXPECT_FALSE(r.inside_call);
    // A reader that tries again reads the same element on.
    EXPECT_EQ(receive(context, stream).data.str(), "later");
    EXPECT_EQ(receive(context, stream).error, io::end_of_stream);
}

TEST_F(stream_test, nested_chain_is_let_go_of_once_down_to_its_last_stream)
{
    auto inner = chain({data("a"), data("b")});
    std::weak_ptr<io::stream_t> weak_inner = inner;
    auto c = data("c");
    auto outer = io::stream_t::make_concat(inner, c);
    inner.reset();

    EXPECT_EQ(receive(context, outer).data.str(), "a");
    EXPECT_EQ(receive(context, outer).data.str(), "b");
    EXPECT_FALSE(weak_inner.expired());
    EXPECT_EQ(receive(context, outer).data.str(), "c");
    EXPECT_TRUE(weak_inner.expired());
    // Down to its last element, the chain hands that element out.
    EXPECT_EQ(outer->self(), c);
    EXPECT_EQ(receive(context, outer).error, io::end_of_stream);
}

TEST_F(stream_test, ended_chain_keeps_ending)
{
    auto stream = chain({data("a"), data("b")});
    EXPECT_EQ(read_text(context, stream), "ab");
    EXPECT_EQ(receive(context, stream).error, io::end_of_stream);
}

// The three whole-stream operations over the same scripts.
struct whole_stream_case_t {
    const char* name;
    std::vector<piece_t> script;
    std::optional<std::size_t> send_fails_at;
    error_code expected_error;  // of skip_all and read_all
    std::string expected_bytes; // read_all's collected bytes
    error_code expected_send_all_error;
    std::vector<std::string> expected_sent;
};

const error_code reset = boost::asio::error::connection_reset;
const error_code broken = boost::asio::error::broken_pipe;

const whole_stream_case_t whole_stream_cases[] = {
    {"empty", {}, {}, {}, "", {}, {}},
    {"pieces", {{"ab", {}}, {"cd", {}}}, {}, {}, "abcd", {}, {"ab", "cd"}},
    {"empty_pieces_are_not_sent", {{"", {}}, {"ab", {}}, {"", {}}}, {}, {}, "ab", {}, {"ab"}},
    {"receive_error_midway", {{"ab", {}}, {"", reset}, {"cd", {}}}, {}, reset, "ab", reset, {"ab"}},
    {"send_error_as_it_came", {{"ab", {}}, {"cd", {}}, {"ef", {}}}, 1, {}, "abcdef", broken, {"ab", "cd"}},
};

class whole_stream_test : public ::testing::TestWithParam<whole_stream_case_t> {
protected:
    std::shared_ptr<scripted_stream_t> script()
    {
        return std::make_shared<scripted_stream_t>(context, GetParam().script);
    }
    // Runs the loop and checks that the completion ran once and later.
    template <typename Start>
    void run(Start start)
    {
        int calls = 0;
        bool returned = false;
        start([&] {
            ++calls;
            EXPECT_TRUE(returned);
        });
        returned = true;
        context.restart();
        context.run_for(5s);
        EXPECT_EQ(calls, 1);
    }

    boost::asio::io_context context;
};

TEST_P(whole_stream_test, skip_all)
{
    auto stream = script();
    error_code result = boost::asio::error::fault;
    run([&](auto done) {
        io::async_skip_all(stream, [&, done](const error_code& error) {
            result = error;
            done();
        });
    });
    EXPECT_EQ(result, GetParam().expected_error);
}

TEST_P(whole_stream_test, read_all)
{
    auto stream = script();
    error_code result = boost::asio::error::fault;
    std::string bytes = "unset";
    run([&](auto done) {
        io::async_read_all(stream, [&, done](const orx::buffer_t& data, const error_code& error) {
            result = error;
            bytes = data.str();
            done();
        });
    });
    EXPECT_EQ(result, GetParam().expected_error);
    EXPECT_EQ(bytes, GetParam().expected_bytes);
}

TEST_P(whole_stream_test, send_all)
{
    auto stream = script();
    auto output = std::make_shared<recording_output_t>(context, GetParam().send_fails_at, broken);
    error_code result = boost::asio::error::fault;
    run([&](auto done) {
        io::async_send_all(stream, output, [&, done](const error_code& error) {
            result = error;
            done();
        });
    });
    EXPECT_EQ(result, GetParam().expected_send_all_error);
    EXPECT_EQ(output->sent, GetParam().expected_sent);
}

INSTANTIATE_TEST_SUITE_P(scripts, whole_stream_test, ::testing::ValuesIn(whole_stream_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A stream whose rest is stored: it hands it over as pieces and is never
// read.
class stored_stream_t : public io::stream_t, public std::enable_shared_from_this<stored_stream_t> {
public:
    stored_stream_t(boost::asio::io_context& context, io::pieces_t pieces)
        : context_(context), pieces_(std::move(pieces))
    {
    }

    boost::asio::any_io_executor get_executor() override { return context_.get_executor(); }
    void async_receive(receive_handler_t) override { ADD_FAILURE() << "a stored stream was read"; }
    pointer_t self() override { return shared_from_this(); }
    bool take_stored_pieces(io::pieces_t& pieces) override
    {
        pieces = std::exchange(pieces_, {});
        return true;
    }

private:
    boost::asio::io_context& context_;
    io::pieces_t pieces_;
};

// A stored rest goes out in one send of all its pieces, nothing at all
// when it is empty; the completion runs once, later, with the send's error.
TEST(send_all, a_stored_rest_goes_out_in_one_send)
{
    struct case_t {
        const char* name;
        io::pieces_t pieces;
        std::optional<std::size_t> send_fails_at;
        error_code expected_error;
        std::vector<std::string> expected_sent;
    } const cases[] = {
        {"pieces", {orx::buffer_t("ab"), orx::buffer_t(), orx::buffer_t("cd")}, {}, {}, {"abcd"}},
        {"nothing", {}, {}, {}, {}},
        {"send_error", {orx::buffer_t("ab")}, 0, broken, {"ab"}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        auto output = std::make_shared<recording_output_t>(context, c.send_fails_at, broken);
        error_code result = boost::asio::error::fault;
        int calls = 0;
        bool returned = false;
        io::async_send_all(std::make_shared<stored_stream_t>(context, c.pieces), output, [&](const error_code& error) {
            result = error;
            ++calls;
            EXPECT_TRUE(returned);
        });
        returned = true;
        context.run_for(5s);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(result, c.expected_error);
        EXPECT_EQ(output->sent, c.expected_sent);
    }
}

} // namespace
