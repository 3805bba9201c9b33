#pragma once

#include "common/async_error.hpp"

#include <boost/any.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace orx::async {

class result_handle_t;
class result_t;
class timer_t;

using result_callback_t = std::function<void(const result_handle_t&)>;

// The shared state of one result. Only result_t, result_handle_t and the
// timer that drives a result touch it.
class result_impl_t : public std::enable_shared_from_this<result_impl_t> {
public:
    explicit result_impl_t(result_callback_t callback);

private:
    friend class result_t;
    friend class result_handle_t;
    friend class timer_t;

    void complete(const boost::system::error_code& error, const std::string& message, const boost::any& value,
                  bool notify);
    void stop_deadline();

    int status_ = 0;
    // The state of the running deadline timer's result, if any.
    std::shared_ptr<result_impl_t> deadline_;
    result_callback_t callback_;
    result_callback_t cancel_handler_;
    // Stops whatever drives the result (its timer) on every kind of completion.
    std::function<void()> stop_;
    boost::any value_;
    boost::system::error_code error_;
    std::string message_;
};

// Read-only view of a result, handed to callbacks and kept by callers.
class result_handle_t {
public:
    explicit result_handle_t(std::shared_ptr<const result_impl_t> state) noexcept : state_(std::move(state)) {}

    // 0 while pending, 1 once completed.
    int status() const noexcept { return state_->status_; }
    // Empty unless the result completed with a value.
    const boost::any& value() const noexcept { return state_->value_; }
    const boost::system::error_code& error() const noexcept { return state_->error_; }
    // The stored message, or the error's text when none was stored.
    std::string message() const;

private:
    std::shared_ptr<const result_impl_t> state_;
};

// A one-shot asynchronous result. Copies refer to the same result; the first
// completion stands and later ones are dropped. Callbacks run inside the call
// that completes the result.
class result_t {
public:
    // An empty result, referring to no state.
    result_t() noexcept = default;
    explicit result_t(result_callback_t callback);

    explicit operator bool() const noexcept { return static_cast<bool>(state_); }

    void set_value(const boost::any& value);
    void set_error(const boost::system::error_code& error, const std::string& message);
    // With a context the message becomes context + ": " + (message, or the
    // error's text when message is empty).
    void set_error(const std::string& context, const boost::system::error_code& error, const std::string& message);
    // Completes with cancel; the completion callback runs only when notify is set.
    void cancel(bool notify);
    // A pending result completes with timeout when the duration passes first.
    void set_deadline(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& duration);
    // Runs on completion with cancel or timeout; ignored once completed.
    void set_cancel_handler(result_callback_t handler);
    // Runs the completion callback without completing; nothing once completed.
    void notify();
    // Pending other: notify(); failed other: its error and message; else its value.
    void forward(const result_handle_t& other);

    result_handle_t handle() const;
    bool done() const noexcept;

private:
    friend class timer_t;

    std::shared_ptr<result_impl_t> state_;
};

// A result linked to an earlier one: cancelling the proxy, or its deadline
// passing, cancels the original without notifying it.
class result_proxy_t : public result_t {
public:
    using result_t::result_t;

    void set_original(result_t source);
};

} // namespace orx::async
