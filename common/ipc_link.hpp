#pragma once

// A link that carries protobuf messages both ways over one connected local
// stream socket. Every frame is the body length as an unsigned 32-bit number
// in host byte order, then that many bytes of one serialized message. The
// link keeps one read outstanding, at most one write in flight, and gathers
// every message sent during a write into the next single write. What a
// message means and what to do on failure is the derived class's business:
// messages go to on_message, failures to on_error.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>

#include "common/error_category.hpp"

// Adapts a Boost.Asio stream socket to the link.
template <class Socket>
struct basic_socket_traits {
    static bool is_open(const Socket& socket) { return socket.is_open(); }

    template <class Handler>
    static void async_read(Socket& socket, boost::asio::mutable_buffer buffer, Handler&& handler)
    {
        boost::asio::async_read(socket, buffer, std::forward<Handler>(handler));
    }

    template <class Handler>
    static void async_write(Socket& socket, boost::asio::const_buffer buffer, Handler&& handler)
    {
        boost::asio::async_write(socket, buffer, std::forward<Handler>(handler));
    }

    // Throws boost::system::system_error with the context "close".
    static void close(Socket& socket) { socket.close(); }
};

template <class Socket, class Traits = basic_socket_traits<Socket>>
class cf_basic_ipc_link_t : private boost::noncopyable {
public:
    using socket_type = Socket;
    using traits_type = Traits;

    virtual ~cf_basic_ipc_link_t() = default;

    // Starts reading frames; call once the socket is connected or assigned.
    // Without an open socket it does nothing.
    void start_read();

    // Frames the message and queues it whole, starting a write when none is
    // in flight. Throws boost::system::system_error with the context
    // "async_send_message" and queues nothing when the message is larger
    // than max_message_size (EC_BAD_MESSAGE_SIZE), when the link has no open
    // socket (not_connected), or when an earlier write failed (that
    // failure's code: what was queued then is lost, and later messages
    // would never be written).
    void async_send_message(const google::protobuf::Message& message);

    // Closes the socket when there is one. Completions still outstanding
    // then return without calling anything.
    void close();

    // True while the socket exists and has a descriptor.
    bool is_open() const { return socket && Traits::is_open(*socket); }

protected:
    cf_basic_ipc_link_t() = default;

    // Called once per received frame with a stream over exactly its body.
    virtual void on_message(google::protobuf::io::ZeroCopyInputStream& body) = 0;
    // Called at most once in the link's life, with the first failure: a
    // socket error of a read or a write as it came (end of stream as
    // boost::asio::error::eof), or EC_BAD_MESSAGE_SIZE for a received length
    // of 0 or above max_message_size. Reading stops with it; cancellation
    // (operation_aborted) is never reported.
    virtual void on_error(const boost::system::error_code& ec) = 0;
    // The derived object's shared_from_this; outstanding operations hold it.
    virtual std::shared_ptr<cf_basic_ipc_link_t> shared_self() = 0;
    // A write of `bytes` bytes (one or more whole frames) starts.
    virtual void on_write_begin(std::size_t bytes) { (void)bytes; }
    virtual void on_write_end() {}
    // A completed write found nothing queued. The derived class may send
    // from here.
    virtual void on_output_drained() {}

    // Starts the next write, or reports that output has drained.
    void pump_output();

    // Largest message body accepted on receipt and on sending.
    std::uint32_t max_message_size = 0x4000000;
    std::shared_ptr<Socket> socket;

private:
    // Bytes that grow on demand and are not given back while the link
    // lives, so that steady traffic allocates nothing per message.
    class byte_array_t {
    public:
        char* data() { return storage_.get(); }
        std::size_t size() const { return size_; }

        void resize(std::size_t n, bool drop)
        {
            if (n > capacity_) {
                // Half as much again, held at the largest size rather than
                // wrapping around.
                const std::size_t half = capacity_ / 2;
                const std::size_t grown = capacity_ > SIZE_MAX - half ? SIZE_MAX : capacity_ + half;
                const std::size_t capacity = std::max(n, grown);
                std::unique_ptr<char[]> storage = std::make_unique_for_overwrite<char[]>(capacity);
                if (!drop && size_ != 0)
                    std::memcpy(storage.get(), storage_.get(), std::min(n, size_));
                storage_ = std::move(storage);
                capacity_ = capacity;
            }
            size_ = n;
        }

        void swap(byte_array_t& other) noexcept
        {
            std::swap(storage_, other.storage_);
            std::swap(capacity_, other.capacity_);
            std::swap(size_, other.size_);
        }

    private:
        std::unique_ptr<char[]> storage_;
        std::size_t capacity_ = 0;
        std::size_t size_ = 0;
    };

    static constexpr std::size_t length_size = sizeof(std::uint32_t);

    // The body stream takes an int size, so no limit may exceed INT_MAX.
    std::uint32_t message_limit() const { return std::min<std::uint32_t>(max_message_size, INT_MAX); }

    // False when a read's completion ends the cycle: the socket was closed
    // meanwhile (nothing is reported), or the read failed (reported).
    bool read_succeeded(const boost::system::error_code& ec);
    void handle_read_length(const boost::system::error_code& ec);
    void handle_read_body(const boost::system::error_code& ec);
    void handle_write(const boost::system::error_code& ec);
    void handle_error(const boost::system::error_code& ec);

    [[noreturn]] static void refuse_send(const boost::system::error_code& ec)
    {
        throw boost::system::system_error(ec, "async_send_message");
    }

    byte_array_t receive_;
    byte_array_t pending_;
    byte_array_t in_flight_;
    // Set when a write failed or was cancelled: output is dead for good.
    boost::system::error_code output_failure_;
    bool error_reported_ = false;
};

// The program's link: over a local stream socket on the event loop.
using cf_ipc_socket_t =
    boost::asio::basic_stream_socket<boost::asio::local::stream_protocol, boost::asio::any_io_executor>;
using cf_ipc_link_t = cf_basic_ipc_link_t<cf_ipc_socket_t, basic_socket_traits<cf_ipc_socket_t>>;

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::start_read()
{
    if (!is_open())
        return;
    receive_.resize(length_size, true);
    Traits::async_read(
        *socket, boost::asio::buffer(receive_.data(), length_size),
        [self = shared_self()](const boost::system::error_code& ec, std::size_t) { self->handle_read_length(ec); });
}

template <class Socket, class Traits>
bool cf_basic_ipc_link_t<Socket, Traits>::read_succeeded(const boost::system::error_code& ec)
{
    if (!is_open())
        return false;
    if (ec)
        handle_error(ec);
    return !ec;
}

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::handle_read_length(const boost::system::error_code& ec)
{
    if (!read_succeeded(ec))
        return;
    std::uint32_t n;
    std::memcpy(&n, receive_.data(), length_size);
    if (n == 0 || n > message_limit()) {
        handle_error(ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE));
        return;
    }
    receive_.resize(n, true);
    Traits::async_read(
        *socket, boost::asio::buffer(receive_.data(), n),
        [self = shared_self()](const boost::system::error_code& ec, std::size_t) { self->handle_read_body(ec); });
}

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::handle_read_body(const boost::system::error_code& ec)
{
    if (!read_succeeded(ec))
        return;
    {
        google::protobuf::io::ArrayInputStream body(receive_.data(), static_cast<int>(receive_.size()));
        on_message(body);
    }
    receive_.resize(0, true);
    if (is_open())
        start_read();
}

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::async_send_message(const google::protobuf::Message& message)
{
    if (output_failure_)
        refuse_send(output_failure_);
    if (!is_open())
        refuse_send(boost::asio::error::not_connected);
    const std::size_t n = message.ByteSizeLong();
    if (n > max_message_size)
        refuse_send(ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE));
    const std::size_t p = pending_.size();
    if (p > SIZE_MAX - length_size - n)
        throw std::bad_alloc();
    pending_.resize(p + length_size + n, false);
    const auto length = static_cast<std::uint32_t>(n);
    std::memcpy(pending_.data() + p, &length, length_size);
    message.SerializeWithCachedSizesToArray(reinterpret_cast<std::uint8_t*>(pending_.data() + p + length_size));
    pump_output();
}

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::pump_output()
{
    if (in_flight_.size() != 0 || output_failure_ || !is_open())
        return;
    if (pending_.size() == 0) {
        on_output_drained();
        return;
    }
    in_flight_.swap(pending_);
    on_write_begin(in_flight_.size());
    Traits::async_write(
        *socket, boost::asio::buffer(in_flight_.data(), in_flight_.size()),
        [self = shared_self()](const boost::system::error_code& ec, std::size_t) { self->handle_write(ec); });
}

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::handle_write(const boost::system::error_code& ec)
{
    if (!is_open())
        return;
    if (ec) {
        // Part of the frames may be out already, so the stream cannot be
        // resumed: drop what is queued and refuse further sends.
        output_failure_ = ec;
        in_flight_.resize(0, true);
        pending_.resize(0, true);
        handle_error(ec);
        return;
    }
    in_flight_.resize(0, true);
    on_write_end();
    pump_output();
}

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::handle_error(const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::operation_aborted || error_reported_)
        return;
    error_reported_ = true;
    on_error(ec);
}

template <class Socket, class Traits>
void cf_basic_ipc_link_t<Socket, Traits>::close()
{
    if (socket)
        Traits::close(*socket);
}
