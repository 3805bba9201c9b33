#include "io/connection.hpp"

#include <cerrno>

#include "io/connection_impl.hpp"
#include "io/tls_connection.hpp"

namespace io {

const boost::system::error_code unsupported_operation(EOPNOTSUPP, boost::system::system_category());

namespace detail {

void post_unsupported(const boost::asio::any_io_executor& executor, const connection_handler_t& handler)
{
    boost::asio::post(executor, [handler] { handler(nullptr, unsupported_operation); });
}

template class impl_t<tcp_socket_t>;
template class impl_t<local_socket_t>;
template class ssl_impl_t<tcp_connection_t>;
template class ssl_impl_t<local_connection_t>;

} // namespace detail

std::shared_ptr<connection_t> make_connection(const std::shared_ptr<tcp_socket_t>& socket)
{
    // Made first, so that a failing set_option leaves the socket closed by
    // the connection's destructor.
    auto connection = std::make_shared<detail::tcp_connection_t>(socket);
    socket->set_option(boost::asio::ip::tcp::no_delay(true));
    return connection;
}

std::shared_ptr<connection_t> make_connection(const std::shared_ptr<local_socket_t>& socket)
{
    return std::make_shared<detail::local_connection_t>(socket);
}

std::shared_ptr<connection_t> make_connection(const std::shared_ptr<descriptor_t>& input,
                                              const std::shared_ptr<descriptor_t>& output)
{
    return std::make_shared<detail::descriptor_connection_t>(input, output);
}

} // namespace io
