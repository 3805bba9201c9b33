#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/system/error_code.hpp>

#include "common/buffer.hpp"

namespace io {

// Bytes in several pieces that go out one after another, each piece
// sharing its block with whoever made it.
using pieces_t = std::vector<orx::buffer_t>;

// An asynchronous byte sink. At most one send is outstanding at a time; the
// completion runs once the whole buffer is written or the write failed, and
// never inside the call that started the send. The handler is taken by
// value: a caller that is done with its handler moves it in, and nothing it
// holds is copied on the way to the write. What a send is given to keep is
// held until its handler has run, so that a caller that has to keep
// something alive need not wrap its handler for it.
class output_stream_t {
public:
    using send_handler_t = std::function<void(const boost::system::error_code&)>;
    // Whatever must outlive a send: held until its handler has run.
    using keep_t = std::shared_ptr<const void>;

    virtual boost::asio::any_io_executor get_executor() = 0;
    virtual void async_send(const orx::buffer_t& data, send_handler_t handler, keep_t keep = nullptr) = 0;
    // One send of the pieces' bytes in order. Sinks that can write several
    // blocks at once do so without copying them together; this one joins
    // them first.
    virtual void async_send_pieces(const pieces_t& pieces, send_handler_t handler, keep_t keep = nullptr)
    {
        std::size_t size = 0;
        for (const orx::buffer_t& piece : pieces)
            size += piece.size();
        orx::buffer_t joined(size);
        joined.resize(0);
        for (const orx::buffer_t& piece : pieces)
            joined.append(piece.data(), piece.size());
        async_send(joined, std::move(handler), std::move(keep));
    }
    virtual ~output_stream_t() = default;
};

} // namespace io
