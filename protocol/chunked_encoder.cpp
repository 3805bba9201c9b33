#include <boost/asio/post.hpp>

#include <sstream>

#include "protocol/body_stream.hpp"

namespace io::http {

namespace {

// One chunk in chunked coding: size, extension, data; an empty one is the
// terminating chunk with its trailers.
void append_encoded(orx::buffer_t& out, const body_chunk_t& chunk)
{
    std::ostringstream head;
    head << std::hex << chunk.data.size();
    if (!chunk.extensions.empty()) {
        head << "; ";
        write_head_text(head, chunk.extensions);
    }
    head << "\r\n";
    out.append(head.str());
    out.append(chunk.data.data(), chunk.data.size());
    std::ostringstream tail;
    if (chunk.data.empty())
        tail << chunk.trailers;
    tail << "\r\n";
    out.append(tail.str());
}

// Frames each raw read as one chunk; the raw stream's end becomes the
// terminating chunk (left out without write_last_chunk).
class chunked_encoder_t : public body_stream_t, public std::enable_shared_from_this<chunked_encoder_t> {
public:
    chunked_encoder_t(io::stream_t::pointer_t stream, chunk_callback_t callback, bool write_last_chunk)
        : stream_(std::move(stream)), callback_(std::move(callback)), write_last_chunk_(write_last_chunk)
    {
    }

    boost::asio::any_io_executor get_executor() override { return stream_->get_executor(); }
    io::stream_t::pointer_t self() override { return shared_from_this(); }
    io::stream_t::pointer_t release() override { return stream_->self(); }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (done_)
            return post_end(handler, io::end_of_stream);
        stream_->async_receive(
            [self = shared_from_this(), handler](const orx::buffer_t& data, const boost::system::error_code& error) {
                self->encode(handler, data, error);
            });
    }

private:
    void encode(const chunk_handler_t& handler, const orx::buffer_t& data, const boost::system::error_code& error)
    {
        if (data.empty() && !error)
            return async_receive_chunk(handler);
        if (error && error != io::end_of_stream) {
            body_chunk_t chunk;
            return handler(chunk, error);
        }
        // Bytes that come together with the end are a chunk of their own;
        // the end follows on the next read.
        boost::system::error_code const status = data.empty() ? error : boost::system::error_code();
        body_chunk_t chunk;
        chunk.data = data;
        if (callback_)
            callback_(chunk, status);
        if (status && !write_last_chunk_) {
            done_ = true;
            body_chunk_t end;
            return handler(end, io::end_of_stream);
        }
        body_chunk_t encoded;
        append_encoded(encoded.data, chunk);
        if (chunk.data.empty())
            done_ = true;
        handler(encoded, {});
    }

    io::stream_t::pointer_t stream_;
    chunk_callback_t callback_;
    bool done_ = false;
    bool write_last_chunk_;
};

// The io::stream_t view of a body stream that remembers the last chunk read,
// so that the encoder on top can give each chunk its source's extension
// and trailers.
class closure_t : public io::stream_t, public std::enable_shared_from_this<closure_t> {
public:
    explicit closure_t(body_stream_t::pointer_t source) : source_(std::move(source)) {}

    boost::asio::any_io_executor get_executor() override { return source_->get_executor(); }
    io::stream_t::pointer_t self() override { return shared_from_this(); }

    void async_receive(const receive_handler_t& handler) override
    {
        source_->async_receive_chunk(
            [self = shared_from_this(), handler](body_chunk_t& chunk, const boost::system::error_code& error) {
                self->last_ = chunk;
                handler(chunk.data, error);
            });
    }

    const body_chunk_t& last() const noexcept { return last_; }

private:
    body_stream_t::pointer_t source_;
    body_chunk_t last_;
};

} // namespace

body_stream_t::pointer_t body_stream_t::make_chunked_encoder(const io::stream_t::pointer_t& stream,
                                                             const chunk_callback_t& callback, bool write_last_chunk)
{
    return std::make_shared<chunked_encoder_t>(stream, callback, write_last_chunk);
}

body_stream_t::pointer_t body_stream_t::make_chunked_encoding(const boost::asio::any_io_executor& executor,
                                                              const body_t& body)
{
    // Room for the data and the framing of every chunk, so that the bytes
    // are copied once.
    std::size_t size = 0;
    for (const body_chunk_t& chunk : body)
        size += chunk.data.size() + chunk.extensions.size() + 32;
    orx::buffer_t encoded(size);
    encoded.resize(0);
    // A replay ends at its first chunk without data, or after its last.
    body_chunk_t end;
    for (const body_chunk_t& chunk : body) {
        if (chunk.data.empty()) {
            end = chunk;
            break;
        }
        append_encoded(encoded, chunk);
    }
    append_encoded(encoded, end);
    const auto whole = std::make_shared<body_t>();
    whole->push_back(body_chunk_t{{}, std::move(encoded), {}});
    return make(executor, whole);
}

body_stream_t::pointer_t body_stream_t::make_chunked_closure(const pointer_t& source)
{
    auto closure = std::make_shared<closure_t>(source);
    return make_chunked_encoder(
        closure,
        [closure](body_chunk_t& chunk, const boost::system::error_code&) {
            chunk.extensions = closure->last().extensions;
            chunk.trailers = closure->last().trailers;
        },
        true);
}

} // namespace io::http
