#include "protocol/raw_body_stream.hpp"

namespace io::http {

io::stream_t::pointer_t raw_body_stream_base_t::release()
{
    auto result = put_back(stream_, pending_);
    pending_ = {};
    return result;
}

void raw_body_stream_base_t::read_raw(std::shared_ptr<void> keep,
                                      std::function<void(const boost::system::error_code&)> then)
{
    stream_->async_receive([this, keep = std::move(keep), then = std::move(then)](
                               const orx::buffer_t& data, const boost::system::error_code& error) mutable {
        if (data.empty() && !error)
            return read_raw(std::move(keep), std::move(then));
        pending_ = data;
        then(error);
    });
}

} // namespace io::http
