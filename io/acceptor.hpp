#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include "io/connection.hpp"

namespace io {

// A listening socket that hands out one accepted connection per
// async_accept. TCP connections get TCP_NODELAY; an accepted socket on which
// it cannot be set is dropped and the accept goes on waiting for the next
// client.
class acceptor_t {
public:
    using pointer_t = std::shared_ptr<acceptor_t>;

    virtual boost::asio::any_io_executor get_executor() = 0;
    // Completes once: with a new connection, or with an empty pointer and the
    // error (operation_aborted after close).
    virtual void async_accept(const connection_handler_t& handler) = 0;
    // Takes a connection that is already waiting, without waiting for one:
    // the connection, or an empty pointer and the error (would_block when
    // no client is waiting). A listener under load calls it after each
    // accept, so that a burst of clients is taken in one turn of the loop
    // rather than one per turn. Clients dropped as async_accept drops them
    // are skipped. This base takes none: always would_block.
    virtual std::shared_ptr<connection_t> accept_waiting(boost::system::error_code& error);
    // Closes the listening socket; never throws.
    virtual void close() = 0;
    virtual ~acceptor_t() = default;

    // Wrap a socket that is already open, bound and listening; set nothing.
    static pointer_t make(const std::shared_ptr<boost::asio::ip::tcp::acceptor>& acceptor);
    static pointer_t make(const std::shared_ptr<boost::asio::local::stream_protocol::acceptor>& acceptor);
};

using listen_handler_t = std::function<void(const std::shared_ptr<acceptor_t>&, const boost::system::error_code&)>;

// Listens (SO_REUSEADDR, backlog 128) on the first address that host and port
// resolve to, within timeout (0: no limit).
void async_listen(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                  const std::chrono::nanoseconds& timeout, const listen_handler_t& handler);
void async_listen(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                  const listen_handler_t& handler);
// Listens on the any-address of the protocol's family.
void async_listen(const boost::asio::any_io_executor& executor, const boost::asio::ip::tcp& protocol,
                  unsigned short port, const listen_handler_t& handler);
// Listens on a local stream socket bound to path. A path longer than 107
// bytes throws boost::system::system_error (ENAMETOOLONG) from the call; an
// existing file at path is left alone and makes the bind fail.
void async_listen(const boost::asio::any_io_executor& executor, const std::string& path,
                  const listen_handler_t& handler);

void async_listen(boost::asio::io_context& context, const std::string& host, unsigned short port,
                  const std::chrono::nanoseconds& timeout, const listen_handler_t& handler);
void async_listen(boost::asio::io_context& context, const std::string& host, unsigned short port,
                  const listen_handler_t& handler);
void async_listen(boost::asio::io_context& context, const boost::asio::ip::tcp& protocol, unsigned short port,
                  const listen_handler_t& handler);
void async_listen(boost::asio::io_context& context, const std::string& path, const listen_handler_t& handler);

} // namespace io
