#pragma once

#include <functional>
#include <memory>

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

    // Reads the raw stream until it brings bytes or an error, keeps the
    // bytes in pending_ and calls then with the error. keep holds the
    // stream alive meanwhile.
    void read_raw(std::shared_ptr<void> keep, std::function<void(const boost::system::error_code&)> then);

    io::stream_t::pointer_t stream_;
    orx::buffer_t pending_;
};

} // namespace io::http
