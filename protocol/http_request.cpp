#include "protocol/http_request.hpp"

#include <ostream>

#include "protocol/message_head.hpp"

namespace io::http {

std::shared_ptr<request_t> request_t::make()
{
    return std::make_shared<request_t>();
}

io::stream_t::pointer_t request_t::make_stream(const boost::asio::any_io_executor& executor) const
{
    return make_message_stream(executor, *this);
}

io::stream_t::pointer_t request_t::make_stream(boost::asio::io_context& context) const
{
    return make_stream(context.get_executor());
}

std::ostream& operator<<(std::ostream& out, const request_t& request)
{
    return write_request_head(out, request.method, request.url, request.version, request.fields);
}

} // namespace io::http
