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

    server_connection_t(std::shared_ptr<io::stream_t> input, std::shared_ptr<io::output_stream_t> output)
        : input_(std::move(input)), output_(std::move(output)) {}
    virtual ~server_connection_t() = default;

    void async_wait_request(request_handler_t const& handler) {
        protocol_t::async_wait_request(
            pending_, input_,
            [self = this->shared_from_this(), handler](request_pointer_t const& request,
                                                       boost::system::error_code const& error) {
                handler(request, error);
            });
    }

    void async_wait_continue(continue_handler_t const& handler) {
        protocol_t::async_wait_continue(
            pending_, input_,
            [self = this->shared_from_this(), handler](typename protocol_t::pending_body_t const& body,
                                                       boost::system::error_code const& error) {
                handler(body, error);
            });
    }

    void async_skip_body(completion_t const& handler) {
        protocol_t::async_skip_body(pending_, input_, keep_alive(handler));
    }

    void async_send_response(request_pointer_t const& request, response_pointer_t const& response,
                             completion_t const& handler) {
        protocol_t::async_send_response(output_, request, response, keep_alive(handler));
    }

private:
    completion_t keep_alive(completion_t const& handler) {
        return [self = this->shared_from_this(), handler](boost::system::error_code const& error) {
            handler(error);
        };
    }

    std::shared_ptr<io::stream_t> input_;
    std::shared_ptr<io::output_stream_t> output_;
    typename protocol_t::pending_body_t pending_;
};

}  // namespace io
