#include "io/acceptor.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "io/io_test.hpp"

namespace {

using namespace std::chrono_literals;
using boost::system::error_code;
using io_test::receive;
using io_test::run_until;
using io_test::send;
using tcp = boost::asio::ip::tcp;
using local = boost::asio::local::stream_protocol;

struct listened_t {
    std::shared_ptr<io::acceptor_t> acceptor;
    error_code error;
    int calls = 0;
};

class acceptor_test : public ::testing::Test {
protected:
    std::shared_ptr<io_test::handed_t> start_accept(const std::shared_ptr<io::acceptor_t>& acceptor)
    {
        return io_test::start_handing([&](auto handler) { acceptor->async_accept(handler); });
    }

    io::listen_handler_t record(const std::shared_ptr<listened_t>& result)
    {
        return [result](const std::shared_ptr<io::acceptor_t>& acceptor, const error_code& error) {
            ++result->calls;
            result->acceptor = acceptor;
            result->error = error;
        };
    }

    template <typename Start>
    listened_t listen(Start start)
    {
        auto result = std::make_shared<listened_t>();
        start(record(result));
        EXPECT_EQ(result->calls, 0) << "completion ran inside the call";
        run_until(context, [&] { return result->calls > 0; });
        EXPECT_EQ(result->calls, 1);
        return *result;
    }

    std::shared_ptr<tcp::acceptor> loopback_listener()
    {
        auto acceptor =
            std::make_shared<tcp::acceptor>(context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        return acceptor;
    }

    // A port that was free a moment ago.
    unsigned short free_port() { return loopback_listener()->local_endpoint().port(); }

    boost::asio::io_context context;
    io_test::scratch_directory_t directory;
};

TEST_F(acceptor_test, accepts_tcp_clients_one_per_call)
{
    auto listener = loopback_listener();
    auto acceptor = io::acceptor_t::make(listener);
    for (const char* text : {"first", "second"}) {
        auto accepted = start_accept(acceptor);
        tcp::socket client(context);
        client.connect(listener->local_endpoint());
        ASSERT_TRUE(run_until(context, [&] { return accepted->calls > 0; }));
        EXPECT_EQ(accepted->calls, 1);
        ASSERT_FALSE(accepted->error) << accepted->error.message();
        ASSERT_TRUE(accepted->connection);

        boost::asio::write(client, boost::asio::buffer(std::string(text)));
        EXPECT_EQ(receive(context, accepted->connection).data.str(), text);
    }
}

TEST_F(acceptor_test, close_aborts_a_pending_accept)
{
    auto acceptor = io::acceptor_t::make(loopback_listener());
    auto accepted = start_accept(acceptor);
    acceptor->close();
    acceptor->close();
    ASSERT_TRUE(run_until(context, [&] { return accepted->calls > 0; }));
    EXPECT_EQ(accepted->error, boost::asio::error::operation_aborted);
    EXPECT_EQ(accepted->connection, nullptr);

    // An accept started afterwards fails through its completion.
    auto later = start_accept(acceptor);
    ASSERT_TRUE(run_until(context, [&] { return later->calls > 0; }));
    EXPECT_EQ(later->error, boost::asio::error::bad_descriptor);
    EXPECT_EQ(later->connection, nullptr);
}

TEST_F(acceptor_test, last_reference_closes_the_listening_socket)
{
    auto listener = loopback_listener();
    io::acceptor_t::make(listener).reset();
    EXPECT_FALSE(listener->is_open());
}

TEST_F(acceptor_test, client_whose_socket_cannot_take_nodelay_is_dropped_alone)
{
    // A local listening socket handled as TCP: every accepted socket refuses
    // the TCP option. Each such client is closed and the accept goes on
    // waiting; the completion only runs for the close.
    const std::string path = directory.file("dressed");
    local::acceptor real(context, local::endpoint(path));
    auto listener = std::make_shared<tcp::acceptor>(context);
    listener->assign(tcp::v4(), ::dup(real.native_handle()));
    real.close();
    auto acceptor = io::acceptor_t::make(listener);
    auto accepted = start_accept(acceptor);

    for (int i = 0; i < 2; ++i) {
        auto client = std::make_shared<local::socket>(context);
        client->connect(local::endpoint(path));
        auto peer = io::make_connection(client);
        EXPECT_EQ(receive(context, peer).error, io::end_of_stream) << "client " << i;
        EXPECT_EQ(accepted->calls, 0);
    }
    acceptor->close();
    ASSERT_TRUE(run_until(context, [&] { return accepted->calls > 0; }));
    EXPECT_EQ(accepted->calls, 1);
    EXPECT_EQ(accepted->error, boost::asio::error::operation_aborted);
}

TEST_F(acceptor_test, listen_by_host_or_protocol_accepts_clients)
{
    using start_t = std::function<void(unsigned short, io::listen_handler_t)>;
    const std::pair<const char*, start_t> ways[] = {
        {"127.0.0.1", [&](auto port, auto h) { io::async_listen(context, "127.0.0.1", port, 5s, h); }},
        {"localhost", [&](auto port, auto h) { io::async_listen(context, "localhost", port, h); }},
        {"any IPv4", [&](auto port, auto h) { io::async_listen(context, tcp::v4(), port, h); }},
    };
    for (const auto& [name, start] : ways) {
        const auto port = free_port();
        auto listened = listen([&](auto handler) { start(port, handler); });
        ASSERT_FALSE(listened.error) << name << ": " << listened.error.message();
        ASSERT_TRUE(listened.acceptor);
        auto accepted = start_accept(listened.acceptor);
        tcp::socket client(context);
        client.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
        ASSERT_TRUE(run_until(context, [&] { return accepted->calls > 0; })) << name;
        EXPECT_TRUE(accepted->connection) << name;
    }
}

TEST_F(acceptor_test, listen_by_unknown_host_reports_the_resolver_error)
{
    auto listened = listen([&](auto handler) { io::async_listen(context, io_test::unresolvable_host(), 0, handler); });
    EXPECT_EQ(listened.error, boost::asio::error::host_not_found);
    EXPECT_EQ(listened.acceptor, nullptr);
}

TEST_F(acceptor_test, listen_on_a_port_in_use_fails)
{
    auto busy = loopback_listener();
    const auto port = busy->local_endpoint().port();
    auto listened = listen([&](auto handler) { io::async_listen(context, "127.0.0.1", port, handler); });
    EXPECT_EQ(listened.error, boost::asio::error::address_in_use);
    EXPECT_EQ(listened.acceptor, nullptr);
}

TEST_F(acceptor_test, listen_on_a_path_and_accept_local_clients)
{
    const std::string path = directory.path_of_length(107);
    auto listened = listen([&](auto handler) { io::async_listen(context, path, handler); });
    ASSERT_FALSE(listened.error) << listened.error.message();
    auto accepted = start_accept(listened.acceptor);
    local::socket client(context);
    client.connect(local::endpoint(path));
    ASSERT_TRUE(run_until(context, [&] { return accepted->calls > 0; }));
    ASSERT_TRUE(accepted->connection);
    EXPECT_FALSE(send(context, accepted->connection, orx::buffer_t("hello")).error);
    char bytes[5];
    boost::asio::read(client, boost::asio::buffer(bytes));
    EXPECT_EQ(std::string(bytes, 5), "hello");
}

TEST_F(acceptor_test, path_too_long_throws_from_the_call)
{
    auto result = std::make_shared<listened_t>();
    try {
        io::async_listen(context, directory.path_of_length(108), record(result));
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), error_code(ENAMETOOLONG, boost::system::system_category()));
    }
    context.run_for(50ms);
    EXPECT_EQ(result->calls, 0);
}

TEST_F(acceptor_test, existing_file_at_the_path_is_left_alone)
{
    const std::string path = directory.file("taken");
    {
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("keep", file);
        std::fclose(file);
    }
    auto listened = listen([&](auto handler) { io::async_listen(context, path, handler); });
    EXPECT_EQ(listened.error, boost::asio::error::address_in_use);
    EXPECT_EQ(listened.acceptor, nullptr);
    EXPECT_EQ(std::filesystem::file_size(path), 4u);
}

} // namespace
