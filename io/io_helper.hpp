#pragma once

#include <chrono>
#include <memory>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
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
    void set_receive_timeout(const std::chrono::nanoseconds& timeout) override { receive_timeout_ = timeout; }
    void set_send_timeout(const std::chrono::nanoseconds& timeout) override { send_timeout_ = timeout; }

protected:
    // Each receive and send takes the time-out in force when it starts.
    template <typename Stream>
    void async_receive(Stream& stream, const stream_t::receive_handler_t& handler)
    {
        auto self = this->shared_from_this();
        // A read that ended without bytes (the peer's end, a reset) leaves
        // the stream in its final state: asking again cannot bring data. It
        // is not only useless: the event loop has already consumed the one
        // readiness event that state produces, so a further read would
        // never complete. Every later receive gets the same outcome instead,
        // until the connection is closed (then the read fails at once with
        // bad_descriptor).
        if (final_error_ && lowest_layer_open(stream)) {
            boost::asio::post(stream.get_executor(),
                              [self, handler, error = final_error_] { handler(orx::buffer_t(), error); });
            return;
        }
        // prepare() gives a block no one else sees: bytes handed out by an
        // earlier receive and still held stay intact, and a block let go of
        // is reused.
        buffer_.prepare(receive_size);
        auto timer = make_guard(stream, receive_timeout_);
        stream.async_read_some(boost::asio::buffer(buffer_.data(), buffer_.size()),
                               [this, self, timer, handler,
                                open = lowest_layer_open(stream)](boost::system::error_code error, std::size_t n) {
                                   if (timer)
                                       timer->cancel();
                                   error = ended_by_close(error, open);
                                   buffer_.resize(n);
                                   if (error && n == 0)
                                       final_error_ = error;
                                   handler(buffer_, error);
                               });
    }

    template <typename Stream>
    void async_send(Stream& stream, const orx::buffer_t& data, const output_stream_t::send_handler_t& handler)
    {
        auto self = this->shared_from_this();
        auto executor = stream.get_executor();
        // A failed write leaves the connection unable to send (a reset, a
        // broken pipe), and as with a final read the event loop may never
        // try a later write. Later sends get the same error, until the
        // connection is closed (then they fail at once with bad_descriptor).
        if (send_error_ && lowest_layer_open(stream)) {
            boost::asio::post(executor, [self, handler, error = send_error_] { handler(error); });
            return;
        }
        auto timer = make_guard(stream, send_timeout_);
        // The pending write holds its own reference to the bytes, so the
        // caller may let go of its buffer.
        boost::asio::async_write(stream, boost::asio::buffer(data.data(), data.size()),
                                 [this, self, timer, handler, data, executor,
                                  open = lowest_layer_open(stream)](boost::system::error_code error, std::size_t) {
                                     if (timer)
                                         timer->cancel();
                                     error = ended_by_close(error, open);
                                     if (error)
                                         send_error_ = error;
                                     boost::asio::post(executor, [handler, error] { handler(error); });
                                 });
    }

private:
    // A write of a whole buffer, and a TLS read, are several operations on
    // the socket one after another. A close between two of them makes the
    // next one fail with bad_descriptor; for the caller it is still the
    // close that ended its pending operation, reported as operation_aborted.
    // An operation started on a closed connection keeps bad_descriptor.
    static boost::system::error_code ended_by_close(const boost::system::error_code& error, bool open_at_start)
    {
        if (open_at_start && error == boost::asio::error::bad_descriptor)
            return boost::asio::error::operation_aborted;
        return error;
    }

    template <typename Stream>
    static bool lowest_layer_open(Stream& stream)
    {
        if constexpr (requires { stream.lowest_layer(); })
            return stream.lowest_layer().is_open();
        else
            return stream.is_open();
    }

    template <typename Stream>
    timer_t::pointer_t make_guard(Stream& stream, const std::chrono::nanoseconds& timeout)
    {
        if (timeout == std::chrono::nanoseconds::zero())
            return nullptr;
        auto self = this->shared_from_this();
        return timer_t::make(
            boost::asio::any_io_executor(stream.get_executor()), timeout,
            [self] { static_cast<connection_t&>(*self).close(); }, timer_t::one_shot);
    }

    orx::buffer_t buffer_;
    // The error of the read that ended without bytes; success until then.
    boost::system::error_code final_error_;
    // The error of the first failed send; success until then.
    boost::system::error_code send_error_;
    std::chrono::nanoseconds receive_timeout_{0};
    std::chrono::nanoseconds send_timeout_{0};
};

} // namespace io::detail
