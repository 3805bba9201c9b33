#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "io/stream.hpp"
#include "protocol/body_chunk.hpp"
#include "protocol/param_map.hpp"

namespace io::http {

// A message body read as a stream of chunks. A read completes exactly once,
// never inside the call that started it, with one of: a chunk with data and
// success; the end chunk (empty data) and end_of_stream; an empty chunk and
// another error. The chunk is owned by the stream or the operation and lives
// only until the handler returns. One read at a time.
class body_stream_t : public io::stream_t {
public:
    using pointer_t = std::shared_ptr<body_stream_t>;
    using chunk_handler_t = std::function<void(body_chunk_t&, const boost::system::error_code&)>;
    using chunk_callback_t = std::function<void(body_chunk_t&, const boost::system::error_code&)>;
    using queue_t = std::queue<pointer_t>;

    // The io::stream_t view: the data of each chunk, without extensions or
    // trailers.
    void async_receive(receive_handler_t handler) override;

    virtual void async_receive_chunk(const chunk_handler_t& handler) = 0;
    // The raw stream the body was read from, positioned just after the bytes
    // this body consumed (bytes read ahead are put back in front). Streams
    // without a raw stream return their own self(). Do not read the body
    // stream again afterwards.
    virtual io::stream_t::pointer_t release() = 0;
    // A body known to hold no more bytes (none at all, or all of them read),
    // whose reading would only bring its end: whoever would read it to its
    // end may take release() at once.
    virtual bool empty_body() const { return false; }
    // A body whose rest is stored in memory hands it over at once through
    // take_stored_pieces: the data of its remaining chunks, one piece each,
    // as a read would give them, and the stream is at its end afterwards.
    // The same for the chunks themselves: the remaining chunks are moved to
    // the end of chunks, their bytes shared, not copied. Returns false,
    // taking nothing, for a body that still has to be read.
    virtual bool take_stored_chunks(body_t&) { return false; }
    // The chunks that can be had without reading, moved to the end of
    // chunks as reads would give them, the end chunk last when it is among
    // them; returns whether it was, i.e. the body is whole in chunks. A body
    // taken part of is read on from where this stopped; bad framing met
    // here fails that next read.
    virtual bool take_ready(body_t&) { return false; }

    // Replays a stored body. Reading empties the shared list.
    static pointer_t make(const boost::asio::any_io_executor& executor, const std::shared_ptr<body_t>& body);
    static pointer_t make(boost::asio::io_context& context, const std::shared_ptr<body_t>& body);
    // The bodies of the queue one after another; their end chunks are not
    // passed on. The queue must not be empty.
    static pointer_t make(const queue_t& streams);
    static pointer_t make_concat(const pointer_t& first, const pointer_t& second);

    // The rest of the raw stream up to its end.
    static pointer_t make_direct(const io::stream_t::pointer_t& stream);
    // No body at all; the raw stream is left untouched.
    static pointer_t make_empty(const io::stream_t::pointer_t& stream);
    static pointer_t make_empty(const boost::asio::any_io_executor& executor);
    static pointer_t make_empty(boost::asio::io_context& context);
    // The next length bytes of the raw stream; a raw stream that ends before
    // gives the protocol error. A negative length gives an empty body.
    static pointer_t make_fixed_size(const io::stream_t::pointer_t& stream, std::int64_t length);

    // Chooses the framing from a head's fields: chunked, Content-Length, or
    // up to the end of the raw stream.
    static pointer_t make_for_receive(const io::stream_t::pointer_t& stream, const param_map_t& fields);
    static pointer_t make_for_send(const io::stream_t::pointer_t& stream, const param_map_t& fields,
                                   const chunk_callback_t& callback);

    // Decodes chunked coding from the raw stream. Chunks of more than 65535
    // bytes are handed on in pieces. With max_data not negative, a chunk
    // header that brings the announced data past max_data bytes fails the
    // body with the protocol error at once (a preview longer than the client
    // announced). The bytes ahead, already read from the raw stream, come
    // first.
    static pointer_t make_chunked_decoder(const io::stream_t::pointer_t& stream, std::int64_t max_data = -1,
                                          const orx::buffer_t& ahead = orx::buffer_t());
    // Encodes each raw read as one chunk (lower-case hexadecimal size). The
    // callback sees each chunk before it is encoded and may set its
    // extension and, on the end chunk, trailers. Without write_last_chunk
    // the terminating chunk is left out.
    static pointer_t make_chunked_encoder(const io::stream_t::pointer_t& stream, const chunk_callback_t& callback,
                                          bool write_last_chunk);
    // Re-encodes a body stream in chunked coding, keeping each chunk's
    // extension and the extension and trailers of its end. A read gives
    // with its chunk what the source holds already read (take_ready), its
    // end included. Over a stored body it hands over all its chunks framed
    // at once as pieces (take_stored_pieces): the data as it is, between
    // small size lines.
    static pointer_t make_chunked_closure(const pointer_t& source);
    // A stored body in chunked coding, the same bytes as the closure of its
    // replay gives, as one piece.
    static pointer_t make_chunked_encoding(const boost::asio::any_io_executor& executor, const body_t& body);

protected:
    // Posts an empty chunk with the error (the end or a failure) to the
    // stream's executor; holds only the handler.
    void post_end(const chunk_handler_t& handler, const boost::system::error_code& error);
};

// Puts bytes read ahead back in front of a raw stream: the raw stream's
// self() when there are none.
io::stream_t::pointer_t put_back(const io::stream_t::pointer_t& stream, const orx::buffer_t& pending);

using read_body_handler_t = std::function<void(const std::shared_ptr<body_t>&, const boost::system::error_code&)>;

// Reads a body stream to its end: the body (ending with its end chunk) and
// success, or the chunks read before a failure and that failure.
void async_read_body(const body_stream_t::pointer_t& stream, const read_body_handler_t& handler);
// The same, appending to body what it already holds.
void async_read_body(const body_stream_t::pointer_t& stream, const std::shared_ptr<body_t>& body,
                     const read_body_handler_t& handler);

} // namespace io::http
