#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>
#include <boost/system/error_code.hpp>

#include "io/acceptor.hpp"
#include "io/connection.hpp"
#include "io/deadline.hpp"
#include "io/timer.hpp"
#include "protocol/icap_response.hpp"
#include "protocol/icap_server_connection.hpp"

namespace ic {

class inventory_t;

// +1 when the ICAP server accepts a connection, -1 when that connection
// leaves its query loop. It is connected and emitted on the event loop's
// thread only, so it takes no lock.
extern boost::signals2::signal_type<
    void(int), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type connection_count_signal;

// The ICAP listener: listens on the configured endpoint, accepts proxies and
// runs one query loop per connection.
class icap_server_t : private boost::noncopyable {
public:
    using acceptor_factory_t =
        std::function<std::shared_ptr<io::acceptor_t>(const std::shared_ptr<boost::asio::ip::tcp::acceptor>&)>;

    // What a failed accept calls for.
    enum class accept_retry_t {
        // One client's trouble (it gave up before it was taken, the network
        // failed it): the next accept starts at once.
        at_once,
        // Load or limits (descriptors, memory), or a socket that is not
        // listening: an Error record, and accepting rests for a moment
        // instead of spinning on an accept that fails at once again.
        after_pause,
        // The listening socket no longer works: the error ends the process.
        never,
    };

    explicit icap_server_t(inventory_t& inventory);
    ~icap_server_t();

    // Slot of the settings change: (re)opens the listener when the endpoint
    // changed. Throws ox::EC_BAD_CONFIG, or need_restart_t when the port
    // can no longer be bound after the run-as user switch.
    void listen();

    // How long a connection may wait for its next query before it is
    // closed: 90 s in the daemon; tests shorten it.
    const std::chrono::nanoseconds& query_wait() const { return query_wait_; }
    void set_query_wait(const std::chrono::nanoseconds& timeout) { query_wait_ = timeout; }
    // How long a half-closed connection (after an answer that closes it) is
    // still read before it is closed, whatever the client sends: 90 s in
    // the daemon; tests shorten it.
    const std::chrono::nanoseconds& half_close_wait() const { return half_close_wait_; }
    void set_half_close_wait(const std::chrono::nanoseconds& timeout) { half_close_wait_ = timeout; }

    // One accepted connection in its query loop.
    struct session_t : std::enable_shared_from_this<session_t> {
        std::shared_ptr<io::connection_t> connection;
        std::shared_ptr<io::icap::server_connection_t> server_connection;
        // Bounds the wait for each next query; one for all the queries of
        // the connection.
        io::deadline_t::pointer_t query_deadline;
        // Counts the connection out when the session ends.
        std::shared_ptr<void> guard;
        // The answer being written closes the connection once it is out.
        bool close_after_send = false;
    };

    void accept_next_connection();
    void accept_next_query(std::shared_ptr<session_t> session);
    // Writes the answer to the query on the session's connection, then
    // waits for the next query or closes the connection as the answer says.
    // Without early answers the rest of the query body is read first; a
    // body that turns out malformed then gets 400 "Bad request" with
    // "Connection: close" in place of the answer.
    void send_response(const std::shared_ptr<session_t>& session,
                       const std::shared_ptr<const io::icap::request_t>& request,
                       const std::shared_ptr<io::icap::response_t>& response);
    void close_connection(const std::shared_ptr<io::connection_t>& connection,
                          const std::shared_ptr<io::icap::server_connection_t>& server_connection);

    static accept_retry_t accept_retry(const boost::system::error_code& error);

    // Wraps every new listening socket; tests put their own acceptor in
    // front of the real one.
    acceptor_factory_t make_acceptor = [](const std::shared_ptr<boost::asio::ip::tcp::acceptor>& socket) {
        return io::acceptor_t::make(socket);
    };

private:
    void on_accept(const std::shared_ptr<io::acceptor_t>& acceptor, const std::shared_ptr<io::connection_t>& connection,
                   const boost::system::error_code& error);
    void resume_accept_later(const std::shared_ptr<io::acceptor_t>& acceptor);
    // Whether accepting goes on at once after the failed accept; starts the
    // pause or throws otherwise.
    bool accept_goes_on(const std::shared_ptr<io::acceptor_t>& acceptor, const boost::system::error_code& error);
    void serve(const std::shared_ptr<io::connection_t>& connection);
    void write_response(const std::shared_ptr<session_t>& session,
                        const std::shared_ptr<const io::icap::request_t>& request,
                        const std::shared_ptr<io::icap::response_t>& response);
    // After an answer was written or failed; close tells whether the answer
    // actually written (the one given, or the 400 that replaced it) closes
    // the connection.
    void on_sent(session_t& session, bool close, const boost::system::error_code& error);

    inventory_t& inventory_;
    std::chrono::nanoseconds query_wait_;
    std::chrono::nanoseconds half_close_wait_;
    boost::signals2::scoped_connection settings_slot_;
    std::shared_ptr<io::acceptor_t> acceptor_;
    // Gives memory freed after a spike back to the system.
    std::shared_ptr<io::timer_t> trim_timer_;
    // The connections in their query loops; shared with each connection's
    // guard, which may outlive the server.
    std::shared_ptr<long> open_connections_ = std::make_shared<long>(0);
    // The event loop's descriptor records have been made in one stretch.
    bool records_reserved_ = false;
    boost::asio::ip::tcp::endpoint endpoint_;
};

} // namespace ic
