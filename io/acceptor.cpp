#include "io/acceptor.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

#include "common/log.hpp"
#include "common/what.hpp"
#include "io/resolver.hpp"

namespace io {

namespace {

constexpr int listen_backlog = 128;

template <typename Acceptor>
class impl_t : public acceptor_t, public std::enable_shared_from_this<impl_t<Acceptor>> {
    using socket_t = typename Acceptor::protocol_type::socket;

public:
    explicit impl_t(const std::shared_ptr<Acceptor>& acceptor) : acceptor_(acceptor) {}
    ~impl_t() override { close(); }

    boost::asio::any_io_executor get_executor() override { return acceptor_->get_executor(); }

    void async_accept(const connection_handler_t& handler) override
    {
        auto self = this->shared_from_this();
        auto socket = std::make_shared<socket_t>(acceptor_->get_executor());
        acceptor_->async_accept(*socket, [self, socket, handler](const boost::system::error_code& error) {
            if (error) {
                handler(nullptr, error);
                return;
            }
            std::shared_ptr<connection_t> connection;
            try {
                connection = make_connection(socket);
            } catch (const boost::system::system_error& e) {
                // A client that is already gone (or a socket that cannot
                // take its options) is this client's problem alone: drop
                // it and go on waiting for the next one, instead of
                // failing the accept, which would end the listener.
                cf_log_stream(cf_log_debug, "Accepted connection dropped: ", cf_what(e));
                self->async_accept(handler);
                return;
            }
            handler(connection, boost::system::error_code());
        });
    }

    std::shared_ptr<connection_t> accept_waiting(boost::system::error_code& error) override
    {
        // Only this call accepts synchronously; asynchronous accepts do
        // not depend on the flag.
        error.clear();
        if (!acceptor_->non_blocking())
            acceptor_->non_blocking(true, error);
        while (!error) {
            auto socket = std::make_shared<socket_t>(acceptor_->get_executor());
            acceptor_->accept(*socket, error);
            if (error)
                break;
            try {
                return make_connection(socket);
            } catch (const boost::system::system_error& e) {
                cf_log_stream(cf_log_debug, "Accepted connection dropped: ", cf_what(e));
            }
        }
        return nullptr;
    }

    void close() override
    {
        boost::system::error_code ignored;
        acceptor_->close(ignored);
    }

private:
    std::shared_ptr<Acceptor> acceptor_;
};

// Opens, sets SO_REUSEADDR, binds and listens; the first failing step stops
// the sequence, its error goes to error and the half-made socket is closed
// with its last reference.
template <typename Acceptor>
std::shared_ptr<acceptor_t> open_listening(const boost::asio::any_io_executor& executor,
                                           const typename Acceptor::endpoint_type& endpoint,
                                           boost::system::error_code& error)
{
    auto acceptor = std::make_shared<Acceptor>(executor);
    acceptor->open(endpoint.protocol(), error);
    if (!error)
        acceptor->set_option(boost::asio::socket_base::reuse_address(true), error);
    if (!error)
        acceptor->bind(endpoint, error);
    if (!error)
        acceptor->listen(listen_backlog, error);
    return error ? nullptr : acceptor_t::make(acceptor);
}

void post_listen_result(const boost::asio::any_io_executor& executor, const std::shared_ptr<acceptor_t>& acceptor,
                        const boost::system::error_code& error, const listen_handler_t& handler)
{
    boost::asio::post(executor, [acceptor, error, handler] { handler(acceptor, error); });
}

} // namespace

std::shared_ptr<connection_t> acceptor_t::accept_waiting(boost::system::error_code& error)
{
    error = boost::asio::error::would_block;
    return nullptr;
}

acceptor_t::pointer_t acceptor_t::make(const std::shared_ptr<boost::asio::ip::tcp::acceptor>& acceptor)
{
    return std::make_shared<impl_t<boost::asio::ip::tcp::acceptor>>(acceptor);
}

acceptor_t::pointer_t acceptor_t::make(const std::shared_ptr<boost::asio::local::stream_protocol::acceptor>& acceptor)
{
    return std::make_shared<impl_t<boost::asio::local::stream_protocol::acceptor>>(acceptor);
}

void async_listen(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                  const std::chrono::nanoseconds& timeout, const listen_handler_t& handler)
{
    async_resolve(executor, host, port, timeout,
                  [executor, handler](const boost::asio::ip::tcp::resolver::iterator& results,
                                      const boost::system::error_code& error) {
                      if (error) {
                          handler(nullptr, error);
                          return;
                      }
                      if (results == boost::asio::ip::tcp::resolver::iterator()) {
                          handler(nullptr, boost::asio::error::host_not_found);
                          return;
                      }
                      // Only the first address is bound.
                      boost::system::error_code listen_error;
                      auto acceptor =
                          open_listening<boost::asio::ip::tcp::acceptor>(executor, results->endpoint(), listen_error);
                      handler(acceptor, listen_error);
                  });
}

void async_listen(const boost::asio::any_io_executor& executor, const std::string& host, unsigned short port,
                  const listen_handler_t& handler)
{
    async_listen(executor, host, port, std::chrono::nanoseconds::zero(), handler);
}

void async_listen(const boost::asio::any_io_executor& executor, const boost::asio::ip::tcp& protocol,
                  unsigned short port, const listen_handler_t& handler)
{
    boost::system::error_code error;
    auto acceptor =
        open_listening<boost::asio::ip::tcp::acceptor>(executor, boost::asio::ip::tcp::endpoint(protocol, port), error);
    post_listen_result(executor, acceptor, error, handler);
}

void async_listen(const boost::asio::any_io_executor& executor, const std::string& path,
                  const listen_handler_t& handler)
{
    // Throws ENAMETOOLONG for a path that does not fit sockaddr_un.
    const boost::asio::local::stream_protocol::endpoint endpoint(path);
    boost::system::error_code error;
    auto acceptor = open_listening<boost::asio::local::stream_protocol::acceptor>(executor, endpoint, error);
    post_listen_result(executor, acceptor, error, handler);
}

void async_listen(boost::asio::io_context& context, const std::string& host, unsigned short port,
                  const std::chrono::nanoseconds& timeout, const listen_handler_t& handler)
{
    async_listen(boost::asio::any_io_executor(context.get_executor()), host, port, timeout, handler);
}

void async_listen(boost::asio::io_context& context, const std::string& host, unsigned short port,
                  const listen_handler_t& handler)
{
    async_listen(boost::asio::any_io_executor(context.get_executor()), host, port, handler);
}

void async_listen(boost::asio::io_context& context, const boost::asio::ip::tcp& protocol, unsigned short port,
                  const listen_handler_t& handler)
{
    async_listen(boost::asio::any_io_executor(context.get_executor()), protocol, port, handler);
}

void async_listen(boost::asio::io_context& context, const std::string& path, const listen_handler_t& handler)
{
    async_listen(boost::asio::any_io_executor(context.get_executor()), path, handler);
}

} // namespace io
