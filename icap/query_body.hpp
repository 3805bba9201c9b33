#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "protocol/body_stream.hpp"
#include "protocol/icap_request.hpp"
#include "protocol/icap_server_connection.hpp"
#include "protocol/preview.hpp"

namespace ic {

class icap_handler_t;

// The body of one REQMOD or RESPMOD query as the ICAP handler obtains it.
// The check engine's body getter and the handler's own answer both go
// through it, so that the connection is read once: a zero-length preview is
// read once, 100 "Continue" goes out at most once, and the rest of the body
// is handed out once; whoever asks again gets the same outcome. It also
// tells whether the client still waits for that 100, which is when 204 may
// answer the preview whatever the query's Allow field says.
class query_body_t : public std::enable_shared_from_this<query_body_t> {
public:
    using connection_t = std::shared_ptr<io::icap::server_connection_t>;
    using request_t = std::shared_ptr<io::icap::request_t const>;
    using body_stream_t = std::shared_ptr<io::http::body_stream_t>;
    using preview_handler_t = std::function<void(const io::icap::preview_t&, const boost::system::error_code&)>;
    using body_handler_t =
        std::function<void(const io::icap::preview_t&, const body_stream_t&, const boost::system::error_code&)>;

    // keep_alive is the query's, for the 100 answer's finishing; posted
    // completions run on executor.
    query_body_t(icap_handler_t& handler, boost::asio::io_context::executor_type executor, connection_t connection,
                 request_t request, bool keep_alive);

    // The query has a body and announces a zero-length preview.
    bool has_preview() const { return has_preview_; }
    // 100 "Continue" has been sent, or is being sent.
    bool continued() const { return continued_; }

    // Calls the handler with the preview and the error of reading it: at
    // once when it has been read, else once it has (reading it now when
    // nobody has started to). Only for a query with a preview.
    void with_preview(const preview_handler_t& handler);

    // The body: with a preview, the preview and, unless it held the whole
    // body (ieof), the stream of the rest, asked for with 100 "Continue";
    // without one, an empty preview and the query's own body stream. A
    // null-body query gives neither. Calls the handler once, never inside
    // the call.
    void async_get(const body_handler_t& handler);
    // The same at once for a caller already inside a completion, when the
    // body needs no reading or waiting (no preview to read, no 100 to
    // send): calls the handler inside this call and returns true. Returns
    // false, not calling it, where async_get would have to wait.
    bool get_at_once(const body_handler_t& handler);

    const connection_t connection;
    const request_t request;

private:
    struct preview_outcome_t {
        io::icap::preview_t preview;
        boost::system::error_code error;
    };
    struct body_outcome_t {
        io::icap::preview_t preview;
        body_stream_t stream;
        boost::system::error_code error;
    };

    void send_continue(const io::icap::preview_t& preview);
    void finish(const body_outcome_t& outcome);
    void post(const body_handler_t& handler) const;

    icap_handler_t& handler_;
    // The loop's own executor, a pointer wide: made, kept and dropped at
    // every checked query without the type-erased wrapper's calls.
    boost::asio::io_context::executor_type executor_;
    bool keep_alive_;
    bool has_preview_;
    bool continued_ = false;
    std::optional<preview_outcome_t> preview_;
    std::vector<preview_handler_t> preview_waiters_;
    std::optional<body_outcome_t> body_;
    std::vector<body_handler_t> body_waiters_;
};

} // namespace ic
