#pragma once

#include <memory>
#include <utility>

#include "io/stream.hpp"
#include "protocol/body_stream.hpp"

namespace io::http {

// Base of the body streams that read a raw stream and may hold bytes read
// ahead of the body: release() puts those back in front of the raw stream.
class raw_body_stream_base_t : public body_stream_t {
public:
    boost::asio::any_io_executor get_executor() override { return stream_->get_executor(); }
    io::stream_t::pointer_t release() override;

protected:
    explicit raw_body_stream_base_t(io::stream_t::pointer_t stream) : stream_(std::move(stream)) {}

    // Reads the raw stream of self until it brings bytes or an error, keeps
    // the bytes in pending_ and calls then(*self, error). The step of the
    // read holds self and then in one piece, which costs one allocation per
    // read.
    template <typename self_t, typename then_t>
    static void read_raw(std::shared_ptr<self_t> self, then_t then)
    {
        io::stream_t& stream = *self->stream_;
        stream.async_receive([self = std::move(self), then = std::move(then)](
                                 const orx::buffer_t& data, const boost::system::error_code& error) mutable {
            if (data.empty() && !error)
                return read_raw(std::move(self), std::move(then));
            self->pending_ = data;
            then(*self, error);
        });
    }

    io::stream_t::pointer_t stream_;
    orx::buffer_t pending_;
};

} // namespace io::http
