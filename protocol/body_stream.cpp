#include "protocol/body_stream.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <limits>
#include <utility>

#include "io/recycling_allocator.hpp"
#include "protocol/protocol_error.hpp"
#include "protocol/raw_body_stream.hpp"

namespace io::http {

namespace {

constexpr std::size_t max_piece = 65535;

// A replay of a stored body; reading removes the chunks from the list.
class replay_stream_t : public body_stream_t, public std::enable_shared_from_this<replay_stream_t> {
public:
    replay_stream_t(boost::asio::any_io_executor executor, std::shared_ptr<body_t> body)
        : executor_(std::move(executor)), body_(body ? std::move(body) : std::make_shared<body_t>())
    {
    }

    boost::asio::any_io_executor get_executor() override { return executor_; }
    io::stream_t::pointer_t self() override { return shared_from_this(); }
    io::stream_t::pointer_t release() override { return self(); }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (body_->empty())
            return post_end(handler, io::end_of_stream);
        boost::asio::post(executor_, [self = shared_from_this(), handler] {
            if (self->body_->empty()) {
                body_chunk_t chunk;
                return handler(chunk, io::end_of_stream);
            }
            body_chunk_t& chunk = self->body_->front();
            handler(chunk, chunk.data.empty() ? io::end_of_stream : boost::system::error_code());
            self->body_->pop_front();
        });
    }

    bool take_stored_pieces(io::pieces_t& pieces) override
    {
        for (const body_chunk_t& chunk : *body_) {
            if (chunk.data.empty())
                break;
            pieces.push_back(chunk.data);
        }
        body_->clear();
        return true;
    }

    bool take_stored_chunks(body_t& chunks) override
    {
        chunks.splice(chunks.end(), *body_);
        return true;
    }

private:
    boost::asio::any_io_executor executor_;
    std::shared_ptr<body_t> body_;
};

// Several bodies read one after another.
class chained_stream_t : public body_stream_t, public std::enable_shared_from_this<chained_stream_t> {
public:
    explicit chained_stream_t(queue_t streams)
        : executor_(streams.front()->get_executor()), streams_(std::move(streams))
    {
    }

    boost::asio::any_io_executor get_executor() override { return executor_; }
    io::stream_t::pointer_t self() override
    {
        return streams_.size() == 1 ? streams_.front()->self() : shared_from_this();
    }
    io::stream_t::pointer_t release() override { return self(); }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (streams_.empty())
            return post_end(handler, io::end_of_stream);
        // A nested chain that is down to one body is read directly.
        if (auto inner = std::dynamic_pointer_cast<body_stream_t>(streams_.front()->self()))
            streams_.front() = std::move(inner);
        streams_.front()->async_receive_chunk(
            [self = shared_from_this(), handler](body_chunk_t& chunk, const boost::system::error_code& error) {
                if (error != io::end_of_stream)
                    return handler(chunk, error);
                self->streams_.pop();
                self->async_receive_chunk(handler);
            });
    }

private:
    boost::asio::any_io_executor executor_;
    queue_t streams_;
};

// Raw bytes as a body: up to the end of the raw stream (direct) or the next
// remaining bytes (fixed size).
class raw_body_stream_t : public raw_body_stream_base_t, public std::enable_shared_from_this<raw_body_stream_t> {
public:
    static constexpr std::int64_t unbounded = -1;

    raw_body_stream_t(io::stream_t::pointer_t stream, std::int64_t remaining)
        : raw_body_stream_base_t(std::move(stream)), remaining_(remaining)
    {
    }

    io::stream_t::pointer_t self() override { return shared_from_this(); }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (remaining_ == 0)
            return post_end(handler, io::end_of_stream);
        if (!pending_.empty()) {
            boost::asio::post(get_executor(), [self = shared_from_this(), handler] { self->deliver(handler); });
            return;
        }
        read(handler);
    }

private:
    void read(const chunk_handler_t& handler)
    {
        read_raw(shared_from_this(), [handler](raw_body_stream_t& self, const boost::system::error_code& error) {
            self.error_ = error;
            self.deliver(handler);
        });
    }

    void deliver(const chunk_handler_t& handler)
    {
        std::size_t n = std::min(pending_.size(), max_piece);
        if (remaining_ != unbounded)
            n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), remaining_));
        body_chunk_t chunk;
        chunk.data = pending_.head(n);
        pending_ = pending_.tail(pending_.size() - n);
        if (remaining_ != unbounded)
            remaining_ -= static_cast<std::int64_t>(n);
        boost::system::error_code error;
        if (pending_.empty() || remaining_ == 0) {
            if (error_ == io::end_of_stream && remaining_ > 0)
                error_ = io::protocol_error;
            error = error_;
        }
        handler(chunk, error);
    }

    std::int64_t remaining_;
    boost::system::error_code error_;
};

// A body without bytes in front of a raw stream that stays untouched.
class empty_stream_t : public body_stream_t, public std::enable_shared_from_this<empty_stream_t> {
public:
    explicit empty_stream_t(io::stream_t::pointer_t stream) : stream_(std::move(stream)) {}

    boost::asio::any_io_executor get_executor() override { return stream_->get_executor(); }
    io::stream_t::pointer_t self() override { return shared_from_this(); }
    io::stream_t::pointer_t release() override { return stream_->self(); }
    bool empty_body() const override { return true; }
    void async_receive_chunk(const chunk_handler_t& handler) override { post_end(handler, io::end_of_stream); }

private:
    io::stream_t::pointer_t stream_;
};

} // namespace

void body_stream_t::post_end(const chunk_handler_t& handler, const boost::system::error_code& error)
{
    boost::asio::post(get_executor(), [handler, error] {
        body_chunk_t chunk;
        handler(chunk, error);
    });
}

void body_stream_t::async_receive(receive_handler_t handler)
{
    async_receive_chunk(
        [handler](body_chunk_t& chunk, const boost::system::error_code& error) { handler(chunk.data, error); });
}

body_stream_t::pointer_t body_stream_t::make(const boost::asio::any_io_executor& executor,
                                             const std::shared_ptr<body_t>& body)
{
    return std::allocate_shared<replay_stream_t>(io::recycling_allocator_t<replay_stream_t>(), executor, body);
}

body_stream_t::pointer_t body_stream_t::make(boost::asio::io_context& context, const std::shared_ptr<body_t>& body)
{
    return make(context.get_executor(), body);
}

body_stream_t::pointer_t body_stream_t::make(const queue_t& streams)
{
    return std::allocate_shared<chained_stream_t>(io::recycling_allocator_t<chained_stream_t>(), streams);
}

body_stream_t::pointer_t body_stream_t::make_concat(const pointer_t& first, const pointer_t& second)
{
    if (first && second) {
        queue_t streams;
        streams.push(first);
        streams.push(second);
        return make(streams);
    }
    return first ? first : second;
}

body_stream_t::pointer_t body_stream_t::make_direct(const io::stream_t::pointer_t& stream)
{
    return std::allocate_shared<raw_body_stream_t>(io::recycling_allocator_t<raw_body_stream_t>(), stream,
                                                   raw_body_stream_t::unbounded);
}

body_stream_t::pointer_t body_stream_t::make_empty(const io::stream_t::pointer_t& stream)
{
    return std::allocate_shared<empty_stream_t>(io::recycling_allocator_t<empty_stream_t>(), stream);
}

body_stream_t::pointer_t body_stream_t::make_empty(const boost::asio::any_io_executor& executor)
{
    return make_empty(io::stream_t::make(executor, orx::buffer_t()));
}

body_stream_t::pointer_t body_stream_t::make_empty(boost::asio::io_context& context)
{
    return make_empty(context.get_executor());
}

body_stream_t::pointer_t body_stream_t::make_fixed_size(const io::stream_t::pointer_t& stream, std::int64_t length)
{
    return std::allocate_shared<raw_body_stream_t>(io::recycling_allocator_t<raw_body_stream_t>(), stream,
                                                   std::max<std::int64_t>(length, 0));
}

body_stream_t::pointer_t body_stream_t::make_for_receive(const io::stream_t::pointer_t& stream,
                                                         const param_map_t& fields)
{
    if (fields.is_chunked())
        return make_chunked_decoder(stream);
    std::int64_t const length = fields.content_length();
    return length < 0 ? make_direct(stream) : make_fixed_size(stream, length);
}

body_stream_t::pointer_t body_stream_t::make_for_send(const io::stream_t::pointer_t& stream, const param_map_t& fields,
                                                      const chunk_callback_t& callback)
{
    if (fields.is_chunked())
        return make_chunked_encoder(stream, callback, true);
    std::int64_t const length = fields.content_length();
    return length < 0 ? make_direct(stream) : make_fixed_size(stream, length);
}

io::stream_t::pointer_t put_back(const io::stream_t::pointer_t& stream, const orx::buffer_t& pending)
{
    if (pending.empty())
        return stream->self();
    return io::stream_t::make_concat(io::stream_t::make(stream->get_executor(), pending), stream)->self();
}

namespace {

// The stream, the collected body and the caller's handler live in one
// place shared by the steps, so that the caller's handler, with everything
// it holds, is not copied at every chunk.
struct read_body_state_t {
    body_stream_t::pointer_t stream;
    std::shared_ptr<body_t> body;
    read_body_handler_t handler;
};

void read_body_step(const std::shared_ptr<read_body_state_t>& state)
{
    state->stream->async_receive_chunk([state](body_chunk_t& chunk, const boost::system::error_code& error) {
        if (error && error != io::end_of_stream)
            return state->handler(state->body, error);
        state->body->push_back(std::move(chunk));
        if (error)
            return state->handler(state->body, boost::system::error_code());
        // What the last read brought beyond this chunk, the end above all,
        // is taken without further turns of the loop: one turn per read,
        // not one per chunk.
        if (state->stream->take_ready(*state->body))
            return state->handler(state->body, boost::system::error_code());
        read_body_step(state);
    });
}

} // namespace

void async_read_body(const body_stream_t::pointer_t& stream, const read_body_handler_t& handler)
{
    async_read_body(stream, std::allocate_shared<body_t>(io::recycling_allocator_t<body_t>()), handler);
}

void async_read_body(const body_stream_t::pointer_t& stream, const std::shared_ptr<body_t>& body,
                     const read_body_handler_t& handler)
{
    read_body_step(std::allocate_shared<read_body_state_t>(io::recycling_allocator_t<read_body_state_t>(),
                                                           read_body_state_t{stream, body, handler}));
}

} // namespace io::http
