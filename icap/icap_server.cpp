#include "icap/icap_server.hpp"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "app/core/need_restart.hpp"
#include "common/log.hpp"
#include "common/what.hpp"
#include "icap/icap_handler.hpp"
#include "io/stream.hpp"
#include "io/timer.hpp"
#include "protocol/protocol_error.hpp"
#include "schemas/error.pb.h"

namespace ic {

boost::signals2::signal_type<void(int), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type
    connection_count_signal;

namespace {

// The system's largest listen queue: a burst of clients waits there rather
// than being refused while the loop is busy.
constexpr int listen_backlog = boost::asio::socket_base::max_listen_connections;
// Connections already waiting that one completed accept takes along before
// the next asynchronous accept, so that a busy loop takes clients in
// batches while one turn still serves the queries of the others.
constexpr int accept_batch = 64;
constexpr std::chrono::seconds io_timeout(900);
constexpr std::chrono::seconds request_timeout(90);
constexpr std::chrono::seconds half_close_timeout(90);
// How long accepting rests after running out of descriptors or memory, so
// that a process at its limits does not spin on the failing accept.
constexpr std::chrono::milliseconds accept_pause(500);

// The allocator keeps freed memory for reuse, in the middle of its heap
// too, so a spike (many clients at once, a large body held until its
// answer) would leave the daemon as large as it was at the spike. Now and
// then, when much is free and the heap has changed since the last time,
// the free pages go back to the system.
constexpr std::chrono::seconds trim_interval(10);
constexpr std::size_t trim_when_free = 4 << 20;

void give_back_free_memory()
{
    static std::size_t in_use_after_trim = 0;
    const struct mallinfo2 now = ::mallinfo2();
    if (now.fordblks < trim_when_free || now.uordblks == in_use_after_trim)
        return;
    ::malloc_trim(0);
    in_use_after_trim = ::mallinfo2().uordblks;
}

// The event loop keeps a record for every descriptor it has watched and
// reuses it for later ones, but never frees it. Made one at a time while a
// burst of clients is accepted, the records lie between the connections'
// other memory and keep every page of it once the connections are gone.
// So once a burst reaches a good number of connections the records of the
// rest of it are made in one stretch, where they lie together, and the
// memory of the burst can go back to the system afterwards. Only as many as
// the process may still have descriptors (with some to spare), and only
// once: the loop reuses them for every later burst.
constexpr long reserve_at_connections = 1024;
constexpr rlim_t max_reserved_records = 16384;
constexpr rlim_t spare_descriptors = 256;

void reserve_descriptor_records(boost::asio::io_context& context, long open)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t used = static_cast<rlim_t>(open) + spare_descriptors;
    if (limit.rlim_cur <= used)
        return;
    const rlim_t wanted = std::min(limit.rlim_cur - used, max_reserved_records);
    std::vector<boost::asio::ip::tcp::socket> sockets;
    sockets.reserve(static_cast<std::size_t>(wanted));
    for (rlim_t i = 0; i < wanted; ++i) {
        boost::system::error_code error;
        sockets.emplace_back(context);
        sockets.back().open(boost::asio::ip::tcp::v4(), error);
        if (error)
            break;
    }
}

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint)
{
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

// The parts are only put together when debug records are written: the
// query loop logs every step.
template <typename... parts_t>
void log_connection(const void* server_connection, const parts_t&... parts)
{
    cf_log_stream(cf_log_debug, "ICAP ", server_connection, ": ", parts...);
}

template <typename... parts_t>
void log_connection(const std::shared_ptr<io::icap::server_connection_t>& server_connection, const parts_t&... parts)
{
    log_connection(static_cast<const void*>(server_connection.get()), parts...);
}

// The way to answer a query of the session: its answer is sent once the
// handler has it, unless handling failed.
icap_handler_t::answer_callback_t answer_to(icap_server_t& server, icap_server_t::session_t* session,
                                            const std::shared_ptr<const io::icap::request_t>& request)
{
    return [&server, session = session->shared_from_this(),
            request](const std::shared_ptr<io::icap::response_t>& response, const boost::system::error_code& failure) {
        if (failure) {
            log_connection(session->server_connection, "error handle request: " + failure.message());
            return;
        }
        server.send_response(session, request, response);
    };
}

} // namespace

icap_server_t::icap_server_t(inventory_t& inventory)
    : inventory_(inventory),
      query_wait_(request_timeout),
      half_close_wait_(half_close_timeout),
      endpoint_(boost::asio::ip::address_v4::any(), 0)
{
    listen();
    settings_slot_ = inventory.config_holder->changed.connect(std::bind(&icap_server_t::listen, this));
    trim_timer_ = io::timer_t::make(inventory_.io_context, trim_interval, give_back_free_memory, io::timer_t::periodic);
}

icap_server_t::~icap_server_t()
{
    trim_timer_->cancel();
}

void icap_server_t::listen()
{
    const boost::asio::ip::tcp::endpoint& wanted = inventory_.config_holder->listen_endpoint;
    if (wanted == endpoint_)
        return;
    if (acceptor_) {
        acceptor_->close();
        acceptor_.reset();
    }
    endpoint_ = wanted;
    try {
        auto socket = std::make_shared<boost::asio::ip::tcp::acceptor>(inventory_.io_context);
        socket->open(endpoint_.protocol());
        socket->set_option(boost::asio::socket_base::reuse_address(true));
        socket->bind(endpoint_);
        socket->listen(listen_backlog);
        acceptor_ = make_acceptor(socket);
    } catch (const boost::system::system_error& e) {
        // A privileged port given up with the start-up user: only a fresh
        // process can bind it.
        if (inventory_.user_switched && e.code() == boost::system::errc::permission_denied)
            throw need_restart_t();
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, std::string("ICAP Server: ") + cf_what(e) + ": " + endpoint_text(endpoint_));
        throw ox::EC_BAD_CONFIG;
    }
    accept_next_connection();
    if (cf_log_threshold <= cf_log_notice)
        cf_log(cf_log_notice, "ICAP Server started: " + endpoint_text(endpoint_));
}

icap_server_t::accept_retry_t icap_server_t::accept_retry(const boost::system::error_code& error)
{
    if (error.category() != boost::system::system_category())
        return accept_retry_t::never;
    switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EINVAL:
        return accept_retry_t::after_pause;
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EINTR:
    case EAGAIN:
    case ETIMEDOUT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENOPROTOOPT:
        return accept_retry_t::at_once;
    default:
        return accept_retry_t::never;
    }
}

void icap_server_t::accept_next_connection()
{
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "ICAP Server: begin wait new connection");
    const std::shared_ptr<io::acceptor_t> acceptor = acceptor_;
    acceptor->async_accept(
        [this, acceptor](const std::shared_ptr<io::connection_t>& connection, const boost::system::error_code& error) {
            on_accept(acceptor, connection, error);
        });
}

void icap_server_t::resume_accept_later(const std::shared_ptr<io::acceptor_t>& acceptor)
{
    io::timer_t::make(
        inventory_.io_context, accept_pause,
        [this, acceptor] {
            if (acceptor == acceptor_)
                accept_next_connection();
        },
        io::timer_t::one_shot);
}

bool icap_server_t::accept_goes_on(const std::shared_ptr<io::acceptor_t>& acceptor,
                                   const boost::system::error_code& error)
{
    switch (accept_retry(error)) {
    case accept_retry_t::at_once:
        // A pause here would let any client stall the listener by giving up
        // before it is taken.
        if (cf_log_threshold <= cf_log_debug)
            cf_log(cf_log_debug, "ICAP Server: accept: " + error.message());
        return true;
    case accept_retry_t::after_pause:
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, "ICAP Server: accept: " + error.message());
        resume_accept_later(acceptor);
        return false;
    case accept_retry_t::never:
        break;
    }
    throw boost::system::system_error(error, "accept");
}

void icap_server_t::on_accept(const std::shared_ptr<io::acceptor_t>& acceptor,
                              const std::shared_ptr<io::connection_t>& connection,
                              const boost::system::error_code& error)
{
    // An accept of a listener that has been replaced meanwhile must not
    // start another accept: the new listener runs its own loop.
    const bool current = acceptor == acceptor_;
    if (error) {
        if (error == boost::asio::error::operation_aborted || !current)
            return;
        if (accept_goes_on(acceptor, error))
            accept_next_connection();
        return;
    }
    serve(connection);
    if (!current)
        return;
    for (int taken = 0; taken < accept_batch; ++taken) {
        boost::system::error_code waiting_error;
        const auto waiting = acceptor->accept_waiting(waiting_error);
        if (waiting_error == boost::asio::error::would_block)
            break;
        if (waiting_error) {
            if (accept_goes_on(acceptor, waiting_error))
                continue;
            return;
        }
        serve(waiting);
    }
    accept_next_connection();
}

void icap_server_t::serve(const std::shared_ptr<io::connection_t>& connection)
{
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "ICAP Server: new connection accepted");
    connection->set_send_timeout(io_timeout);
    connection->set_receive_timeout(io_timeout);
    connection_count_signal(+1);
    if (++*open_connections_ >= reserve_at_connections && !records_reserved_) {
        records_reserved_ = true;
        reserve_descriptor_records(inventory_.io_context, *open_connections_);
    }
    // Should making the guard fail, shared_ptr calls the deleter itself, so
    // the counts still fall back.
    const std::shared_ptr<void> guard(nullptr, [open = open_connections_](void*) {
        --*open;
        connection_count_signal(-1);
    });
    const auto session = std::make_shared<session_t>();
    session->connection = connection;
    session->server_connection = io::icap::server_connection_t::make(connection, connection);
    session->guard = guard;
    // The deadline belongs to the session: its handler holds nothing that
    // keeps the session alive.
    session->query_deadline = io::deadline_t::make(inventory_.io_context.get_executor(),
                                                   [weak_connection = std::weak_ptr<io::connection_t>(connection),
                                                    id = static_cast<const void*>(session->server_connection.get())] {
                                                       log_connection(id, "wait request timeout");
                                                       if (const auto expired = weak_connection.lock())
                                                           expired->close();
                                                   });
    accept_next_query(session);
}

void icap_server_t::accept_next_query(std::shared_ptr<session_t> session)
{
    log_connection(session->server_connection, "begin wait request");
    session->query_deadline->set(query_wait_);
    // The session, which holds the connection, is kept beside the handler
    // until it has run, so the handler holds plain pointers only and needs
    // no allocation.
    session_t* const waiting = session.get();
    session->server_connection->async_wait_request(
        [this, waiting](const std::shared_ptr<io::icap::request_t const>& request,
                        const boost::system::error_code& error) {
            // A query that arrives in the same turn as the time-out keeps its
            // connection: the lifted deadline makes a queued expiry do nothing.
            waiting->query_deadline->lift();
            const auto& server_connection = waiting->server_connection;
            if (error == io::protocol_error) {
                inventory_.icap_handler->handle_bad_request(server_connection, answer_to(*this, waiting, request));
            } else if (error) {
                log_connection(server_connection, "wait request: " + error.message());
            } else {
                inventory_.icap_handler->handle_request(server_connection, request, !request->fields.is_close(),
                                                        answer_to(*this, waiting, request));
            }
        },
        std::move(session));
}

void icap_server_t::send_response(const std::shared_ptr<session_t>& session,
                                  const std::shared_ptr<const io::icap::request_t>& request,
                                  const std::shared_ptr<io::icap::response_t>& response)
{
    const auto& server_connection = session->server_connection;
    if (inventory_.config_holder->config.allow_early_response() || !server_connection->body_pending()) {
        write_response(session, request, response);
        return;
    }
    server_connection->async_skip_body([this, session, request, response](const boost::system::error_code& error) {
        if (!error) {
            write_response(session, request, response);
        } else if (error == io::protocol_error) {
            // The body broke while it was read to its end: the client
            // learns of it as of any malformed query, and the connection,
            // whose input is lost, closes.
            inventory_.icap_handler->bad_request(
                session->server_connection, false,
                [this, session, request](const std::shared_ptr<io::icap::response_t>& bad,
                                         const boost::system::error_code&) { write_response(session, request, bad); });
        } else {
            on_sent(*session, response->closes_connection(), error);
        }
    });
}

void icap_server_t::write_response(const std::shared_ptr<session_t>& session,
                                   const std::shared_ptr<const io::icap::request_t>& request,
                                   const std::shared_ptr<io::icap::response_t>& response)
{
    // As while waiting for a query: the session is kept beside the handler,
    // which needs no allocation then.
    session->close_after_send = response->closes_connection();
    session_t* const sending = session.get();
    session->server_connection->async_send_response(
        request, response,
        [this, sending](const boost::system::error_code& error) {
            on_sent(*sending, sending->close_after_send, error);
        },
        session);
}

void icap_server_t::on_sent(session_t& session, bool close, const boost::system::error_code& error)
{
    if (cf_log_threshold <= cf_log_debug)
        log_connection(session.server_connection, "send response: ", error.message());
    if (error)
        return;
    if (close)
        close_connection(session.connection, session.server_connection);
    else
        accept_next_query(session.shared_from_this());
}

void icap_server_t::close_connection(const std::shared_ptr<io::connection_t>& connection,
                                     const std::shared_ptr<io::icap::server_connection_t>& server_connection)
{
    boost::system::error_code error;
    connection->shutdown_send(error);
    if (error) {
        log_connection(server_connection, "shutdown: " + error.message());
        return;
    }
    // The client may go on sending, a byte now and then, for ever: the
    // drain is bounded as a whole, not only each read.
    const std::weak_ptr<io::connection_t> weak_connection = connection;
    const auto timer = io::timer_t::make(
        inventory_.io_context, half_close_wait_,
        [weak_connection, server_connection] {
            log_connection(server_connection, "half-closed timeout");
            if (const auto expired = weak_connection.lock())
                expired->close();
        },
        io::timer_t::one_shot);
    io::async_skip_all(connection, [server_connection, timer](const boost::system::error_code& drained) {
        timer->cancel();
        log_connection(server_connection, drained ? "read: " + drained.message() : std::string("close connection"));
    });
}

} // namespace ic
