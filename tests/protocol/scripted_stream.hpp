#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "io/stream.hpp"
#include "protocol/body_stream.hpp"

namespace test {

// A raw stream that answers each receive with the next scripted step: a
// piece of bytes or an error. After the script it reports the end every
// time. Counts the receives it was asked for.
class scripted_stream_t : public io::stream_t, public std::enable_shared_from_this<scripted_stream_t> {
public:
    struct step_t {
        std::string data;
        boost::system::error_code error;
    };

    scripted_stream_t(boost::asio::io_context& context, std::deque<step_t> steps)
        : executor_(context.get_executor()), steps_(std::move(steps))
    {
    }

    static std::shared_ptr<scripted_stream_t> make(boost::asio::io_context& context, std::deque<step_t> steps)
    {
        return std::make_shared<scripted_stream_t>(context, std::move(steps));
    }

    boost::asio::any_io_executor get_executor() override { return executor_; }
    pointer_t self() override { return shared_from_this(); }
    void async_receive(receive_handler_t handler) override
    {
        ++receives;
        step_t step{{}, boost::asio::error::eof};
        if (!steps_.empty()) {
            step = std::move(steps_.front());
            steps_.pop_front();
        }
        boost::asio::post(executor_, [handler, step] { handler(orx::buffer_t(step.data), step.error); });
    }

    int receives = 0;

private:
    boost::asio::any_io_executor executor_;
    std::deque<step_t> steps_;
};

// Hands out fixed bytes in reads of at most piece bytes, then the end, as a
// connection would.
class piece_stream_t : public io::stream_t, public std::enable_shared_from_this<piece_stream_t> {
public:
    piece_stream_t(boost::asio::io_context& context, orx::buffer_t data, std::size_t piece)
        : executor_(context.get_executor()), data_(std::move(data)), piece_(piece)
    {
    }

    boost::asio::any_io_executor get_executor() override { return executor_; }
    pointer_t self() override { return shared_from_this(); }
    void async_receive(receive_handler_t handler) override
    {
        std::size_t const n = std::min(piece_, data_.size());
        orx::buffer_t piece = data_.head(n);
        data_ = data_.tail(data_.size() - n);
        boost::system::error_code error;
        if (n == 0)
            error = boost::asio::error::eof;
        boost::asio::post(executor_, [handler, piece, error] { handler(piece, error); });
    }

private:
    boost::asio::any_io_executor executor_;
    orx::buffer_t data_;
    std::size_t piece_;
};

// Runs the loop until done() holds, for five seconds at the most.
template <typename predicate_t>
bool run_until(boost::asio::io_context& context, predicate_t done)
{
    context.restart();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        if (context.run_one_for(std::chrono::milliseconds(50)) == 0)
            context.restart();
    return done();
}

// What one chunk read delivered.
struct chunk_result_t {
    std::string extensions;
    std::string data;
    io::http::param_map_t trailers;
    boost::system::error_code error;
};

// Runs the loop until the handler of one chunk read has run; bounded.
inline chunk_result_t read_chunk(boost::asio::io_context& context, const io::http::body_stream_t::pointer_t& stream)
{
    chunk_result_t result;
    bool done = false;
    bool inside_call = true;
    bool early = false;
    stream->async_receive_chunk([&](io::http::body_chunk_t& chunk, const boost::system::error_code& error) {
        early = inside_call;
        result = {chunk.extensions, chunk.data.str(), chunk.trailers, error};
        done = true;
    });
    inside_call = false;
    if (!run_until(context, [&] { return done; }))
        result.error = boost::asio::error::timed_out;
    if (early)
        result.error = boost::asio::error::in_progress; // completed inside the call
    return result;
}

// Reads chunks until one comes with an error (that one included).
inline std::vector<chunk_result_t> read_chunks(boost::asio::io_context& context,
                                               const io::http::body_stream_t::pointer_t& stream)
{
    std::vector<chunk_result_t> chunks;
    do
        chunks.push_back(read_chunk(context, stream));
    while (!chunks.back().error && chunks.size() < 100000);
    return chunks;
}

// Splits bytes into raw reads of at most n bytes.
inline std::deque<scripted_stream_t::step_t> pieces(const std::string& bytes, std::size_t n)
{
    std::deque<scripted_stream_t::step_t> steps;
    for (std::size_t i = 0; i < bytes.size(); i += n)
        steps.push_back({bytes.substr(i, n), {}});
    return steps;
}

// Reads a plain stream to its end (bounded) and returns the bytes.
inline std::string read_all(boost::asio::io_context& context, const io::stream_t::pointer_t& stream,
                            boost::system::error_code* error = nullptr)
{
    std::string bytes;
    bool done = false;
    boost::system::error_code result;
    io::async_read_all(stream, [&](const orx::buffer_t& data, const boost::system::error_code& e) {
        bytes = data.str();
        result = e;
        done = true;
    });
    run_until(context, [&] { return done; });
    if (error)
        *error = done ? result : boost::asio::error::timed_out;
    return bytes;
}

} // namespace test
