#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <queue>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "common/buffer.hpp"
#include "io/inline_function.hpp"
#include "io/output_stream.hpp"

namespace io {

// The end of a stream: a receive completes with an empty buffer and this
// error (boost::asio::error::eof). Readers recognise the end by comparing
// the received error with it.
extern const boost::system::error_code end_of_stream;

// An asynchronous byte source. At most one receive is outstanding at a time;
// the next one is issued from the completion of the previous one. A
// completion never runs inside the call that started its receive. After the
// last piece every receive completes with an empty buffer and
// end_of_stream. A piece of zero bytes with success may occur and means
// "no data yet".
class stream_t {
public:
    // A handler that holds its reader and a pointer or two needs no
    // allocation.
    using receive_handler_t = inline_function_t<void(const orx::buffer_t&, const boost::system::error_code&)>;
    using pointer_t = std::shared_ptr<stream_t>;
    using queue_t = std::queue<pointer_t, std::deque<pointer_t>>;

    virtual boost::asio::any_io_executor get_executor() = 0;
    // The handler is taken by value: a stream that keeps it until the
    // receive completes takes it over rather than copying all it holds.
    virtual void async_receive(receive_handler_t handler) = 0;
    // The stream that actually serves reads from now on: normally this
    // stream, but a chain that is down to its last element hands out that
    // element, so that layers of wrappers do not pile up.
    virtual pointer_t self() = 0;
    // A stream whose rest is stored in memory hands it over at once, as
    // pieces that share its bytes, and is at its end afterwards. Returns
    // false, taking nothing, for a stream that still has to be read.
    virtual bool take_stored_pieces(pieces_t&) { return false; }
    virtual ~stream_t() = default;

    // A stream that yields data in one piece (nothing for an empty buffer)
    // and then ends. The bytes are shared, not copied.
    static pointer_t make(const boost::asio::any_io_executor& executor, const orx::buffer_t& data);
    static pointer_t make(boost::asio::io_context& context, const orx::buffer_t& data);
    // A stream that yields the streams of the queue one after another; the
    // ends of the inner streams are not seen by the reader. The queue must
    // not be empty (std::invalid_argument); a queue of one stream gives that
    // stream's self().
    static pointer_t make(const queue_t& streams);
    // first, then second; with one of them empty the other's self(); with
    // both empty an empty pointer.
    static pointer_t make_concat(const pointer_t& first, const pointer_t& second);
};

using completion_t = std::function<void(const boost::system::error_code&)>;
using read_all_handler_t = stream_t::receive_handler_t;

// Reads the stream to its end and discards it: success at the end, else the
// first receive error.
void async_skip_all(const std::shared_ptr<stream_t>& stream, const completion_t& handler);

// Copies the stream into output piece by piece (empty pieces are not sent),
// or in one send when its rest is stored: success once the stream ended,
// else the first receive or send error, as it came.
void async_send_all(const std::shared_ptr<stream_t>& stream, const std::shared_ptr<output_stream_t>& output,
                    const completion_t& handler);

// Collects the stream into one buffer: all bytes and success at the end,
// else the bytes read so far and the first receive error.
void async_read_all(const std::shared_ptr<stream_t>& stream, const read_all_handler_t& handler);

} // namespace io
