#pragma once

#include <memory>
#include <optional>
#include <utility>

#include <boost/system/error_code.hpp>

#include "icap/check_engine.hpp"
#include "lua/context_delegate.hpp"

namespace ic {

// One transaction of the check engine, as its context's delegate: it passes
// the URL checks and body scans on to the engine and holds the engine's
// result back while a body scan of the transaction still runs. The scan
// reads the body (the preview, 100 "Continue", the rest), the ICAP server
// reads what is left of it as soon as it has the answer, and a body stream
// allows one read at a time; yet a verdict can come before a scan the script
// started has finished.
class check_transaction_t : public context::delegate_t, public std::enable_shared_from_this<check_transaction_t> {
public:
    explicit check_transaction_t(check_engine_t& engine) : engine_(engine) {}

    void check_url(context::context_t* context, context::url_check_callback_t&& callback) override;
    void check_body(context::body_getter_t&& getter, context::body_check_callback_t&& callback) override;

    // Hands the result over at once, or once the last scan has completed.
    void finish(check_engine_t::result_t&& result, const boost::system::error_code& error);

private:
    void settle();
    // Gives the result to the caller of check_engine_t::process; once.
    virtual void hand_over(const check_engine_t::result_t& result, const boost::system::error_code& error) = 0;

    check_engine_t& engine_;
    // Body scans started and not yet completed.
    int scans_ = 0;
    std::optional<std::pair<check_engine_t::result_t, boost::system::error_code>> result_;
};

// A transaction with the callback of its caller, kept as it is in the
// transaction's own memory.
template <class callback_t>
class callback_transaction_t final : public check_transaction_t {
public:
    template <class given_t>
    callback_transaction_t(check_engine_t& engine, given_t&& callback)
        : check_transaction_t(engine), callback_(std::in_place, std::forward<given_t>(callback))
    {
    }

private:
    void hand_over(const check_engine_t::result_t& result, const boost::system::error_code& error) override
    {
        // One result per transaction; what the callback holds goes with it.
        callback_t callback = std::move(*callback_);
        callback_.reset();
        callback(result, error);
    }

    std::optional<callback_t> callback_;
};

} // namespace ic
