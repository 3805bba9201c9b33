#include "common/async_timer.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <limits>

namespace orx::async {

namespace {

// now + period, held at the ends of the 64-bit nanosecond count instead of
// wrapping around.
std::chrono::steady_clock::time_point saturated_expiry(const std::chrono::nanoseconds& period)
{
    using clock = std::chrono::steady_clock;
    using rep = clock::duration::rep;
    const rep now = clock::now().time_since_epoch().count();
    const rep add = std::chrono::duration_cast<clock::duration>(period).count();
    rep sum;
    if (__builtin_add_overflow(now, add, &sum))
        sum = add > 0 ? std::numeric_limits<rep>::max() : std::numeric_limits<rep>::min();
    return clock::time_point(clock::duration(sum));
}

} // namespace

result_t timer_t::make(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& period,
                       result_callback_t callback, int mode)
{
    result_t result(std::move(callback));
    auto timer = std::make_shared<timer_t>(executor, result, period, mode);
    timer->start();
    return result;
}

timer_t::timer_t(const boost::asio::any_io_executor& executor, result_t result, const std::chrono::nanoseconds& period,
                 int mode)
    : timer_(executor), result_(std::move(result)), period_(period), mode_(mode)
{
}

void timer_t::start()
{
    try {
        timer_.expires_at(saturated_expiry(period_));
    } catch (const boost::system::system_error& error) {
        throw boost::system::system_error(error.code(), "expires_from_now");
    }
    auto self = shared_from_this();
    timer_.async_wait([self](const boost::system::error_code& error) { self->expired(error); });
    result_.state_->stop_ = [self] { self->timer_.cancel(); };
}

void timer_t::expired(const boost::system::error_code& error)
{
    if (error == boost::asio::error::operation_aborted || result_.done())
        return;
    if (error) {
        result_.set_error(error, {});
    } else if (mode_ == repeating) {
        start();
        result_.notify();
    } else {
        result_.set_value(boost::any());
    }
}

} // namespace orx::async
