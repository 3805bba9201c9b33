#include "io/connect.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
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

// Owns a raw descriptor.
struct fd_t {
    explicit fd_t(int fd) : fd(fd) {}
    fd_t(fd_t&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ~fd_t()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int fd;
};

class connect_test : public ::testing::Test {
protected:
    template <typename Start>
    io_test::handed_t connect(Start start)
    {
        auto result = io_test::start_handing(start);
        run_until(
            context, [&] { return result->calls > 0; }, 10s);
        EXPECT_EQ(result->calls, 1);
        EXPECT_FALSE(result->inside_call);
        return *result;
    }

    tcp::endpoint loopback(unsigned short port)
    {
        return tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port);
    }

    boost::asio::io_context context;
    io_test::scratch_directory_t directory;
};

TEST_F(connect_test, tcp_connects_and_carries_bytes)
{
    tcp::acceptor listener(context, loopback(0));
    const auto port = listener.local_endpoint().port();
    for (auto timeout : {std::chrono::nanoseconds(0), std::chrono::nanoseconds(30s)}) {
        auto connected =
            connect([&](auto handler) { io::async_connect(context, "127.0.0.1", port, timeout, handler); });
        ASSERT_FALSE(connected.error) << connected.error.message();
        ASSERT_TRUE(connected.connection);
        tcp::socket peer(context);
        listener.accept(peer);
        EXPECT_FALSE(send(context, connected.connection, orx::buffer_t("to peer")).error);
        char bytes[7];
        boost::asio::read(peer, boost::asio::buffer(bytes));
        EXPECT_EQ(std::string(bytes, 7), "to peer");
        // With the attempt over, its timer is gone too: nothing keeps the
        // loop busy.
        connected.connection.reset();
        const auto began = std::chrono::steady_clock::now();
        context.restart();
        context.run_for(20s);
        EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
    }
}

TEST_F(connect_test, tcp_failures_reach_the_completion)
{
    const auto refused_port = [&] {
        tcp::acceptor closed(context, loopback(0));
        return closed.local_endpoint().port();
    }();
    struct case_t {
        std::string host;
        unsigned short port;
        error_code expected;
    };
    const case_t cases[] = {
        {"127.0.0.1", refused_port, boost::asio::error::connection_refused},
        {io_test::unresolvable_host(), 80, boost::asio::error::host_not_found},
    };
    for (const auto& c : cases) {
        auto connected = connect([&](auto handler) { io::async_connect(context, c.host, c.port, 5s, handler); });
        EXPECT_EQ(connected.error, c.expected) << c.host << ": " << connected.error.message();
        EXPECT_EQ(connected.connection, nullptr);
    }
}

TEST_F(connect_test, tcp_timeout_aborts_the_attempt_without_throwing)
{
    // A listener that never accepts and whose queue is full: the kernel
    // drops further connection requests, so a connect waits.
    tcp::acceptor listener(context);
    listener.open(tcp::v4());
    listener.bind(loopback(0));
    listener.listen(0);
    std::vector<fd_t> fillers;
    const auto target = listener.local_endpoint();
    for (int i = 0; i < 4; ++i) {
        fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ASSERT_GE(fillers.back().fd, 0);
        // Completes, or stays pending once the queue is full.
        ::connect(fillers.back().fd, target.data(), target.size());
    }
    const auto began = std::chrono::steady_clock::now();
    auto connected = connect([&](auto handler) {
        io::async_connect(context, "127.0.0.1", listener.local_endpoint().port(), 200ms, handler);
    });
    EXPECT_EQ(connected.error, boost::asio::error::operation_aborted) << connected.error.message();
    EXPECT_EQ(connected.connection, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

TEST_F(connect_test, local_path_of_107_bytes_connects)
{
    const std::string path = directory.path_of_length(107);
    local::acceptor listener(context, local::endpoint(path));
    auto connected = connect([&](auto handler) { io::async_connect(context, path, 5s, handler); });
    ASSERT_FALSE(connected.error) << connected.error.message();
    local::socket peer(context);
    listener.accept(peer);
    peer.write_some(boost::asio::buffer(std::string("back")));
    EXPECT_EQ(receive(context, connected.connection).data.str(), "back");
}

TEST_F(connect_test, local_path_of_108_bytes_throws_without_completion)
{
    int calls = 0;
    try {
        io::async_connect(context, directory.path_of_length(108),
                          [&](const std::shared_ptr<io::connection_t>&, const error_code&) { ++calls; });
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), error_code(ENAMETOOLONG, boost::system::system_category()));
    }
    context.run_for(50ms);
    EXPECT_EQ(calls, 0);
}

TEST_F(connect_test, local_path_without_listener_fails)
{
    const std::string missing = directory.file("missing");
    const std::string stale = directory.file("stale");
    {
        local::acceptor gone(context, local::endpoint(stale));
    }
    for (const auto& [path, expected] :
         {std::pair{missing, error_code(ENOENT, boost::system::system_category())},
          std::pair{stale, error_code(ECONNREFUSED, boost::system::system_category())}}) {
        auto connected = connect([&](auto handler) { io::async_connect(context, path, handler); });
        EXPECT_EQ(connected.error, expected) << path << ": " << connected.error.message();
        EXPECT_EQ(connected.connection, nullptr);
    }
}

} // namespace
