#include "protocol/icap_response.hpp"

#include <ostream>

#include "protocol/message_head.hpp"

namespace io::icap {

std::shared_ptr<response_t> response_t::make()
{
    return std::make_shared<response_t>();
}

orx::buffer_t response_t::make_head() const
{
    if (!made_head.empty())
        return made_head;
    return make_message_head(*this, req_head, res_head);
}

void response_t::keep_head()
{
    made_head = make_head();
    made_head_closes = fields.is_close();
}

bool response_t::closes_connection() const
{
    return made_head.empty() ? fields.is_close() : made_head_closes;
}

io::stream_t::pointer_t response_t::make_stream(const boost::asio::any_io_executor& executor) const
{
    return make_message_stream(executor, *this, req_head, res_head);
}

io::stream_t::pointer_t response_t::make_stream(boost::asio::io_context& context) const
{
    return make_stream(context.get_executor());
}

std::ostream& operator<<(std::ostream& out, const response_t& response)
{
    return write_response_head(out, response.version, response.code, response.reason, response.fields);
}

} // namespace io::icap
