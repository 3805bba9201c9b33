#include "clients/service_socket.hpp"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

#include "app/core/inventory.hpp"

namespace ic {

std::shared_ptr<cf_ipc_socket_t> connect_service_socket(inventory_t& inventory, const boost::filesystem::path& path)
{
    auto socket = std::make_shared<cf_ipc_socket_t>(inventory.io_context);
    const boost::asio::local::stream_protocol::endpoint endpoint(path.string());
    boost::system::error_code error;
    socket->open(endpoint.protocol(), error);
    if (!error)
        socket->connect(endpoint, error);
    if (error)
        throw boost::filesystem::filesystem_error("connect", path, error);
    return socket;
}

} // namespace ic
