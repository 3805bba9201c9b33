#pragma once

#include <chrono>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

#include "io/connection.hpp"

namespace io {

// Opens a TCP connection to host and port, trying the resolved addresses in
// order. A non-zero timeout bounds the resolution and, separately, the
// connect over all addresses; when it passes the attempt ends with
// operation_aborted. The handler runs once, with a connection (TCP_NODELAY
// set, no time-outs) or with an empty pointer and the error.
void async_connect(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const connection_handler_t& handler);
void async_connect(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const connection_handler_t& handler);
void async_connect(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const connection_handler_t& handler);
void async_connect(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const connection_handler_t& handler);

// Opens a connection to the local stream socket at path. A path longer than
// 107 bytes throws boost::system::system_error (ENAMETOOLONG) from the call
// and the handler is never called.
void async_connect(const boost::asio::any_io_executor& executor, const std::string& path,
                   const std::chrono::nanoseconds& timeout, const connection_handler_t& handler);
void async_connect(const boost::asio::any_io_executor& executor, const std::string& path,
                   const connection_handler_t& handler);
void async_connect(boost::asio::io_context& context, const std::string& path, const std::chrono::nanoseconds& timeout,
                   const connection_handler_t& handler);
void async_connect(boost::asio::io_context& context, const std::string& path, const connection_handler_t& handler);

} // namespace io
