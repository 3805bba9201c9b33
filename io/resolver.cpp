#include "io/resolver.hpp"

#include <memory>

#include "common/idn.hpp"
#include "io/timer.hpp"

namespace io {

namespace {

void lookup_by_system(boost::asio::ip::tcp::resolver& resolver, const std::string& host, const std::string& service,
                      const lookup_handler_t& handler)
{
    resolver.async_resolve(host, service, boost::asio::ip::tcp::resolver::address_configured, handler);
}

class impl_t : public std::enable_shared_from_this<impl_t> {
public:
    explicit impl_t(const boost::asio::any_io_executor& executor) : resolver_(executor) {}

    void resolve(const std::string& host, unsigned short port, const std::chrono::nanoseconds& timeout,
                 const resolve_handler_t& handler)
    {
        auto self = shared_from_this();
        timer_t::pointer_t timer;
        // The time-out can only withdraw a lookup that still waits for the
        // worker thread; one already inside getaddrinfo runs to its end.
        if (timeout != std::chrono::nanoseconds::zero())
            timer = timer_t::make(
                resolver_.get_executor(), timeout, [self] { self->resolver_.cancel(); }, timer_t::one_shot);
        resolve_lookup(resolver_, ox::oxs::idn_to_ascii(host.data(), host.size()), std::to_string(port),
                       [self, timer, handler](const boost::system::error_code& error,
                                              const boost::asio::ip::tcp::resolver::results_type& results) {
                           if (timer)
                               timer->cancel();
                           handler(results, error);
                       });
    }

private:
    boost::asio::ip::tcp::resolver resolver_;
};

} // namespace

const lookup_call_t system_resolve_lookup = lookup_by_system;
lookup_call_t resolve_lookup = lookup_by_system;

void async_resolve(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const resolve_handler_t& handler)
{
    std::make_shared<impl_t>(executor)->resolve(host, port, timeout, handler);
}

void async_resolve(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                   const resolve_handler_t& handler)
{
    async_resolve(executor, host, port, std::chrono::nanoseconds::zero(), handler);
}

void async_resolve(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const std::chrono::nanoseconds& timeout, const resolve_handler_t& handler)
{
    async_resolve(boost::asio::any_io_executor(context.get_executor()), host, port, timeout, handler);
}

void async_resolve(boost::asio::io_context& context, const std::string& host, unsigned short port,
                   const resolve_handler_t& handler)
{
    async_resolve(context, host, port, std::chrono::nanoseconds::zero(), handler);
}

} // namespace io
