#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace io {

// What the system resolver reports: the error and the endpoints found.
using lookup_handler_t =
    std::function<void(const boost::system::error_code&, const boost::asio::ip::tcp::resolver::results_type&)>;
// The call that hands one lookup to the system resolver: the host as it is
// to be asked and the port as decimal text; handler runs on the resolver's
// executor, and cancelling the resolver withdraws a lookup not yet begun.
using lookup_call_t = void (*)(boost::asio::ip::tcp::resolver& resolver, const std::string& host,
                               const std::string& service, const lookup_handler_t& handler);
// The call in use; initially the system's. A test points it at one of its
// own to see the name asked without sending anything off the machine.
extern lookup_call_t resolve_lookup;
// The system's call, for restoring resolve_lookup.
extern const lookup_call_t system_resolve_lookup;

// The endpoints found, in the order the system resolver gave them; empty on
// failure.
using resolve_handler_t = std::function<void(const boost::asio::ip::basic_resolver_iterator<boost::asio::ip::tcp>&,
                                             const boost::system::error_code&)>;

// Resolves host (looked up in its IDN ASCII form) and a TCP port to stream
// endpoints of any configured address family, on the resolver's own thread,
// so the event loop never blocks. A non-zero timeout cancels a lookup that
// has not started by then (operation_aborted); one already running finishes
// with its own result. The handler runs exactly once, on executor, never
// inside the call.
void async_resolve(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const resolve_handler_t& handler);
void async_resolve(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const resolve_handler_t& handler);
void async_resolve(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const resolve_handler_t& handler);
void async_resolve(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const resolve_handler_t& handler);

} // namespace io
