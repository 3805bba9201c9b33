#pragma once

#include <memory>

#include <boost/filesystem/path.hpp>

#include "common/ipc_link.hpp"

namespace ic {

class inventory_t;

// Connects a local stream socket on the application's event loop to the
// socket of one of the suite's services, blocking until it is connected.
// A path longer than 107 bytes throws boost::system::system_error
// name_too_long; a failure to open or connect throws
// boost::filesystem::filesystem_error "connect" with the path.
std::shared_ptr<cf_ipc_socket_t> connect_service_socket(inventory_t& inventory, const boost::filesystem::path& path);

} // namespace ic
