#include "protocol/raw_body_stream.hpp"

namespace io::http {

io::stream_t::pointer_t raw_body_stream_base_t::release()
{
    auto result = put_back(stream_, pending_);
    pending_ = {};
    return result;
}

} // namespace io::http
