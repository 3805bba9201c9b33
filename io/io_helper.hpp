#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "common/buffer.hpp"
#include "io/completion_scope.hpp"
#include "io/connection.hpp"
#include "io/deadline.hpp"
#include "io/edge_wait.hpp"
#include "io/handler_room.hpp"
#include "io/receive_pool.hpp"

namespace io::detail {

// The common part of every connection implementation: the receive buffer,
// the receive and send time-outs, and receives and sends each optionally
// bounded by a deadline whose passing closes the whole connection (one for
// all receives and one for all sends, so that an operation that completes
// in time costs no timer of its own). Impl
// derives from this and names the streams it reads and writes:
// receive_stream() and send_stream(), which this class may call.
template <typename Impl>
class io_helper_t : public connection_t,
                    public std::enable_shared_from_this<Impl>,
                    private completion_scope_t::member_t {
public:
    // Receive blocks start small and grow while reads fill them, so that a
    // body that streams in takes few reads while small queries keep small
    // blocks.
    static constexpr std::size_t min_receive_size = 8192;
    static constexpr std::size_t max_receive_size = 65536;

    stream_t::pointer_t self() override { return this->shared_from_this(); }

    // Apply to the operations started afterwards.
    void set_receive_timeout(const std::chrono::nanoseconds& timeout) override { receive_timeout_ = timeout; }
    void set_send_timeout(const std::chrono::nanoseconds& timeout) override { send_timeout_ = timeout; }

    void async_receive(stream_t::receive_handler_t handler) override
    {
        receive_from(impl().receive_stream(), std::move(handler));
    }

    void async_send(const orx::buffer_t& data, output_stream_t::send_handler_t handler,
                    output_stream_t::keep_t keep = nullptr) override
    {
        send_to(impl().send_stream(), data, std::move(handler), std::move(keep));
    }

    void async_send_pieces(const pieces_t& pieces, output_stream_t::send_handler_t handler,
                           output_stream_t::keep_t keep = nullptr) override
    {
        send_to(impl().send_stream(), pieces, std::move(handler), std::move(keep));
    }

private:
    Impl& impl() noexcept { return static_cast<Impl&>(*this); }

    // Each receive and send takes the time-out in force when it starts.
    // The handler is moved along, not copied with all it holds.
    template <typename Stream>
    void receive_from(Stream& stream, stream_t::receive_handler_t handler)
    {
        auto self = this->shared_from_this();
        // A read that ended without bytes (the peer's end, a reset) leaves
        // the stream in its final state: asking again cannot bring data. It
        // is not only useless: the event loop has already consumed the one
        // readiness event that state produces, so a further read would
        // never complete. Every later receive gets the same outcome instead,
        // until the connection is closed (then the read fails at once with
        // bad_descriptor).
        if (final_error_ && lowest_layer_open(stream)) {
            boost::asio::post(stream.get_executor(), [self = std::move(self), handler = std::move(handler),
                                                      error = final_error_] { handler(orx::buffer_t(), error); });
            return;
        }
        const bool open = lowest_layer_open(stream);
        if constexpr (waitable<Stream>) {
            // Bytes may already be there: read them on the loop's next turn
            // rather than inside this call. Otherwise the receive waits for
            // readiness without holding a receive block.
            if (!open) {
                boost::asio::post(stream.get_executor(), [self = std::move(self), handler = std::move(handler)] {
                    handler(orx::buffer_t(), boost::asio::error::bad_descriptor);
                });
                return;
            }
            guard(stream, receive_deadline_, receive_timeout_);
            if (readable_) {
                boost::asio::post(
                    stream.get_executor(),
                    [this, &stream, pending = pending_t{std::move(self), std::move(handler), open}]() mutable {
                        read_now(stream, std::move(pending));
                    });
                return;
            }
            receive_pool_t::give_back(buffer_, block_size_);
            watch(stream, pending_t{std::move(self), std::move(handler), open});
        } else {
            // prepare() gives a block no one else sees: bytes handed out by
            // an earlier receive and still held stay intact, and a block let
            // go of is reused.
            guard(stream, receive_deadline_, receive_timeout_);
            block_size_ = receive_size_;
            buffer_.prepare(block_size_);
            stream.async_read_some(boost::asio::buffer(buffer_.data(), buffer_.size()),
                                   [this, pending = pending_t{std::move(self), std::move(handler), open}](
                                       const boost::system::error_code& error, std::size_t n) mutable {
                                       complete(std::move(pending), error, n);
                                   });
        }
    }

    // Sends one buffer (orx::buffer_t) or several in order (pieces_t), the
    // latter written together without being copied into one block. Only
    // bytes left for a later write are kept, by reference to their blocks.
    template <typename Stream, typename Bytes>
    void send_to(Stream& stream, const Bytes& bytes, output_stream_t::send_handler_t handler,
                 output_stream_t::keep_t keep)
    {
        auto self = this->shared_from_this();
        // A failed write leaves the connection unable to send (a reset, a
        // broken pipe), and as with a final read the event loop may never
        // try a later write. Later sends get the same error, until the
        // connection is closed (then they fail at once with bad_descriptor).
        if (send_error_ && lowest_layer_open(stream)) {
            boost::asio::post(stream.get_executor(),
                              finished_send(std::move(self), std::move(handler), std::move(keep), send_error_));
            return;
        }
        std::size_t written = 0;
        if constexpr (waitable<Stream>) {
            // The bytes are written at once. Inside a completion scope (a
            // receive completion opens one) the send's completion runs as
            // soon as that scope closes: not inside this call, and without a
            // further turn of the event loop; elsewhere it runs on the loop's
            // next turn. What does not fit now is written as below.
            if (!finished_send_) {
                boost::system::error_code error;
                written = write_now(stream, bytes, error);
                if (error != boost::asio::error::would_block) {
                    if (error)
                        send_error_ = error;
                    if (completion_scope_t::open()) {
                        finished_send_ = std::move(handler);
                        finished_send_keep_ = std::move(keep);
                        finished_send_error_ = error;
                        completion_scope_t::enlist(std::shared_ptr<completion_scope_t::member_t>(
                            std::move(self), static_cast<completion_scope_t::member_t*>(this)));
                    } else {
                        // Deferred rather than posted: started from a
                        // completion, it joins this thread's own queue and
                        // costs no lock of the shared one.
                        boost::asio::defer(stream.get_executor(), finished_send(std::move(self), std::move(handler),
                                                                                std::move(keep), error));
                    }
                    return;
                }
            }
        }
        guard(stream, send_deadline_, send_timeout_);
        // The pending write holds its own reference to the bytes, so the
        // caller may let go of its buffers. The write's completion never
        // runs inside this call (the event loop posts even a write that
        // finished at once), so the caller's completion runs straight from
        // it. The handler is moved along, not copied with all it holds.
        Bytes rest = bytes;
        if (written != 0)
            consume(rest, written);
        const auto buffers = sequence(rest);
        boost::asio::async_write(stream, buffers,
                                 [this, self = std::move(self), handler = std::move(handler), keep = std::move(keep),
                                  rest = std::move(rest),
                                  open = lowest_layer_open(stream)](boost::system::error_code error, std::size_t) {
                                     if (send_deadline_)
                                         send_deadline_->lift();
                                     error = ended_by_close(error, open);
                                     if (error)
                                         send_error_ = error;
                                     handler(error);
                                 });
    }

    // A plain socket or descriptor: it can wait for readiness and read
    // without blocking. A TLS stream cannot (its library may hold
    // decrypted bytes the socket no longer shows).
    template <typename Stream>
    static constexpr bool waitable = requires(Stream& stream, boost::system::error_code& error)
    {
        stream.async_wait(Stream::wait_read, [](const boost::system::error_code&) {});
        stream.non_blocking(true, error);
    };

    // Bytes kept with a readiness wait for the event loop's record of it.
    static constexpr std::size_t room_size = 256;

    // The receive in progress.
    struct pending_t {
        std::shared_ptr<Impl> self;
        stream_t::receive_handler_t handler;
        // Whether the connection was open when the receive started.
        bool open = false;
    };

    // The slot of the outstanding readiness wait: the receive waiting for
    // it, if any. The wait's completion owns the slot, so the receive (and
    // the connection it holds) goes when the event loop drops the wait
    // unrun, and the connection only sees the slot.
    struct watch_t {
        pending_t pending;
        // The event loop's record of the wait comes and goes with every
        // wait: kept with the slot, it costs no allocation per query.
        handler_room_t<room_size> room;
    };

    // The completion of a readiness wait. It holds the slot, and the event
    // loop keeps its record of the wait in the slot's room.
    template <typename Stream>
    struct readiness_t {
        using allocator_type = typename handler_room_t<room_size>::template allocator_t<void>;

        allocator_type get_allocator() const noexcept { return slot->room.allocator(); }

        void operator()(const boost::system::error_code& error)
        {
            const auto self = weak.lock();
            if (!self)
                return;
            self->on_readable(*stream, std::move(slot), error);
        }

        std::weak_ptr<Impl> weak;
        std::shared_ptr<watch_t> slot;
        Stream* stream;
    };

    // Keeps one readiness wait outstanding while nothing is known to be
    // there to read, so that no readiness event the loop reports between
    // two receives is missed; a receive that has to wait joins it. Without
    // a receive the wait does not keep the connection alive. The slot of a
    // finished wait is kept, empty, for the next one: a connection waits
    // once per query.
    //
    // After a read that drained the stream, in the same handler, the wait
    // can rely on the next edge the loop reports (see edge_wait.hpp);
    // otherwise it asks the loop to check the stream again.
    template <typename Stream>
    void watch(Stream& stream, pending_t pending = pending_t(), bool drained = false)
    {
        if (const auto current = watch_.lock()) {
            if (pending.self)
                current->pending = std::move(pending);
            return;
        }
        std::shared_ptr<watch_t> slot = std::move(spare_slot_);
        if (!slot || slot.use_count() != 1)
            slot = std::make_shared<watch_t>();
        slot->pending = std::move(pending);
        watch_ = slot;
        // The completion passes its slot on, so that the slot is free to be
        // kept once the receive has been taken out of it.
        readiness_t<Stream> readiness{this->weak_from_this(), std::move(slot), &stream};
        if constexpr (requires { async_wait_edge(stream, std::move(readiness), edge_wait_memo_); }) {
            if (drained) {
                async_wait_edge(stream, std::move(readiness), edge_wait_memo_);
                return;
            }
        }
        stream.async_wait(Stream::wait_read, std::move(readiness));
    }

    template <typename Stream>
    void on_readable(Stream& stream, std::shared_ptr<watch_t> slot, const boost::system::error_code& error)
    {
        watch_.reset();
        if (!error)
            readable_ = true;
        // Empty before it is kept: a kept slot holds no receive, and so
        // never the connection that keeps it.
        pending_t pending = std::move(slot->pending);
        slot->pending = pending_t();
        spare_slot_ = std::move(slot);
        if (!pending.self)
            return;
        if (error)
            complete(std::move(pending), error, 0);
        else
            read_now(stream, std::move(pending));
    }

    // One read without waiting. A stream with nothing there after all goes
    // back to waiting; one that filled the block may hold more.
    template <typename Stream>
    void read_now(Stream& stream, pending_t&& pending)
    {
        receive_pool_t::give_back(buffer_, block_size_);
        block_size_ = receive_size_;
        buffer_ = receive_pool_t::take(block_size_);
        boost::system::error_code error;
        if (!stream.non_blocking())
            stream.non_blocking(true, error);
        std::size_t n = 0;
        if (!error)
            n = stream.read_some(boost::asio::buffer(buffer_.data(), buffer_.size()), error);
        if (error == boost::asio::error::would_block) {
            readable_ = false;
            receive_pool_t::give_back(buffer_, block_size_);
            watch(stream, std::move(pending), true);
            return;
        }
        readable_ = !error && n == block_size_;
        if (!readable_ && !error)
            watch(stream, pending_t(), true);
        complete(std::move(pending), error, n, true);
    }

    // With pooled, the block goes back to the pool once the handler has
    // returned and no one kept a slice of it: the next receive of this
    // connection, or another connection's, reads into the same block, so
    // that many busy connections need no more blocks than the loop reads
    // at once, rather than one each until their next receive starts. A
    // block of which a slice is still held stays, and goes back at the
    // next receive should it be free by then.
    void complete(pending_t&& pending, boost::system::error_code error, std::size_t n, bool pooled = false)
    {
        if (receive_deadline_)
            receive_deadline_->lift();
        error = ended_by_close(error, pending.open);
        fit_receive_size(n);
        buffer_.resize(n);
        if (error && n == 0)
            final_error_ = error;
        if (!pooled) {
            pending.handler(buffer_, error);
            return;
        }
        // A send written at once while the handler ran completes as the
        // scope closes; its completion may write the next one at once in
        // turn.
        const completion_scope_t scope;
        pending.handler(buffer_, error);
        if (buffer_.unique())
            receive_pool_t::give_back(buffer_, block_size_);
    }

    void complete_now() override
    {
        const output_stream_t::send_handler_t handler = std::exchange(finished_send_, nullptr);
        const output_stream_t::keep_t keep = std::move(finished_send_keep_);
        handler(finished_send_error_);
    }

    void complete_later() override
    {
        boost::asio::post(get_executor(), finished_send(this->shared_from_this(), std::exchange(finished_send_, nullptr),
                                                        std::move(finished_send_keep_), finished_send_error_));
    }

    // The completion of a send that has its outcome, for the event loop to
    // run: it keeps the connection and what the send was given to keep.
    static auto finished_send(std::shared_ptr<Impl> self, output_stream_t::send_handler_t handler,
                              output_stream_t::keep_t keep, boost::system::error_code error)
    {
        return [self = std::move(self), handler = std::move(handler), keep = std::move(keep), error] {
            handler(error);
        };
    }

    // A read that filled its block may have left more behind: the next
    // block is twice as large. Only a run of reads that used little of
    // their block makes it smaller again, so that a connection whose
    // queries each end in a short read keeps the size their bulk needs.
    void fit_receive_size(std::size_t n)
    {
        if (n == 0)
            return;
        if (n == block_size_) {
            receive_size_ = std::min(2 * block_size_, max_receive_size);
            short_reads_ = 0;
        } else if (n > receive_size_ / 4) {
            short_reads_ = 0;
        } else if (receive_size_ > min_receive_size && ++short_reads_ == shrink_after) {
            receive_size_ /= 2;
            short_reads_ = 0;
        }
    }

    // The bytes of a send from the offset from on, as the socket writes
    // them.
    static boost::asio::const_buffer sequence(const orx::buffer_t& data, std::size_t from = 0)
    {
        return boost::asio::buffer(data.data() + from, data.size() - from);
    }
    static std::vector<boost::asio::const_buffer> sequence(const pieces_t& pieces, std::size_t from = 0)
    {
        std::vector<boost::asio::const_buffer> buffers;
        buffers.reserve(pieces.size());
        for (const orx::buffer_t& piece : pieces) {
            if (from >= piece.size()) {
                from -= piece.size();
                continue;
            }
            buffers.push_back(boost::asio::buffer(piece.data() + from, piece.size() - from));
            from = 0;
        }
        return buffers;
    }

    static std::size_t size_of(const orx::buffer_t& data) { return data.size(); }
    static std::size_t size_of(const pieces_t& pieces)
    {
        std::size_t size = 0;
        for (const orx::buffer_t& piece : pieces)
            size += piece.size();
        return size;
    }

    // Drops the first n bytes, which have been written.
    static void consume(orx::buffer_t& data, std::size_t n) { data = data.tail(data.size() - n); }
    static void consume(pieces_t& pieces, std::size_t n)
    {
        auto piece = pieces.begin();
        for (; piece != pieces.end() && n >= piece->size(); ++piece)
            n -= piece->size();
        pieces.erase(pieces.begin(), piece);
        if (n != 0)
            consume(pieces.front(), n);
    }

    // Writes as much of bytes as the socket takes without waiting and
    // returns how much; the error is would_block when some is left.
    template <typename Stream, typename Bytes>
    static std::size_t write_now(Stream& stream, const Bytes& bytes, boost::system::error_code& error)
    {
        if (!stream.non_blocking())
            stream.non_blocking(true, error);
        const std::size_t size = size_of(bytes);
        std::size_t written = 0;
        while (!error && written < size)
            written += stream.write_some(sequence(bytes, written), error);
        return written;
    }

    // A write of a whole buffer, and a TLS read, are several operations on
    // the socket one after another. A close between two of them makes the
    // next one fail with bad_descriptor; for the caller it is still the
    // close that ended its pending operation, reported as operation_aborted.
    // An operation started on a closed connection keeps bad_descriptor.
    static boost::system::error_code ended_by_close(const boost::system::error_code& error, bool open_at_start)
    {
        if (open_at_start && error == boost::asio::error::bad_descriptor)
            return boost::asio::error::operation_aborted;
        return error;
    }

    template <typename Stream>
    static bool lowest_layer_open(Stream& stream)
    {
        if constexpr (requires { stream.lowest_layer(); })
            return stream.lowest_layer().is_open();
        else
            return stream.is_open();
    }

    // Sets the deadline of the operation that starts, made at its first
    // use; a time-out of zero sets none.
    template <typename Stream>
    void guard(Stream& stream, deadline_t::pointer_t& deadline, const std::chrono::nanoseconds& timeout)
    {
        if (timeout == std::chrono::nanoseconds::zero()) {
            if (deadline)
                deadline->lift();
            return;
        }
        if (!deadline)
            deadline =
                deadline_t::make(boost::asio::any_io_executor(stream.get_executor()), [weak = this->weak_from_this()] {
                    if (const auto self = weak.lock())
                        static_cast<connection_t&>(*self).close();
                });
        deadline->set(timeout);
    }

    orx::buffer_t buffer_;
    // The size buffer_ was taken with, and the size of the next block.
    std::size_t block_size_ = min_receive_size;
    std::size_t receive_size_ = min_receive_size;
    // Reads in a row that used at most a quarter of a block.
    static constexpr unsigned shrink_after = 8;
    unsigned short_reads_ = 0;
    std::weak_ptr<watch_t> watch_;
    std::shared_ptr<watch_t> spare_slot_;
    edge_wait_memo_t edge_wait_memo_;
    // The completion of the send written at once inside a completion
    // scope, what it keeps, and its outcome.
    output_stream_t::send_handler_t finished_send_;
    output_stream_t::keep_t finished_send_keep_;
    boost::system::error_code finished_send_error_;
    // Bytes may be there to read without waiting: at the start, after a
    // read that filled the block, and after readiness was reported.
    bool readable_ = true;
    // The error of the read that ended without bytes; success until then.
    boost::system::error_code final_error_;
    // The error of the first failed send; success until then.
    boost::system::error_code send_error_;
    std::chrono::nanoseconds receive_timeout_{0};
    std::chrono::nanoseconds send_timeout_{0};
    deadline_t::pointer_t receive_deadline_;
    deadline_t::pointer_t send_deadline_;
};

} // namespace io::detail
