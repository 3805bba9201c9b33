#include "protocol/icap_server_protocol.hpp"

#include <string>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

#include "protocol/icap_request_pool.hpp"
#include "protocol/parsers/icap_parser.hpp"
#include "protocol/preview.hpp"
#include "protocol/protocol_error.hpp"

namespace io::icap {

namespace {

using error_t = proto::base_ragel_parser_t::error_t;

// The data limit of a query's first body: the preview size the client
// announced, none without a preview, and no data at all for a "Preview"
// value that is no plain number: such a query is malformed whatever
// follows, and its body is only ever drained.
std::int64_t preview_limit(const request_t& request)
{
    const std::int64_t announced = announced_preview(request);
    return announced == malformed_preview ? 0 : announced;
}

// Reads one query head from a stream and hands over its body unread. A
// reader that has handed over its query is kept for the next one, on any
// connection: most of what it holds (the parser and its strings) is the
// same size from one query to the next. Each connection that waits for its
// next query holds a reader, and those whose answers take a turn of the
// loop or more finish their queries in a different order than they start
// the next ones: a few readers are kept, not just one, so that many busy
// connections need no new reader per query.
class request_reader_t : public std::enable_shared_from_this<request_reader_t>,
                         public proto::icap::parser_t::delegate_t {
public:
    using handler_t = server_protocol_t::request_handler_t;

    request_reader_t() : parser_(this) {}

    // At most this many free readers are kept per thread.
    static constexpr std::size_t max_spares = 64;

    // A reader that is free, made or kept.
    static std::shared_ptr<request_reader_t> take()
    {
        auto& kept = spares();
        if (kept.empty())
            return std::make_shared<request_reader_t>();
        std::shared_ptr<request_reader_t> reader = std::move(kept.back());
        kept.pop_back();
        return reader;
    }

    // Reads one query; its body becomes `pending`.
    void start(server_protocol_t::pending_body_t& pending, io::stream_t::pointer_t input, handler_t handler,
               server_protocol_t::keep_t keep)
    {
        pending_ = &pending;
        input_ = std::move(input);
        handler_ = std::move(handler);
        keep_ = std::move(keep);
        read();
    }

    void on_request_line(proto::icap::parser_t&, const proto::request_line_t& line) override
    {
        request_ = request_pool_t::take(line);
    }

    void on_status_line(proto::icap::parser_t&, const proto::status_line_t&) override
    {
        throw error_t("unexpected icap response");
    }

    void on_field(proto::icap::parser_t&, const proto::field_view_t& field) override
    {
        request_->fields.add(field.name, field.value);
    }

    void on_encapsulated(proto::icap::parser_t&, const proto::icap::section_list_t&) override {}
    void on_head_end(proto::icap::parser_t&) override {}

    void on_data(proto::icap::parser_t&, proto::icap::section_kind_t kind, const char* data, std::size_t size) override
    {
        switch (kind) {
        case proto::icap::req_hdr:
            request_->req_head.append(data, size);
            return;
        case proto::icap::res_hdr:
            request_->res_head.append(data, size);
            return;
        case proto::icap::req_body:
            body_type_ = body_type_t::req_body;
            break;
        case proto::icap::res_body:
            body_type_ = body_type_t::res_body;
            break;
        case proto::icap::opt_body:
            body_type_ = body_type_t::opt_body;
            break;
        case proto::icap::null_body:
            body_type_ = body_type_t::null_body;
            break;
        }
        body_reached_ = true;
    }

private:
    void read()
    {
        input_->async_receive(
            [self = shared_from_this()](const orx::buffer_t& data, const boost::system::error_code& error) {
                self->on_read(data, error);
            });
    }

    void on_read(const orx::buffer_t& data, const boost::system::error_code& error)
    {
        const bool failed = static_cast<bool>(error);
        if (failed && error != boost::asio::error::eof)
            return finish(error, {});
        if (failed && head_size_ == 0)
            return finish(error, {});
        std::size_t taken = 0;
        try {
            while (true) {
                std::size_t const n = parser_.parse(data.data() + taken, data.size() - taken, failed);
                if (body_reached_)
                    break;
                taken += n;
                if (taken == data.size() || parser_.status() != proto::parser_t::running)
                    break;
            }
        } catch (const error_t&) {
            return finish(io::protocol_error, {});
        }
        // The end of the input exactly where a body should begin is a client
        // that went away, not a query to answer.
        if (body_reached_ || parser_.status() == proto::parser_t::complete)
            return finish(error, data.tail(data.size() - taken));
        head_size_ += static_cast<std::int64_t>(taken);
        if (head_size_ > server_protocol_t::max_head_size)
            return finish(io::protocol_error, {});
        read();
    }

    void finish(const boost::system::error_code& error, const orx::buffer_t& leftover)
    {
        const handler_t handler = std::move(handler_);
        const server_protocol_t::keep_t keep = std::move(keep_);
        std::shared_ptr<request_t> request = std::move(request_);
        if (!error && request) {
            request->body_type = body_type_;
            // The decoder takes the bytes read with the head as its own,
            // rather than through a stream of their own in front of the input.
            if (body_type_ == body_type_t::null_body)
                request->body = io::http::body_stream_t::make_empty(io::http::put_back(input_, leftover));
            else
                request->body =
                    io::http::body_stream_t::make_chunked_decoder(input_->self(), preview_limit(*request), leftover);
            *pending_ = request->body;
        }
        clear();
        if (error || !request)
            handler(nullptr, error ? error : io::protocol_error);
        else
            handler(std::move(request), {});
        // Kept only now: the handler may have started reading the next
        // query, with another reader.
        auto& kept = spares();
        if (kept.size() < max_spares)
            kept.push_back(shared_from_this());
    }

    // Back to the state after construction, holding nothing of the query.
    void clear()
    {
        parser_.reset();
        pending_ = nullptr;
        input_.reset();
        body_type_ = body_type_t::null_body;
        head_size_ = 0;
        body_reached_ = false;
    }

    static std::vector<std::shared_ptr<request_reader_t>>& spares()
    {
        thread_local std::vector<std::shared_ptr<request_reader_t>> readers;
        return readers;
    }

    proto::icap::parser_t parser_;
    server_protocol_t::pending_body_t* pending_ = nullptr;
    io::stream_t::pointer_t input_;
    std::shared_ptr<request_t> request_;
    body_type_t body_type_ = body_type_t::null_body;
    handler_t handler_;
    server_protocol_t::keep_t keep_;
    std::int64_t head_size_ = 0;
    bool body_reached_ = false;
};

// When a body is pending: drains it, takes the raw stream back from it and
// calls retry with the stream positioned after the body (the slot is empty
// by then), or fails the handler with the drain's error. Returns whether a
// body was pending.
template <typename handler_t, typename retry_t>
bool drain_pending(server_protocol_t::pending_body_t& pending, const handler_t& handler, retry_t retry)
{
    if (!pending)
        return false;
    // Nothing to drain: the next read starts from the rest at once.
    if (pending->empty_body()) {
        auto rest = pending->release();
        pending.reset();
        retry(rest);
        return true;
    }
    auto body = pending;
    io::async_skip_all(body, [&pending, body, handler, retry](const boost::system::error_code& error) {
        pending.reset();
        if (error)
            return handler(nullptr, error);
        retry(body->release());
    });
    return true;
}

} // namespace

void server_protocol_t::async_wait_request(pending_body_t& pending, const io::stream_t::pointer_t& input,
                                           request_handler_t handler, keep_t keep)
{
    if (!pending)
        return request_reader_t::take()->start(pending, input, std::move(handler), std::move(keep));
    // A body without bytes needs no draining: the next head is read from
    // its rest at once.
    if (pending->empty_body()) {
        io::stream_t::pointer_t rest = pending->release();
        pending.reset();
        return request_reader_t::take()->start(pending, std::move(rest), std::move(handler), std::move(keep));
    }
    drain_pending(pending, handler, [&pending, handler, keep](const io::stream_t::pointer_t& rest) {
        async_wait_request(pending, rest, handler, keep);
    });
}

void server_protocol_t::async_wait_continue(pending_body_t& pending, const io::stream_t::pointer_t& input,
                                            const continue_handler_t& handler)
{
    if (drain_pending(pending, handler, [&pending, handler](const io::stream_t::pointer_t& rest) {
            async_wait_continue(pending, rest, handler);
        }))
        return;
    pending = io::http::body_stream_t::make_chunked_decoder(input);
    boost::asio::post(input->get_executor(), [body = pending, handler] { handler(body, {}); });
}

void server_protocol_t::async_skip_body(pending_body_t& pending, const io::stream_t::pointer_t& input,
                                        const completion_t& handler)
{
    if (pending)
        return io::async_skip_all(pending, handler);
    boost::asio::post(input->get_executor(), [handler] { handler({}); });
}

void server_protocol_t::async_send_response(const std::shared_ptr<io::output_stream_t>& output,
                                            const request_pointer_t&, const response_pointer_t& response,
                                            completion_t handler, keep_t keep)
{
    // The heads go out in one send, together with a body stored whole
    // (side by side, not copied together); a body that has no bytes, or went
    // out with the heads, needs no further turn of the loop. Most answers
    // have no body: they need neither a list of pieces nor a step after the
    // send. keep goes beside the handler, held until the handler has run.
    const io::http::body_stream_t::pointer_t& body = response->body;
    if (!body || body->empty_body())
        return output->async_send(response->make_head(), std::move(handler), std::move(keep));
    io::pieces_t pieces{response->make_head()};
    if (body->take_stored_pieces(pieces)) {
        if (pieces.size() == 1)
            output->async_send(pieces.front(), std::move(handler), std::move(keep));
        else
            output->async_send_pieces(pieces, std::move(handler), std::move(keep));
        return;
    }
    // A body streamed after the heads keeps keep until its last send.
    output->async_send(pieces.front(), [output, body, keep = std::move(keep),
                                        handler = std::move(handler)](const boost::system::error_code& error) {
        if (error || body->empty_body())
            return handler(error);
        io::async_send_all(body, output, [keep, handler](const boost::system::error_code& error) { handler(error); });
    });
}

} // namespace io::icap
