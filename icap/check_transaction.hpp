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
    check_transaction_t(check_engine_t& engine, check_engine_t::result_callback_t callback);

    void check_url(context::context_t* context, context::url_check_callback_t&& callback) override;
    void check_body(context::body_getter_t&& getter, context::body_check_callback_t&& callback) override;

    // Hands the result to the callback at once, or once the last scan has
    // completed.
    void finish(check_engine_t::result_t&& result, const boost::system::error_code& error);

private:
    void settle();
    void hand_over(const check_engine_t::result_t& result, const boost::system::error_code& error);

    check_engine_t& engine_;
    check_engine_t::result_callback_t callback_;
    // Body scans started and not yet completed.
    int scans_ = 0;
    std::optional<std::pair<check_engine_t::result_t, boost::system::error_code>> result_;
};

} // namespace ic
