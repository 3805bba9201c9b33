#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace io {

// A time limit that is set and lifted far more often than it passes, such as
// the time-out of every receive of a connection: one timer serves every
// setting. Setting and lifting only note the deadline; the timer's wait
// stays where it is as long as it ends no later than the deadline, and when
// it ends before it, it waits again for the rest. So an operation that
// completes in time costs no timer operation of the event loop at all.
class deadline_t : public std::enable_shared_from_this<deadline_t> {
public:
    using handler_t = std::function<void()>;
    using pointer_t = std::shared_ptr<deadline_t>;

    // The handler runs once each time a set deadline passes before it was
    // lifted or set anew.
    static pointer_t make(const boost::asio::any_io_executor& executor, handler_t handler);

    deadline_t(const boost::asio::any_io_executor& executor, handler_t handler);

    // The deadline is timeout from now, replacing any earlier one.
    void set(const std::chrono::nanoseconds& timeout);
    // No deadline until the next set; an expiry already queued on the loop
    // does nothing either.
    void lift() { deadline_ = none; }

private:
    using clock_t = std::chrono::steady_clock;
    static constexpr clock_t::time_point none = clock_t::time_point::max();

    void wait(clock_t::time_point until);
    void on_wait(const boost::system::error_code& error);

    boost::asio::steady_timer timer_;
    handler_t handler_;
    clock_t::time_point deadline_ = none;
    // When the outstanding wait ends; none without one.
    clock_t::time_point waiting_until_ = none;
};

} // namespace io
