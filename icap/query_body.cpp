#include "icap/query_body.hpp"

#include <utility>

#include <boost/asio/post.hpp>

#include "common/log.hpp"
#include "icap/icap_handler.hpp"
#include "protocol/icap_response.hpp"

namespace ic {

query_body_t::query_body_t(icap_handler_t& handler, boost::asio::io_context::executor_type executor,
                           connection_t connection, request_t request, bool keep_alive)
    : connection(std::move(connection)),
      request(std::move(request)),
      handler_(handler),
      executor_(std::move(executor)),
      keep_alive_(keep_alive),
      // The body framing lets no data through a zero-length preview: data
      // there fails the preview's read with the protocol error.
      has_preview_(this->request->body_type != io::icap::body_type_t::null_body &&
                   io::icap::announced_preview(*this->request) == 0)
{
}

void query_body_t::with_preview(const preview_handler_t& handler)
{
    if (preview_) {
        handler(preview_->preview, preview_->error);
        return;
    }
    preview_waiters_.push_back(handler);
    if (preview_waiters_.size() > 1)
        return;
    io::icap::async_read_preview(request->body, [self = shared_from_this()](const io::icap::preview_t& preview,
                                                                            const boost::system::error_code& error) {
        self->preview_ = preview_outcome_t{preview, error};
        for (const preview_handler_t& waiter : std::exchange(self->preview_waiters_, {}))
            waiter(preview, error);
    });
}

void query_body_t::async_get(const body_handler_t& handler)
{
    if (body_) {
        post(handler);
        return;
    }
    body_waiters_.push_back(handler);
    if (body_waiters_.size() > 1)
        return;
    if (request->body_type == io::icap::body_type_t::null_body) {
        body_ = body_outcome_t{};
        post(handler);
        body_waiters_.clear();
        return;
    }
    if (!has_preview_) {
        body_ = body_outcome_t{{}, request->body, {}};
        post(handler);
        body_waiters_.clear();
        return;
    }
    const preview_handler_t next = [self = shared_from_this()](const io::icap::preview_t& preview,
                                                               const boost::system::error_code& error) {
        if (error)
            self->finish({{}, nullptr, error});
        else if (preview.ieof)
            self->finish({preview, nullptr, {}});
        else
            self->send_continue(preview);
    };
    // A preview read earlier must not complete the body inside this call.
    if (preview_)
        boost::asio::post(executor_, [next, outcome = *preview_] { next(outcome.preview, outcome.error); });
    else
        with_preview(next);
}

bool query_body_t::get_at_once(const body_handler_t& handler)
{
    if (!body_) {
        if (!body_waiters_.empty() || has_preview_)
            return false;
        if (request->body_type == io::icap::body_type_t::null_body)
            body_ = body_outcome_t{};
        else
            body_ = body_outcome_t{{}, request->body, {}};
    }
    const body_outcome_t outcome = *body_;
    handler(outcome.preview, outcome.stream, outcome.error);
    return true;
}

void query_body_t::send_continue(const io::icap::preview_t& preview)
{
    continued_ = true;
    const auto response = io::icap::response_t::make();
    response->code = 100;
    response->reason = "Continue";
    handler_.finish_response(connection, response, keep_alive_);
    connection->async_send_response(
        request, response, [self = shared_from_this(), preview](const boost::system::error_code& error) {
            cf_log_stream(cf_log_debug, "ICAP ", static_cast<const void*>(self->connection.get()),
                          ": send response: ", error.message());
            if (error) {
                self->finish({{}, nullptr, error});
                return;
            }
            self->connection->async_wait_continue(
                [self, preview](const body_stream_t& stream, const boost::system::error_code& error) {
                    cf_log_stream(cf_log_debug, "ICAP ", static_cast<const void*>(self->connection.get()),
                                  ": continue: ", error.message());
                    self->finish({preview, stream, error});
                });
        });
}

void query_body_t::finish(const body_outcome_t& outcome)
{
    body_ = outcome;
    for (const body_handler_t& waiter : std::exchange(body_waiters_, {}))
        waiter(outcome.preview, outcome.stream, outcome.error);
}

void query_body_t::post(const body_handler_t& handler) const
{
    boost::asio::post(executor_,
                      [handler, outcome = *body_] { handler(outcome.preview, outcome.stream, outcome.error); });
}

} // namespace ic
