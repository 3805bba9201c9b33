#pragma once

#include <chrono>
#include <memory>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "common/buffer.hpp"
#include "io/connection.hpp"
#include "io/timer.hpp"

namespace io::detail {

// The common part of every connection implementation: the receive buffer,
// the receive and send time-outs, and receives and sends each optionally
// bounded by its own timer whose expiry closes the whole connection. Impl
// derives from this and passes its stream to async_receive and async_send.
template <typename Impl>
class io_helper_t : public connection_t, public std::enable_shared_from_this<Impl> {
public:
    static constexpr std::size_t receive_size = 8192;

    stream_t::pointer_t self() override { return this->shared_from_this(); }

    // Apply to the operations started afterwards.
    void set_receive_timeout(const std::chrono::nanoseconds& timeout) override {
        receive_timeout_ = timeout;
    }
    void set_send_timeout(const std::chrono::nanoseconds& timeout) override {
        send_timeout_ = timeout;
    }

protected:
    // Each receive and send takes the time-out in force when it starts.
    template <typename Stream>
    void async_receive(Stream& stream, const stream_t::receive_handler_t& handler) {
        auto self = this->shared_from_this();
        // Once the peer's end was seen, the end is all there is. Asking the
        // socket again is not only useless: the event loop has already
        // consumed the one readiness event the end produces, so a further
        // read at the end may never complete.
        if (at_end_ && lowest_layer_open(stream)) {
            boost::asio::post(stream.get_executor(),
                              [self, handler] { handler(orx::buffer_t(), end_of_stream); });
            return;
        }
        // prepare() gives a block no one else sees: bytes handed out by an
        // earlier receive and still held stay intact, and a block let go of
        // is reused.
        buffer_.prepare(receive_size);
        auto timer = make_guard(stream, receive_timeout_);
        stream.async_read_some(
            boost::asio::buffer(buffer_.data(), buffer_.size()),
            [this, self, timer, handler](const boost::system::error_code& error, std::size_t n) {
                if (timer)
                    timer->cancel();
                buffer_.resize(n);
                if (error == end_of_stream)
                    at_end_ = true;
                handler(buffer_, error);
            });
    }

    template <typename Stream>
    void async_send(Stream& stream, const orx::buffer_t& data,
                    const output_stream_t::send_handler_t& handler) {
        auto self = this->shared_from_this();
        auto timer = make_guard(stream, send_timeout_);
        auto executor = stream.get_executor();
        // The pending write holds its own reference to the bytes, so the
        // caller may let go of its buffer.
        boost::asio::async_write(
            stream, boost::asio::buffer(data.data(), data.size()),
            [self, timer, handler, data, executor](const boost::system::error_code& error,
                                                   std::size_t) {
                if (timer)
                    timer->cancel();
                boost::asio::post(executor, [handler, error] { handler(error); });
            });
    }

private:
    template <typename Stream>
    static bool lowest_layer_open(Stream& stream) {
        if constexpr (requires { stream.lowest_layer(); })
            return stream.lowest_layer().is_open();
        else
            return stream.is_open();
    }

    template <typename Stream>
    timer_t::pointer_t make_guard(Stream& stream, const std::chrono::nanoseconds& timeout) {
        if (timeout == std::chrono::nanoseconds::zero())
            return nullptr;
        auto self = this->shared_from_this();
        return timer_t::make(
            boost::asio::any_io_executor(stream.get_executor()), timeout,
            [self] { static_cast<connection_t&>(*self).close(); }, timer_t::one_shot);
    }

    orx::buffer_t buffer_;
    bool at_end_ = false;
    std::chrono::nanoseconds receive_timeout_{0};
    std::chrono::nanoseconds send_timeout_{0};
};

}  // namespace io::detail
