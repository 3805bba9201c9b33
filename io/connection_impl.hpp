#pragma once

#include <chrono>
#include <memory>
#include <utility>

#include <boost/asio/post.hpp>

#include "io/connection.hpp"
#include "io/io_helper.hpp"

namespace io::detail {

// Posts handler with an empty connection and unsupported_operation.
void post_unsupported(const boost::asio::any_io_executor& executor, const connection_handler_t& handler);

// A connection over a connected stream socket (TCP or local), shared with
// whoever made it.
template <typename Socket>
class impl_t : public io_helper_t<impl_t<Socket>> {
    using helper_t = io_helper_t<impl_t<Socket>>;

public:
    using socket_t = Socket;

    explicit impl_t(const std::shared_ptr<Socket>& socket) : socket_(socket) {}
    ~impl_t() override { close(); }

    boost::asio::any_io_executor get_executor() override { return socket_->get_executor(); }

    // Defined with the TLS connection it makes.
    void async_handshake(boost::asio::ssl::context& context, boost::asio::ssl::stream_base::handshake_type type,
                         const connection_handler_t& handler) override;

    void async_shutdown(const connection_handler_t& handler) override { post_unsupported(get_executor(), handler); }

    void shutdown_send(boost::system::error_code& error) override { socket_->shutdown(Socket::shutdown_send, error); }

    void close() override
    {
        boost::system::error_code ignored;
        socket_->shutdown(Socket::shutdown_both, ignored);
        socket_->close(ignored);
    }

    Socket& socket() { return *socket_; }

private:
    friend helper_t;
    Socket& receive_stream() noexcept { return *socket_; }
    Socket& send_stream() noexcept { return *socket_; }

    std::shared_ptr<Socket> socket_;
};

// A connection over two stream descriptors: receives read input, sends
// write output.
template <>
class impl_t<descriptor_t> : public io_helper_t<impl_t<descriptor_t>> {
    using helper_t = io_helper_t<impl_t<descriptor_t>>;

public:
    impl_t(const std::shared_ptr<descriptor_t>& input, const std::shared_ptr<descriptor_t>& output)
        : input_(input), output_(output)
    {
    }
    ~impl_t() override { close(); }

    boost::asio::any_io_executor get_executor() override { return input_->get_executor(); }

    void async_handshake(boost::asio::ssl::context&, boost::asio::ssl::stream_base::handshake_type,
                         const connection_handler_t& handler) override
    {
        post_unsupported(get_executor(), handler);
    }
    void async_shutdown(const connection_handler_t& handler) override { post_unsupported(get_executor(), handler); }

    // The sending half of a descriptor pair is its own descriptor: closing it
    // is the half-close.
    void shutdown_send(boost::system::error_code& error) override { output_->close(error); }

    void close() override
    {
        boost::system::error_code ignored;
        input_->close(ignored);
        output_->close(ignored);
    }

private:
    friend helper_t;
    descriptor_t& receive_stream() noexcept { return *input_; }
    descriptor_t& send_stream() noexcept { return *output_; }

    std::shared_ptr<descriptor_t> input_;
    std::shared_ptr<descriptor_t> output_;
};

using tcp_connection_t = impl_t<tcp_socket_t>;
using local_connection_t = impl_t<local_socket_t>;
using descriptor_connection_t = impl_t<descriptor_t>;

} // namespace io::detail
