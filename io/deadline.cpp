#include "io/deadline.hpp"

#include <limits>
#include <utility>

namespace io {

namespace {

// now + timeout, clamped to the range of the clock instead of overflowing:
// a timeout of the largest count never passes.
std::chrono::steady_clock::time_point deadline_after(const std::chrono::nanoseconds& timeout)
{
    using clock_t = std::chrono::steady_clock;
    using rep_t = std::chrono::nanoseconds::rep;
    const rep_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_t::now().time_since_epoch()).count();
    rep_t sum;
    if (__builtin_add_overflow(now, timeout.count(), &sum))
        sum = now >= 0 ? std::numeric_limits<rep_t>::max() : std::numeric_limits<rep_t>::min();
    return clock_t::time_point(std::chrono::duration_cast<clock_t::duration>(std::chrono::nanoseconds(sum)));
}

} // namespace

deadline_t::pointer_t deadline_t::make(const boost::asio::any_io_executor& executor, handler_t handler)
{
    return std::make_shared<deadline_t>(executor, std::move(handler));
}

deadline_t::deadline_t(const boost::asio::any_io_executor& executor, handler_t handler)
    : timer_(executor), handler_(std::move(handler))
{
}

void deadline_t::set(const std::chrono::nanoseconds& timeout)
{
    deadline_ = deadline_after(timeout);
    // A wait that ends later than the new deadline is replaced; one that
    // ends earlier waits again from its end.
    if (deadline_ < waiting_until_)
        wait(deadline_);
}

void deadline_t::wait(clock_t::time_point until)
{
    waiting_until_ = until;
    // Replacing the time of a wait cancels it: its completion comes with
    // operation_aborted and leaves the state to the new wait.
    timer_.expires_at(until);
    timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        if (error)
            return;
        if (const auto self = weak.lock())
            self->on_wait(error);
    });
}

void deadline_t::on_wait(const boost::system::error_code&)
{
    waiting_until_ = none;
    if (deadline_ == none)
        return;
    if (clock_t::now() < deadline_) {
        wait(deadline_);
        return;
    }
    deadline_ = none;
    handler_();
}

} // namespace io
