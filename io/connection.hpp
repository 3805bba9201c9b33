#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/system/error_code.hpp>

#include "io/output_stream.hpp"
#include "io/stream.hpp"

namespace io {

class connection_t;

// Completion of everything that hands over a connection: accept, connect,
// TLS handshake and TLS shutdown. On failure the pointer is empty (the TLS
// handshake hands over its connection on failure too).
using connection_handler_t =
    std::function<void(const std::shared_ptr<connection_t>&, const boost::system::error_code&)>;

// What an operation that a connection does not offer reports, always posted:
// EOPNOTSUPP in the system category.
extern const boost::system::error_code unsupported_operation;

// One end of a byte connection, both a readable and a writable stream.
//
// One receive and one send may be outstanding at the same time. A receive
// completes with 1 to 65536 bytes (fewer while the connection's reads stay
// small), or with an empty buffer and an error
// (end_of_stream at the peer's end, operation_aborted when the connection
// was closed meanwhile). The buffer handed to a receive completion belongs to
// the connection: keep a copy or a slice of it (no bytes are copied, and a
// later receive never overwrites bytes that someone still sees). A receive
// on a socket or a descriptor pair waits for bytes without holding a receive
// block, so an idle connection costs little memory. A receive that ended
// without bytes (end_of_stream, a reset) and a send that failed are final
// for their direction: every later receive, or send, reports the same
// error, posted, until the connection is closed. A close ends a pending
// receive or send with operation_aborted, also when the send was between two
// of its writes; an operation started after the close fails with
// bad_descriptor.
//
// A non-zero receive or send time-out bounds each receive or send started
// after it was set: when it passes, the connection is closed and the
// operation completes with operation_aborted. A connection is closed when its
// last owner lets go of it.
class connection_t : public stream_t, public output_stream_t {
public:
    using pointer_t = std::shared_ptr<connection_t>;

    boost::asio::any_io_executor get_executor() override = 0;
    void async_receive(receive_handler_t handler) override = 0;
    stream_t::pointer_t self() override = 0;
    ~connection_t() override = default;

    // Wraps the connection in TLS with the given context and hands over the
    // TLS connection. Plain TCP and local connections only.
    virtual void async_handshake(boost::asio::ssl::context& context, boost::asio::ssl::stream_base::handshake_type type,
                                 const connection_handler_t& handler) = 0;
    // Ends TLS and hands back the plain connection underneath. TLS
    // connections only.
    virtual void async_shutdown(const connection_handler_t& handler) = 0;

    // 0 means no limit; a negative value is a limit that has already passed.
    virtual void set_receive_timeout(const std::chrono::nanoseconds& timeout) = 0;
    virtual void set_send_timeout(const std::chrono::nanoseconds& timeout) = 0;

    void async_send(const orx::buffer_t& data, send_handler_t handler, keep_t keep = nullptr) override = 0;
    // Writes the pieces with few system calls and without joining them.
    void async_send_pieces(const pieces_t& pieces, send_handler_t handler, keep_t keep = nullptr) override = 0;

    // Ends the sending direction: the peer sees the end of the stream while
    // receives go on. Never throws.
    virtual void shutdown_send(boost::system::error_code& error) = 0;
    // Ends the connection in both directions; pending operations complete
    // with operation_aborted. Never throws; may be called any number of times.
    virtual void close() = 0;
};

using tcp_socket_t = boost::asio::ip::tcp::socket;
using local_socket_t = boost::asio::local::stream_protocol::socket;
using descriptor_t = boost::asio::posix::stream_descriptor;

// Sets TCP_NODELAY so that small writes go out at once; throws
// boost::system::system_error ("set_option") when it cannot, and the socket
// then comes back closed.
std::shared_ptr<connection_t> make_connection(const std::shared_ptr<tcp_socket_t>& socket);
std::shared_ptr<connection_t> make_connection(const std::shared_ptr<local_socket_t>& socket);
// Reads from input, writes to output.
std::shared_ptr<connection_t> make_connection(const std::shared_ptr<descriptor_t>& input,
                                              const std::shared_ptr<descriptor_t>& output);

} // namespace io
