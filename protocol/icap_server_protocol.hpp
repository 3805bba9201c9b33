#pragma once

#include <functional>
#include <memory>

#include <boost/system/error_code.hpp>

#include "io/output_stream.hpp"
#include "io/stream.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/icap_request.hpp"
#include "protocol/icap_response.hpp"

namespace io::icap {

// The server side of ICAP on one connection, without state of its own: the
// caller keeps the connection's streams and the body of the last query
// handed out (the pending body), from whose end the next query is read.
class server_protocol_t {
public:
    // More bytes of head than this, taken in reads that ended before the
    // ICAP head and the encapsulated HTTP heads were complete, make the
    // query fail with the protocol error.
    static constexpr std::int64_t max_head_size = 65536;

    using request_pointer_t = std::shared_ptr<const request_t>;
    using response_pointer_t = std::shared_ptr<const response_t>;
    using pending_body_t = std::shared_ptr<io::http::body_stream_t>;
    using request_handler_t = std::function<void(const request_pointer_t&, const boost::system::error_code&)>;
    using continue_handler_t = std::function<void(const pending_body_t&, const boost::system::error_code&)>;
    using completion_t = std::function<void(const boost::system::error_code&)>;
    // Whatever must outlive an operation: held until its handler has run.
    using keep_t = std::shared_ptr<const void>;

    // Drains and releases the pending body, then reads the next query head.
    // The query's body is a chunked decoder (an empty body for null-body)
    // that starts right after the head; for REQMOD and RESPMOD with a
    // "Preview" field it fails with the protocol error as soon as the data
    // announced passes the preview size. It becomes the pending body. The
    // end of the input before the first byte of a query gives end of stream;
    // any malformed or oversized head gives the protocol error. keep, held
    // until the handler has run, keeps pending alive.
    static void async_wait_request(pending_body_t& pending, const io::stream_t::pointer_t& input,
                                   request_handler_t handler, keep_t keep);
    // After a preview answered with 100: drains and releases the preview's
    // body and hands out a decoder of the rest, which becomes pending.
    static void async_wait_continue(pending_body_t& pending, const io::stream_t::pointer_t& input,
                                    const continue_handler_t& handler);
    // Reads and discards whatever is left of the pending body.
    static void async_skip_body(pending_body_t& pending, const io::stream_t::pointer_t& input,
                                const completion_t& handler);
    // keep is held until the handler has run.
    static void async_send_response(const std::shared_ptr<io::output_stream_t>& output,
                                    const request_pointer_t& request, const response_pointer_t& response,
                                    completion_t handler, keep_t keep);
};

} // namespace io::icap
