#pragma once

#include <cstddef>
#include <memory>

#include <boost/asio/any_io_executor.hpp>

#include "clients/vetter_connection.hpp"
#include "io/stream.hpp"
#include "protocol/body_stream.hpp"

namespace ic {

// The bytes Vetter returns for one job: each read asks the connection for
// the job's data, and destroying the stream ends the job. The stream never
// keeps the connection alive.
//
// After a failed scan the stream may stand on the bytes the connection kept
// instead: when Vetter cannot return anything any more (the link failed or
// the connection is gone) before a single returned byte was read, the kept
// bytes are what Vetter had received.
class vetter_stream_t : public io::stream_t, public std::enable_shared_from_this<vetter_stream_t> {
public:
    using connection_t = std::weak_ptr<vetter_connection_t>;
    using buffer_t = std::shared_ptr<vetter_connection_t::receive_buffer_t>;

    // The job's returned bytes in chunked coding. Without `more` they end
    // with the terminating chunk and the sent body's trailers; with it the
    // encoding stops short of that, so that more body can follow.
    static std::shared_ptr<io::http::body_stream_t> make(const boost::asio::any_io_executor& executor,
                                                         const connection_t& connection, unsigned job,
                                                         const buffer_t& buffer, bool more);
    // The whole body after a failed scan, in chunked coding: what Vetter
    // received, the chunk that never reached it, then, when the body had
    // not ended, the rest of it as `body` decodes it, ending with its end.
    static std::shared_ptr<io::http::body_stream_t>
    make_after_failure(const boost::asio::any_io_executor& executor, const connection_t& connection, unsigned job,
                       const buffer_t& buffer, const std::shared_ptr<io::http::body_stream_t>& body);

    vetter_stream_t(boost::asio::any_io_executor executor, connection_t connection, unsigned job, buffer_t buffer);
    // Ends the job while the connection exists.
    ~vetter_stream_t() override;

    boost::asio::any_io_executor get_executor() override { return executor_; }
    void async_receive(receive_handler_t handler) override;
    io::stream_t::pointer_t self() override { return shared_from_this(); }

private:
    bool vetter_usable() const;
    void on_returned(const orx::buffer_t& data, const boost::system::error_code& error,
                     const receive_handler_t& handler);
    // Bytes from Vetter reach the reader: the kept copy is not needed any
    // more.
    void take_returned();
    void serve_kept(const receive_handler_t& handler);
    void post(const receive_handler_t& handler, const orx::buffer_t& data, const boost::system::error_code& error);

    boost::asio::any_io_executor executor_;
    connection_t connection_;
    unsigned job_;
    buffer_t buffer_;
    bool returned_ = false;
    bool serving_kept_ = false;
    std::size_t next_kept_ = 0;
};

} // namespace ic
