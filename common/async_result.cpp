#include "common/async_result.hpp"

#include "common/async_timer.hpp"

#include <utility>

namespace orx::async {

namespace {

bool is_cancel_or_timeout(const boost::system::error_code& error)
{
    return error == make_error_code(result_error_t::cancel) || error == make_error_code(result_error_t::timeout);
}

} // namespace

result_impl_t::result_impl_t(result_callback_t callback) : callback_(std::move(callback)) {}

void result_impl_t::stop_deadline()
{
    if (auto deadline = std::move(deadline_))
        deadline->complete(make_error_code(result_error_t::cancel), {}, {}, false);
}

void result_impl_t::complete(const boost::system::error_code& error, const std::string& message,
                             const boost::any& value, bool notify)
{
    if (status_ != 0)
        return;
    // A callback may drop the last outside reference to this state.
    const auto self = shared_from_this();
    error_ = error;
    message_ = message;
    value_ = value;
    status_ = 1;

    // Taken out first: emptying them afterwards releases whatever they hold,
    // which breaks the cycles that timers and deadlines form with the state.
    auto callback = std::move(callback_);
    auto cancel_handler = std::move(cancel_handler_);
    auto stop = std::move(stop_);
    callback_ = nullptr;
    cancel_handler_ = nullptr;
    stop_ = nullptr;

    stop_deadline();
    if (stop)
        stop();
    const result_handle_t handle(self);
    if (cancel_handler && is_cancel_or_timeout(error))
        cancel_handler(handle);
    if (notify && callback)
        callback(handle);
}

std::string result_handle_t::message() const
{
    return state_->message_.empty() ? state_->error_.message() : state_->message_;
}

result_t::result_t(result_callback_t callback) : state_(std::make_shared<result_impl_t>(std::move(callback))) {}

void result_t::set_value(const boost::any& value)
{
    state_->complete({}, {}, value, true);
}

void result_t::set_error(const boost::system::error_code& error, const std::string& message)
{
    state_->complete(error, message, {}, true);
}

void result_t::set_error(const std::string& context, const boost::system::error_code& error, const std::string& message)
{
    if (context.empty())
        set_error(error, message);
    else
        set_error(error, context + ": " + (message.empty() ? error.message() : message));
}

void result_t::cancel(bool notify)
{
    state_->complete(make_error_code(result_error_t::cancel), {}, {}, notify);
}

void result_t::set_deadline(const boost::asio::any_io_executor& executor, const std::chrono::nanoseconds& duration)
{
    if (state_->status_ != 0)
        return;
    state_->stop_deadline();
    auto state = state_;
    auto deadline = timer_t::make(
        executor, duration,
        [state](const result_handle_t&) { state->complete(make_error_code(result_error_t::timeout), {}, {}, true); },
        0);
    state_->deadline_ = std::move(deadline.state_);
}

void result_t::set_cancel_handler(result_callback_t handler)
{
    if (state_->status_ == 0)
        state_->cancel_handler_ = std::move(handler);
}

void result_t::notify()
{
    if (state_->status_ != 0 || !state_->callback_)
        return;
    // Run a copy: the callback may complete the result, which empties the
    // stored one while it is running.
    const auto callback = state_->callback_;
    callback(handle());
}

void result_t::forward(const result_handle_t& other)
{
    if (other.status() == 0)
        notify();
    else if (other.error().failed())
        set_error(other.error(), other.message());
    else
        set_value(other.value());
}

result_handle_t result_t::handle() const
{
    return result_handle_t(state_);
}

bool result_t::done() const noexcept
{
    return state_->status_ != 0;
}

void result_proxy_t::set_original(result_t source)
{
    set_cancel_handler([source](const result_handle_t&) mutable { source.cancel(false); });
}

} // namespace orx::async
