#pragma once

#include "common/async_result.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <memory>

namespace orx::async {

// A one-shot or repeating timer whose expiries arrive as notifications of the
// result it drives. The caller keeps only the result: the timer lives through
// its pending wait and through the result, and stops as soon as the result
// completes in any way.
class timer_t : public std::enable_shared_from_this<timer_t> {
public:
    static constexpr int repeating = 1;

    // Mode 1 (repeating) notifies the result at every period and leaves it
    // pending; any other mode completes it with an empty value at the first
    // expiry. A wait failure completes it with that error.
    static result_t make(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& period,
                         result_callback_t callback, int mode);

    timer_t(const boost::asio::any_io_executor& executor, result_t result, const std::chrono::nanoseconds& period,
            int mode);

private:
    void start();
    void expired(const boost::system::error_code& error);

    boost::asio::steady_timer timer_;
    result_t result_;
    std::chrono::nanoseconds period_;
    int mode_;
};

} // namespace orx::async
