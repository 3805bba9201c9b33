#include "protocol/icap_server_connection.hpp"

#include <utility>

namespace io::icap {

server_connection_t::server_connection_t(std::shared_ptr<io::stream_t> input,
                                         std::shared_ptr<io::output_stream_t> output)
    : io::server_connection_t<server_protocol_t>(std::move(input), std::move(output))
{
}

std::shared_ptr<server_connection_t> server_connection_t::make(const std::shared_ptr<io::stream_t>& input,
                                                               const std::shared_ptr<io::output_stream_t>& output)
{
    return std::make_shared<server_connection_t>(input, output);
}

} // namespace io::icap

namespace io {

void async_handle_query(const std::shared_ptr<io::icap::server_connection_t>& connection,
                        io::icap::server_connection_t::query_callback_t callback)
{
    connection->async_wait_request(
        [connection, callback = std::move(callback)](const std::shared_ptr<io::icap::request_t const>& request,
                                                     const boost::system::error_code& error) {
            callback(request, error,
                     [connection, request](std::shared_ptr<io::icap::response_t const> const& response,
                                           std::function<void(boost::system::error_code const&)> done) {
                         connection->async_send_response(request, response, std::move(done));
                     });
        });
}

} // namespace io
