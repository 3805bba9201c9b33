#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace io {

// The time-out guard of a bounded operation: calls handler once the timeout
// has passed, unless cancel() came first. A pending wait holds the timer, so
// it fires even when every other owner has let go of it.
class timer_t : public std::enable_shared_from_this<timer_t> {
public:
    using handler_t = std::function<void()>;
    using pointer_t = std::shared_ptr<timer_t>;

    // Expire once at each start.
    static constexpr int one_shot = 0;
    // Start again at each expiry, until cancelled.
    static constexpr int periodic = 1;

    // Makes a timer and starts it.
    static pointer_t make(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& timeout,
                          const handler_t& handler, int mode);
    static pointer_t make(boost::asio::io_context& context, const std::chrono::nanoseconds& timeout,
                          const handler_t& handler, int mode);

    timer_t(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& timeout,
            const handler_t& handler, int mode);

    // A pending wait ends without calling the handler. An expiry whose
    // completion is already queued still runs.
    void cancel();
    // Arms the timer one timeout from now; a pending wait is replaced.
    void start();
    void on_expired(const pointer_t& self, const boost::system::error_code& error);

private:
    boost::asio::steady_timer timer_;
    handler_t handler_;
    std::chrono::nanoseconds timeout_;
    int mode_;
};

} // namespace io
