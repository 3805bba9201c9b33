// Reads ICAP queries from arbitrary bytes the way a server connection does:
// head, Encapsulated sections, encapsulated HTTP heads and the chunked body,
// query after query, with the input arriving in pieces whose size the first
// byte chooses. Every failure must be a clean error code.

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "protocol/icap_server_connection.hpp"
#include "protocol/preview.hpp"
#include "protocol/protocol_error.hpp"
#include "protocol/scripted_stream.hpp"

namespace {

class null_output_t : public io::output_stream_t {
public:
    explicit null_output_t(boost::asio::io_context& context) : executor_(context.get_executor()) {}
    boost::asio::any_io_executor get_executor() override { return executor_; }
    void async_send(const orx::buffer_t&, send_handler_t handler, keep_t keep = nullptr) override
    {
        boost::asio::post(executor_, [handler, keep] { handler({}); });
    }

private:
    boost::asio::any_io_executor executor_;
};

void check(const boost::system::error_code& error)
{
    if (error && error != io::protocol_error && error != boost::asio::error::eof)
        std::abort();
}

void next_query(const std::shared_ptr<io::icap::server_connection_t>& connection, int round)
{
    if (round == 4)
        return;
    io::async_handle_query(connection, [connection, round](const std::shared_ptr<io::icap::request_t const>& request,
                                                           const boost::system::error_code& error,
                                                           const io::icap::server_connection_t::respond_t&) {
        check(error);
        if (!request)
            return;
        std::ostringstream text;
        text << *request;
        io::icap::async_read_preview(request->body, [connection, round](io::icap::preview_t const& preview,
                                                                        boost::system::error_code const& error) {
            check(error);
            if (error || preview.ieof)
                return next_query(connection, round + 1);
            connection->async_wait_continue([connection, round](std::shared_ptr<io::http::body_stream_t> const& rest,
                                                                boost::system::error_code const& error) {
                check(error);
                if (!rest)
                    return;
                io::async_skip_all(rest, [connection, round](boost::system::error_code const& error) {
                    check(error);
                    next_query(connection, round + 1);
                });
            });
        });
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::size_t const piece = data[0] == 0 ? size : data[0];
    boost::asio::io_context context;
    auto input = std::make_shared<test::piece_stream_t>(context, orx::buffer_t(data + 1, size - 1), piece);
    auto connection = io::icap::server_connection_t::make(input, std::make_shared<null_output_t>(context));
    next_query(connection, 0);
    context.run();
    return 0;
}
