#include "io/timer.hpp"

#include <limits>

#include <boost/system/system_error.hpp>

namespace io {

namespace {

// now + timeout, clamped to the range of the clock instead of overflowing:
// a timeout of the largest count never expires.
std::chrono::steady_clock::time_point deadline_after(const std::chrono::nanoseconds& timeout)
{
    using clock_t = std::chrono::steady_clock;
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_t::now().time_since_epoch()).count();
    const auto step = timeout.count();
    using rep_t = std::chrono::nanoseconds::rep;
    rep_t sum;
    if (__builtin_add_overflow(now, step, &sum))
        sum = now >= 0 ? std::numeric_limits<rep_t>::max() : std::numeric_limits<rep_t>::min();
    return clock_t::time_point(std::chrono::duration_cast<clock_t::duration>(std::chrono::nanoseconds(sum)));
}

} // namespace

timer_t::pointer_t timer_t::make(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& timeout,
                                 const handler_t& handler, int mode)
{
    auto timer = std::make_shared<timer_t>(executor, timeout, handler, mode);
    timer->start();
    return timer;
}

timer_t::pointer_t timer_t::make(boost::asio::io_context& context, const std::chrono::nanoseconds& timeout,
                                 const handler_t& handler, int mode)
{
    return make(boost::asio::any_io_executor(context.get_executor()), timeout, handler, mode);
}

timer_t::timer_t(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& timeout,
                 const handler_t& handler, int mode)
    : timer_(executor), handler_(handler), timeout_(timeout), mode_(mode)
{
}

void timer_t::cancel()
{
    try {
        timer_.cancel();
    } catch (const boost::system::system_error&) {
        // Nothing is pending any more, which is all a cancel promises.
    }
}

void timer_t::start()
{
    auto self = shared_from_this();
    try {
        timer_.expires_at(deadline_after(timeout_));
    } catch (const boost::system::system_error& error) {
        throw boost::system::system_error(error.code(), "expires_from_now");
    }
    timer_.async_wait([self](const boost::system::error_code& error) { self->on_expired(self, error); });
}

void timer_t::on_expired(const pointer_t&, const boost::system::error_code& error)
{
    if (error)
        return;
    if (mode_ == periodic)
        start();
    handler_();
}

} // namespace io
