#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace io {

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
