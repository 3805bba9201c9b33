#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

#include "protocol/body_stream.hpp"
#include "protocol/parsers/chunked_data_parser.hpp"
#include "protocol/protocol_error.hpp"
#include "protocol/raw_body_stream.hpp"

namespace io::http {

namespace {

constexpr std::size_t max_piece = 65535;
constexpr std::size_t min_capacity = 16384;

// Turns the chunked coding of a raw stream into body chunks. A chunk is
// complete, and handed on, once the header of the following chunk (or the
// end of the trailers) has been parsed; chunks of more than 65535 bytes go
// out in pieces as their data arrives. Bytes after the body stay in pending
// for release().
class chunked_decoder_t : public raw_body_stream_base_t,
                          public std::enable_shared_from_this<chunked_decoder_t>,
                          public proto::chunked_data_parser_t::delegate_t {
public:
    chunked_decoder_t(io::stream_t::pointer_t stream, std::int64_t max_data, const orx::buffer_t& ahead)
        : raw_body_stream_base_t(std::move(stream)), parser_(this), max_data_(max_data)
    {
        pending_ = ahead;
    }

    io::stream_t::pointer_t self() override { return shared_from_this(); }

    // Read to its end but for the end itself.
    bool empty_body() const override
    {
        return parser_.status() == proto::parser_t::complete && !ready_ && current_.data.empty();
    }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (current_.data.size() > max_piece || ready_) {
            post([handler](chunked_decoder_t& self) { self.deliver(handler); });
        } else if (parser_.status() == proto::parser_t::complete) {
            post_end(handler, io::end_of_stream);
        } else if (parser_.status() == proto::parser_t::failed) {
            post_end(handler, io::protocol_error);
        } else if (!pending_.empty()) {
            post([handler](chunked_decoder_t& self) { self.parse(handler, {}); });
        } else {
            read(handler);
        }
    }

    void on_chunk(proto::chunked_data_parser_t&, std::int64_t size, const std::string& extension) override
    {
        if (max_data_ >= 0) {
            announced_ = size > std::numeric_limits<std::int64_t>::max() - announced_
                             ? std::numeric_limits<std::int64_t>::max()
                             : announced_ + size;
            if (announced_ > max_data_)
                throw proto::base_ragel_parser_t::error_t("more chunk data than announced");
        }
        current_.extensions = std::move(next_extension_);
        next_extension_ = extension;
        if (first_)
            first_ = false;
        else
            ready_ = true;
    }

    void on_data(proto::chunked_data_parser_t&, const char* data, std::size_t size) override
    {
        if (size == 0)
            return;
        std::size_t const held = current_.data.size();
        if (held == 0) {
            // The data lies in the raw read being parsed: share its block
            // rather than copy.
            current_.data = pending_.contains(data, size)
                                ? pending_.sub(static_cast<std::size_t>(data - pending_.data()), size)
                                : orx::buffer_t(data, size);
            capacity_ = 0;
            return;
        }
        // Chunk data that spans reads is gathered in a block of our own that
        // grows by doubling, so that a big chunk costs one copy per byte.
        if (capacity_ < held + size) {
            std::size_t const capacity = std::max({held + size, 2 * held, min_capacity});
            orx::buffer_t grown(capacity);
            grown.resize(held);
            std::memcpy(grown.data(), current_.data.data(), held);
            current_.data = std::move(grown);
            capacity_ = capacity;
        }
        current_.data.append(data, size);
    }

    void on_trailer_field(proto::chunked_data_parser_t&, const proto::field_t& field) override
    {
        current_.trailers.add(field.name, field.value);
    }

private:
    template <typename step_t>
    void post(step_t step)
    {
        boost::asio::post(get_executor(), [self = shared_from_this(), step] { step(*self); });
    }

    void read(const chunk_handler_t& handler)
    {
        read_raw(shared_from_this(),
                 [this, handler](const boost::system::error_code& error) { parse(handler, error); });
    }

    void fail(const chunk_handler_t& handler, const boost::system::error_code& error)
    {
        body_chunk_t chunk;
        handler(chunk, error);
    }

    void parse(const chunk_handler_t& handler, const boost::system::error_code& error)
    {
        if (error)
            return fail(handler, error == io::end_of_stream ? io::protocol_error : error);
        for (;;) {
            std::size_t taken = 0;
            try {
                taken = parser_.parse(pending_.data(), pending_.size(), false);
            } catch (const proto::base_ragel_parser_t::error_t&) {
                return fail(handler, io::protocol_error);
            }
            // A parser that neither takes a byte nor ends would spin here.
            if (taken == 0 && !pending_.empty() && parser_.status() == proto::parser_t::running)
                return fail(handler, io::protocol_error);
            pending_ = pending_.tail(pending_.size() - taken);
            if (parser_.status() == proto::parser_t::complete) {
                current_.extensions = std::move(next_extension_);
                next_extension_.clear();
                first_ = false;
                ready_ = true;
            }
            if (ready_ || pending_.empty()) {
                if (current_.data.size() > max_piece || ready_)
                    return deliver(handler);
                return async_receive_chunk(handler);
            }
        }
    }

    void deliver(const chunk_handler_t& handler)
    {
        if (current_.data.size() > max_piece) {
            body_chunk_t piece;
            piece.data = current_.data.head(max_piece);
            current_.data = current_.data.tail(current_.data.size() - max_piece);
            capacity_ = 0;
            // A chunk's extension goes with its first piece only.
            std::string& extension = ready_ ? current_.extensions : next_extension_;
            piece.extensions = std::move(extension);
            extension.clear();
            return handler(piece, {});
        }
        const bool end = current_.data.empty() && parser_.status() == proto::parser_t::complete;
        ready_ = false;
        handler(current_, end ? io::end_of_stream : boost::system::error_code());
        current_.data = {};
        capacity_ = 0;
    }

    proto::chunked_data_parser_t parser_;
    body_chunk_t current_;
    // Room in current_.data's block when this decoder made it; 0 when the
    // data shares a block with others.
    std::size_t capacity_ = 0;
    std::string next_extension_;
    bool ready_ = false;
    bool first_ = true;
    std::int64_t max_data_;
    std::int64_t announced_ = 0;
};

} // namespace

body_stream_t::pointer_t body_stream_t::make_chunked_decoder(const io::stream_t::pointer_t& stream,
                                                             std::int64_t max_data, const orx::buffer_t& ahead)
{
    return std::make_shared<chunked_decoder_t>(stream, max_data, ahead);
}

} // namespace io::http
