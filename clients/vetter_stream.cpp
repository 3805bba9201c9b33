#include "clients/vetter_stream.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

#include "common/error_category.hpp"

namespace ic {

namespace {

// Gives the end chunk the trailers of the body that was sent.
io::http::body_stream_t::chunk_callback_t replay_trailers(const vetter_stream_t::buffer_t& buffer)
{
    return [buffer](io::http::body_chunk_t& chunk, const boost::system::error_code& status) {
        if (status == io::end_of_stream)
            chunk.trailers = buffer->trailers;
    };
}

// The pieces in one buffer, copied once; a single piece as it is.
orx::buffer_t join(const std::vector<orx::buffer_t>& pieces)
{
    if (pieces.size() == 1)
        return pieces.front();
    std::size_t size = 0;
    for (const auto& piece : pieces)
        size += piece.size();
    orx::buffer_t joined;
    joined.prepare(size);
    std::size_t at = 0;
    for (const auto& piece : pieces) {
        std::memcpy(joined.data() + at, piece.data(), piece.size());
        at += piece.size();
    }
    return joined;
}

} // namespace

std::shared_ptr<io::http::body_stream_t> vetter_stream_t::make(const boost::asio::any_io_executor& executor,
                                                               const connection_t& connection, unsigned job,
                                                               const buffer_t& buffer, bool more)
{
    auto stream = std::make_shared<vetter_stream_t>(executor, connection, job, buffer);
    if (more)
        return io::http::body_stream_t::make_chunked_encoder(stream, nullptr, false);
    return io::http::body_stream_t::make_chunked_encoder(stream, replay_trailers(buffer), true);
}

std::shared_ptr<io::http::body_stream_t>
vetter_stream_t::make_after_failure(const boost::asio::any_io_executor& executor, const connection_t& connection,
                                    unsigned job, const buffer_t& buffer,
                                    const std::shared_ptr<io::http::body_stream_t>& body)
{
    const bool rest = body && !buffer->body_ended;
    const orx::buffer_t unsent = std::exchange(buffer->unsent, {});
    if (!rest && unsent.empty())
        return make(executor, connection, job, buffer, false);
    io::http::body_stream_t::queue_t parts;
    parts.push(make(executor, connection, job, buffer, true));
    if (!unsent.empty())
        parts.push(io::http::body_stream_t::make_chunked_encoder(io::stream_t::make(executor, unsent),
                                                                 rest ? nullptr : replay_trailers(buffer), !rest));
    if (rest)
        parts.push(io::http::body_stream_t::make_chunked_closure(body));
    return io::http::body_stream_t::make(parts);
}

vetter_stream_t::vetter_stream_t(boost::asio::any_io_executor executor, connection_t connection, unsigned job,
                                 buffer_t buffer)
    : executor_(std::move(executor)), connection_(std::move(connection)), job_(job), buffer_(std::move(buffer))
{
}

vetter_stream_t::~vetter_stream_t()
{
    if (const auto connection = connection_.lock())
        connection->destroy_job(job_);
}

bool vetter_stream_t::vetter_usable() const
{
    const auto connection = connection_.lock();
    return connection && connection->usable();
}

void vetter_stream_t::post(const receive_handler_t& handler, const orx::buffer_t& data,
                           const boost::system::error_code& error)
{
    boost::asio::post(executor_, [handler, data, error] { handler(data, error); });
}

void vetter_stream_t::async_receive(receive_handler_t handler)
{
    vetter_connection_t::receive_buffer_t& buffer = *buffer_;
    // Vetter went away before it returned anything, while more was to come
    // from it: what it had received is in the kept bytes.
    if (!serving_kept_ && !returned_ && buffer.keeping && !buffer.end && !vetter_usable())
        serving_kept_ = true;
    if (serving_kept_)
        return serve_kept(handler);
    if (!buffer.buffered.empty()) {
        take_returned();
        return post(handler, join(std::exchange(buffer.buffered, {})), boost::system::error_code());
    }
    if (buffer.end)
        return post(handler, orx::buffer_t(), io::end_of_stream);
    const auto connection = connection_.lock();
    if (!connection)
        return post(handler, orx::buffer_t(), ox::make_error_code(ox::EC_LINK_DISCONNECTED));
    connection->request_data(
        job_, [self = shared_from_this(), handler](const orx::buffer_t& data, const boost::system::error_code& error) {
            self->on_returned(data, error, handler);
        });
}

void vetter_stream_t::on_returned(const orx::buffer_t& data, const boost::system::error_code& error,
                                  const receive_handler_t& handler)
{
    if (error && error != io::end_of_stream && !returned_ && buffer_->keeping) {
        serving_kept_ = true;
        return serve_kept(handler);
    }
    if (!data.empty())
        take_returned();
    handler(data, error);
}

void vetter_stream_t::take_returned()
{
    returned_ = true;
    buffer_->keeping = false;
    buffer_->kept.clear();
}

void vetter_stream_t::serve_kept(const receive_handler_t& handler)
{
    const auto& kept = buffer_->kept;
    if (next_kept_ == kept.size())
        return post(handler, orx::buffer_t(), io::end_of_stream);
    post(handler, kept[next_kept_++], boost::system::error_code());
}

} // namespace ic
