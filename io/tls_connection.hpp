#pragma once

#include <chrono>
#include <memory>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/stream.hpp>

#include "io/connection.hpp"
#include "io/connection_impl.hpp"
#include "io/io_helper.hpp"

namespace io::detail {

// A connection whose bytes pass through TLS on the socket of a plain
// connection. It keeps the plain connection alive and hands it back after a
// TLS shutdown, so the socket can go on carrying plain bytes. Its time-outs
// are its own and start at 0, whatever the plain connection's are.
template <typename Plain>
class ssl_impl_t : public io_helper_t<ssl_impl_t<Plain>> {
    using helper_t = io_helper_t<ssl_impl_t<Plain>>;
    using socket_t = typename Plain::socket_t;

public:
    ssl_impl_t(const std::shared_ptr<Plain>& plain, boost::asio::ssl::context& context)
        : plain_(plain), tls_stream_(plain->socket(), context)
    {
    }

    // Members go in reverse order: the TLS state first, then the plain
    // connection, which closes the socket only if this was its last holder.
    ~ssl_impl_t() override = default;

    boost::asio::any_io_executor get_executor() override { return plain_->get_executor(); }

    void async_handshake(boost::asio::ssl::context&, boost::asio::ssl::stream_base::handshake_type,
                         const connection_handler_t& handler) override
    {
        post_unsupported(get_executor(), handler);
    }

    void async_shutdown(const connection_handler_t& handler) override
    {
        auto self = this->shared_from_this();
        tls_stream_.async_shutdown([self, handler](const boost::system::error_code& error) {
            // The peer may close the socket right after its close alert.
            if (!error || error == boost::asio::error::eof)
                handler(self->plain_, boost::system::error_code());
            else
                handler(nullptr, error);
        });
    }

    // A half-close cannot be expressed inside TLS.
    void shutdown_send(boost::system::error_code& error) override { error = unsupported_operation; }

    // Ends the shared socket without a TLS close alert.
    void close() override { plain_->close(); }

    void start_handshake(boost::asio::ssl::stream_base::handshake_type type, const connection_handler_t& handler)
    {
        auto self = this->shared_from_this();
        tls_stream_.async_handshake(type,
                                    [self, handler](const boost::system::error_code& error) { handler(self, error); });
    }

private:
    friend helper_t;
    boost::asio::ssl::stream<socket_t&>& receive_stream() noexcept { return tls_stream_; }
    boost::asio::ssl::stream<socket_t&>& send_stream() noexcept { return tls_stream_; }

    std::shared_ptr<Plain> plain_;
    boost::asio::ssl::stream<socket_t&> tls_stream_;
};

template <typename Socket>
void impl_t<Socket>::async_handshake(boost::asio::ssl::context& context,
                                     boost::asio::ssl::stream_base::handshake_type type,
                                     const connection_handler_t& handler)
{
    std::make_shared<ssl_impl_t<impl_t<Socket>>>(this->shared_from_this(), context)->start_handshake(type, handler);
}

} // namespace io::detail
