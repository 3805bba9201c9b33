#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "io/completion_scope.hpp"
#include "io/recycling_allocator.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/parsers/chunked_data_parser.hpp"
#include "protocol/protocol_error.hpp"
#include "protocol/raw_body_stream.hpp"

namespace io::http {

namespace {

constexpr std::size_t max_piece = 65535;
constexpr std::size_t min_capacity = 16384;

// Turns the chunked coding of a raw stream into body chunks. A chunk is
// handed on once all its data has arrived, and chunks of more than 65535
// bytes go out in pieces of 65535 bytes as their data arrives, so that the
// pieces are the same however the reads cut the bytes. What the reads
// already brought beyond a chunk's data is parsed before the chunk goes
// out (bad framing fails the body at once); a chunk whose data ends the
// bytes read so far goes out without waiting for the next size line, which
// a sender that waits for the answer would send only later. Bytes after
// the body stay in pending for release().
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

    bool take_ready(body_t& chunks) override
    {
        for (;;) {
            if (deliverable()) {
                bool end = false;
                deliver([&chunks, &end](body_chunk_t& chunk, const boost::system::error_code& error) {
                    end = error == io::end_of_stream;
                    chunks.push_back(std::move(chunk));
                });
                if (end)
                    return true;
            } else if (empty_body()) {
                // Only the end is left (the extension and trailers of the
                // terminating chunk): it goes with what was taken, also when
                // a read handed on the last data just before.
                chunks.push_back(std::exchange(current_, body_chunk_t()));
                return true;
            } else if (pending_.empty() || parser_.status() != proto::parser_t::running || !parse_held()) {
                // The next read meets again what stopped the parse here.
                return false;
            }
        }
    }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (deliverable()) {
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
        chunk_left_ = size;
        // Data still held belongs to the previous chunk, which is whole now.
        if (current_.data.empty()) {
            current_.extensions = extension;
        } else {
            next_extension_ = extension;
            ready_ = true;
        }
    }

    void on_data(proto::chunked_data_parser_t&, const char* data, std::size_t size) override
    {
        if (size == 0)
            return;
        chunk_left_ -= static_cast<std::int64_t>(size);
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
        // Data already read is handed on as soon as the caller has returned,
        // without a turn of the loop when that caller is a completion; an
        // answer the step writes at once completes as the step returns.
        io::after_completion(get_executor(), [self = shared_from_this(), step] {
            const io::completion_scope_t scope;
            step(*self);
        });
    }

    void read(const chunk_handler_t& handler)
    {
        read_raw(shared_from_this(), [handler](chunked_decoder_t& self, const boost::system::error_code& error) {
            self.parse(handler, error);
        });
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
            if (!parse_held())
                return fail(handler, io::protocol_error);
            if (ready_ || pending_.empty()) {
                if (current_.data.size() > max_piece || ready_ || chunk_done())
                    return deliver(handler);
                return async_receive_chunk(handler);
            }
        }
    }

    // Parses the bytes held as far as the parser goes; false for bad
    // framing.
    bool parse_held()
    {
        std::size_t taken = 0;
        try {
            taken = parser_.parse(pending_.data(), pending_.size(), false);
        } catch (const proto::base_ragel_parser_t::error_t&) {
            return false;
        }
        // A parser that neither takes a byte nor ends would spin.
        if (taken == 0 && !pending_.empty() && parser_.status() == proto::parser_t::running)
            return false;
        pending_ = pending_.tail(pending_.size() - taken);
        if (parser_.status() == proto::parser_t::complete)
            ready_ = true;
        return true;
    }

    // A piece or chunk can go out without parsing further.
    bool deliverable() const
    {
        return current_.data.size() > max_piece || ready_ || (pending_.empty() && chunk_done());
    }

    // All the data of the chunk being gathered has arrived.
    bool chunk_done() const { return chunk_left_ == 0 && !current_.data.empty(); }

    void deliver(const chunk_handler_t& handler)
    {
        if (current_.data.size() > max_piece) {
            body_chunk_t piece;
            piece.data = current_.data.head(max_piece);
            current_.data = current_.data.tail(current_.data.size() - max_piece);
            capacity_ = 0;
            // A chunk's extension goes with its first piece only.
            piece.extensions = std::move(current_.extensions);
            current_.extensions.clear();
            return handler(piece, {});
        }
        const bool end = current_.data.empty() && parser_.status() == proto::parser_t::complete;
        // The handler may read on at once: the decoder holds nothing of this
        // chunk by then.
        body_chunk_t chunk = std::move(current_);
        current_ = body_chunk_t();
        current_.extensions = std::move(next_extension_);
        next_extension_.clear();
        capacity_ = 0;
        ready_ = false;
        handler(chunk, end ? io::end_of_stream : boost::system::error_code());
    }

    proto::chunked_data_parser_t parser_;
    // The data gathered of one chunk, with that chunk's extension, and
    // after the end the extension and trailers of the terminating chunk.
    body_chunk_t current_;
    // Room in current_.data's block when this decoder made it; 0 when the
    // data shares a block with others.
    std::size_t capacity_ = 0;
    // The extension of a chunk whose size line came while current_ still
    // held the data of the one before.
    std::string next_extension_;
    // current_ is to go out whole: the next size line or the end came.
    bool ready_ = false;
    std::int64_t chunk_left_ = 0;
    std::int64_t max_data_;
    std::int64_t announced_ = 0;
};

} // namespace

body_stream_t::pointer_t body_stream_t::make_chunked_decoder(const io::stream_t::pointer_t& stream,
                                                             std::int64_t max_data, const orx::buffer_t& ahead)
{
    return std::allocate_shared<chunked_decoder_t>(io::recycling_allocator_t<chunked_decoder_t>(), stream, max_data,
                                                   ahead);
}

} // namespace io::http
