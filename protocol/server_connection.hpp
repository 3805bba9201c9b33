#pragma once

#include <memory>
#include <utility>

#include "io/output_stream.hpp"
#include "io/stream.hpp"

namespace io {

// One connection's query cycle over a protocol: wait for a query, optionally
// continue its body, skip what is left of it, send the answer. Each call
// completes exactly once, never inside the call. Every operation keeps the
// connection alive until its handler has run.
template <typename protocol_t>
class server_connection_t : public std::enable_shared_from_this<server_connection_t<protocol_t>> {
public:
    using request_handler_t = typename protocol_t::request_handler_t;
    using continue_handler_t = typename protocol_t::continue_handler_t;
    using completion_t = typename protocol_t::completion_t;
    using request_pointer_t = typename protocol_t::request_pointer_t;
    using response_pointer_t = typename protocol_t::response_pointer_t;
    using keep_t = typename protocol_t::keep_t;

    server_connection_t(std::shared_ptr<io::stream_t> input, std::shared_ptr<io::output_stream_t> output)
        : input_(std::move(input)), output_(std::move(output))
    {
    }
    virtual ~server_connection_t() = default;

    // The last query's body may still hold bytes to skip.
    bool body_pending() const { return pending_ && !pending_->empty_body(); }

    // The handlers are taken by value and moved along: a handler that holds
    // other handlers is not copied, with everything it holds, at every
    // layer of every query.
    // The protocol holds the connection beside the handler rather than in
    // a handler of its own around it, which would cost an allocation per
    // query.
    void async_wait_request(request_handler_t handler)
    {
        protocol_t::async_wait_request(pending_, input_, std::move(handler), this->shared_from_this());
    }
    // The same with keep held beside the handler in place of the
    // connection, which keep must hold alive itself: a caller whose own
    // object holds the connection passes that object, and its handler needs
    // to hold nothing but plain pointers, which std::function keeps without
    // an allocation.
    void async_wait_request(request_handler_t handler, keep_t keep)
    {
        protocol_t::async_wait_request(pending_, input_, std::move(handler), std::move(keep));
    }

    void async_wait_continue(const continue_handler_t& handler)
    {
        protocol_t::async_wait_continue(pending_, input_,
                                        [self = this->shared_from_this(),
                                         handler](const typename protocol_t::pending_body_t& body,
                                                  const boost::system::error_code& error) { handler(body, error); });
    }

    void async_skip_body(completion_t handler)
    {
        protocol_t::async_skip_body(pending_, input_, keep_alive(std::move(handler)));
    }

    void async_send_response(const request_pointer_t& request, const response_pointer_t& response, completion_t handler)
    {
        protocol_t::async_send_response(output_, request, response, std::move(handler), this->shared_from_this());
    }
    // keep, which must hold the connection alive, as for async_wait_request.
    void async_send_response(const request_pointer_t& request, const response_pointer_t& response, completion_t handler,
                             keep_t keep)
    {
        protocol_t::async_send_response(output_, request, response, std::move(handler), std::move(keep));
    }

private:
    completion_t keep_alive(completion_t handler)
    {
        return [self = this->shared_from_this(), handler = std::move(handler)](const boost::system::error_code& error) {
            handler(error);
        };
    }

    std::shared_ptr<io::stream_t> input_;
    std::shared_ptr<io::output_stream_t> output_;
    typename protocol_t::pending_body_t pending_;
};

} // namespace io
