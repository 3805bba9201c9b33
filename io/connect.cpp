#include "io/connect.hpp"

#include <memory>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>

#include "io/resolver.hpp"
#include "io/timer.hpp"

namespace io {

namespace {

// One timer guards the whole attempt: its expiry closes the socket, which
// ends a pending connect with operation_aborted. The close reports nothing:
// a failing close has no one to tell, and throwing from the timer's
// completion would end the event loop.
template <typename Socket>
timer_t::pointer_t make_guard(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& timeout,
                              const std::shared_ptr<Socket>& socket)
{
    if (timeout == std::chrono::nanoseconds::zero())
        return nullptr;
    return timer_t::make(
        executor, timeout,
        [socket] {
            boost::system::error_code ignored;
            socket->close(ignored);
        },
        timer_t::one_shot);
}

template <typename Socket>
void finish(const std::shared_ptr<Socket>& socket, const timer_t::pointer_t& timer, const connection_handler_t& handler,
            const boost::system::error_code& error)
{
    if (timer)
        timer->cancel();
    if (error) {
        handler(nullptr, error);
        return;
    }
    handler(make_connection(socket), boost::system::error_code());
}

} // namespace

void async_connect(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const connection_handler_t& handler)
{
    using tcp = boost::asio::ip::tcp;
    // Resolving and connecting are each bounded by the full time-out.
    async_resolve(
        executor, host, port, timeout,
        [executor, timeout, handler](const tcp::resolver::iterator& results, const boost::system::error_code& error) {
            if (error) {
                handler(nullptr, error);
                return;
            }
            auto socket = std::make_shared<tcp::socket>(executor);
            auto timer = make_guard(executor, timeout, socket);
            boost::asio::async_connect(
                *socket, results, tcp::resolver::iterator(),
                [socket, timer, handler](const boost::system::error_code& error, const tcp::resolver::iterator&) {
                    finish(socket, timer, handler, error);
                });
        });
}

void async_connect(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const connection_handler_t& handler)
{
    async_connect(executor, host, port, std::chrono::nanoseconds::zero(), handler);
}

void async_connect(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const connection_handler_t& handler)
{
    async_connect(boost::asio::any_io_executor(context.get_executor()), host, port, timeout, handler);
}

void async_connect(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const connection_handler_t& handler)
{
    async_connect(context, host, port, std::chrono::nanoseconds::zero(), handler);
}

void async_connect(const boost::asio::any_io_executor& executor, const std::string& path,
                   const std::chrono::nanoseconds& timeout, const connection_handler_t& handler)
{
    using local = boost::asio::local::stream_protocol;
    // Throws ENAMETOOLONG for a path that does not fit sockaddr_un, before
    // anything is started.
    const local::endpoint endpoint(path);
    auto socket = std::make_shared<local::socket>(executor);
    auto timer = make_guard(executor, timeout, socket);
    boost::system::error_code error;
    socket->open(local(), error);
    if (error) {
        boost::asio::post(executor, [socket, timer, handler, error] { finish(socket, timer, handler, error); });
        return;
    }
    socket->async_connect(endpoint, [socket, timer, handler](const boost::system::error_code& error) {
        finish(socket, timer, handler, error);
    });
}

void async_connect(const boost::asio::any_io_executor& executor, const std::string& path,
                   const connection_handler_t& handler)
{
    async_connect(executor, path, std::chrono::nanoseconds::zero(), handler);
}

void async_connect(boost::asio::io_context& context, const std::string& path, const std::chrono::nanoseconds& timeout,
                   const connection_handler_t& handler)
{
    async_connect(boost::asio::any_io_executor(context.get_executor()), path, timeout, handler);
}

void async_connect(boost::asio::io_context& context, const std::string& path, const connection_handler_t& handler)
{
    async_connect(context, path, std::chrono::nanoseconds::zero(), handler);
}

} // namespace io
