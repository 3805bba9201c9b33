#include "icap/check_transaction.hpp"

#include <utility>

namespace ic {

void check_transaction_t::check_url(context::context_t* context, context::url_check_callback_t&& callback)
{
    engine_.check_url(context, std::move(callback));
}

void check_transaction_t::check_body(context::body_getter_t&& getter, context::body_check_callback_t&& callback)
{
    ++scans_;
    engine_.check_body(std::move(getter), [self = shared_from_this(), callback = std::move(callback)](
                                              const ox::ScanReport& report, const io::icap::preview_t& preview,
                                              const std::shared_ptr<io::http::body_stream_t>& stream,
                                              const boost::system::error_code& error) {
        callback(report, preview, stream, error);
        --self->scans_;
        self->settle();
    });
}

void check_transaction_t::finish(check_engine_t::result_t&& result, const boost::system::error_code& error)
{
    // Usually no scan runs any more: the result goes at once, not through
    // the place where it waits.
    if (scans_ == 0) {
        hand_over(result, error);
        return;
    }
    result_.emplace(std::move(result), error);
}

void check_transaction_t::settle()
{
    if (!result_ || scans_ != 0)
        return;
    const auto [result, error] = std::move(*result_);
    result_.reset();
    hand_over(result, error);
}

} // namespace ic
