#include "io/stream.hpp"

#include <stdexcept>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "io/recycling_allocator.hpp"

namespace io {

const boost::system::error_code end_of_stream = boost::asio::error::eof;

namespace {

class data_stream_t : public stream_t, public std::enable_shared_from_this<data_stream_t> {
public:
    data_stream_t(const boost::asio::any_io_executor& executor, const orx::buffer_t& data)
        : executor_(executor), data_(data)
    {
    }

    boost::asio::any_io_executor get_executor() override { return executor_; }

    void async_receive(receive_handler_t handler) override
    {
        // The posted task holds the handler and the piece, not the stream:
        // a reader that lets go of the stream still gets its completion.
        if (!data_.empty()) {
            boost::asio::post(executor_, [handler, data = std::exchange(data_, orx::buffer_t())] {
                handler(data, boost::system::error_code());
            });
        } else {
            boost::asio::post(executor_, [handler] { handler(orx::buffer_t(), end_of_stream); });
        }
    }

    pointer_t self() override { return shared_from_this(); }

private:
    boost::asio::any_io_executor executor_;
    orx::buffer_t data_;
};

class chained_stream_t : public stream_t, public std::enable_shared_from_this<chained_stream_t> {
public:
    explicit chained_stream_t(const queue_t& streams) : executor_(streams.front()->get_executor()), streams_(streams) {}

    boost::asio::any_io_executor get_executor() override { return executor_; }

    void async_receive(receive_handler_t handler) override
    {
        if (streams_.empty()) {
            boost::asio::post(executor_, [handler] { handler(orx::buffer_t(), end_of_stream); });
            return;
        }
        auto keep = shared_from_this();
        // Collapse nested chains: an inner chain down to one stream is
        // replaced by that stream.
        streams_.front() = streams_.front()->self();
        streams_.front()->async_receive(
            [keep, handler](const orx::buffer_t& data, const boost::system::error_code& error) {
                if (error == end_of_stream) {
                    keep->streams_.pop();
                    keep->async_receive(handler);
                    return;
                }
                handler(data, error);
            });
    }

    pointer_t self() override
    {
        if (streams_.size() == 1)
            return streams_.front()->self();
        return shared_from_this();
    }

private:
    boost::asio::any_io_executor executor_;
    queue_t streams_;
};

} // namespace

stream_t::pointer_t stream_t::make(const boost::asio::any_io_executor& executor, const orx::buffer_t& data)
{
    return std::allocate_shared<data_stream_t>(recycling_allocator_t<data_stream_t>(), executor, data);
}

stream_t::pointer_t stream_t::make(boost::asio::io_context& context, const orx::buffer_t& data)
{
    return make(boost::asio::any_io_executor(context.get_executor()), data);
}

stream_t::pointer_t stream_t::make(const queue_t& streams)
{
    // The chain runs on its first stream's executor; without one there is
    // nothing to take it from.
    if (streams.empty())
        throw std::invalid_argument("empty stream chain");
    return std::allocate_shared<chained_stream_t>(recycling_allocator_t<chained_stream_t>(), streams)->self();
}

stream_t::pointer_t stream_t::make_concat(const pointer_t& first, const pointer_t& second)
{
    if (first && second) {
        queue_t streams;
        streams.push(first->self());
        streams.push(second->self());
        return make(streams);
    }
    if (first)
        return first->self();
    if (second)
        return second->self();
    return nullptr;
}

namespace {

// The stream, the output and the caller's handler live in one place shared
// by the steps: a step's handlers then hold one pointer, and the caller's
// handler, with everything it holds, is not copied at every piece.
struct copy_state_t {
    std::shared_ptr<stream_t> stream;
    std::shared_ptr<output_stream_t> output;
    completion_t handler;
};

void skip_step(const std::shared_ptr<copy_state_t>& state)
{
    state->stream->async_receive([state](const orx::buffer_t&, const boost::system::error_code& error) {
        if (!error) {
            skip_step(state);
            return;
        }
        state->handler(error == end_of_stream ? boost::system::error_code() : error);
    });
}

void send_step(const std::shared_ptr<copy_state_t>& state)
{
    state->stream->async_receive([state](const orx::buffer_t& data, const boost::system::error_code& error) {
        if (error) {
            state->handler(error == end_of_stream ? boost::system::error_code() : error);
            return;
        }
        if (data.empty()) {
            send_step(state);
            return;
        }
        state->output->async_send(data, [state](const boost::system::error_code& error) {
            if (error) {
                state->handler(error);
                return;
            }
            send_step(state);
        });
    });
}

} // namespace

void async_skip_all(const std::shared_ptr<stream_t>& stream, const completion_t& handler)
{
    skip_step(std::allocate_shared<copy_state_t>(recycling_allocator_t<copy_state_t>(),
                                                 copy_state_t{stream, nullptr, handler}));
}

void async_send_all(const std::shared_ptr<stream_t>& stream, const std::shared_ptr<output_stream_t>& output,
                    const completion_t& handler)
{
    pieces_t stored;
    if (stream->take_stored_pieces(stored)) {
        if (stored.empty())
            boost::asio::post(output->get_executor(), [handler] { handler({}); });
        else
            output->async_send_pieces(stored, handler);
        return;
    }
    send_step(std::allocate_shared<copy_state_t>(recycling_allocator_t<copy_state_t>(),
                                                 copy_state_t{stream, output, handler}));
}

namespace {

// The collected bytes live in one place shared by the steps, so that each
// append grows the buffer in place instead of copying it out of a handler's
// capture.
struct read_all_state_t {
    std::shared_ptr<stream_t> stream;
    read_all_handler_t handler;
    orx::buffer_t collected;
};

void read_all_step(const std::shared_ptr<read_all_state_t>& state)
{
    state->stream->async_receive([state](const orx::buffer_t& data, const boost::system::error_code& error) {
        if (error) {
            state->handler(state->collected, error == end_of_stream ? boost::system::error_code() : error);
            return;
        }
        state->collected.append(data);
        read_all_step(state);
    });
}

} // namespace

void async_read_all(const std::shared_ptr<stream_t>& stream, const read_all_handler_t& handler)
{
    read_all_step(std::allocate_shared<read_all_state_t>(recycling_allocator_t<read_all_state_t>(),
                                                         read_all_state_t{stream, handler, {}}));
}

} // namespace io
