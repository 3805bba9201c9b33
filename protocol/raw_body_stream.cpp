#include "protocol/raw_body_stream.hpp"

namespace io::http {

io::stream_t::pointer_t raw_body_stream_base_t::release() {
    auto result = put_back(stream_, pending_);
    pending_ = {};
    return result;
}

void raw_body_stream_base_t::read_raw(std::shared_ptr<void> keep,
                                      std::function<void(boost::system::error_code const&)> then) {
    stream_->async_receive([this, keep = std::move(keep), then = std::move(then)](
                               orx::buffer_t const& data, boost::system::error_code const& error) mutable {
        if (data.empty() && !error)
            return read_raw(std::move(keep), std::move(then));
        pending_ = data;
        then(error);
    });
}

}  // namespace io::http
