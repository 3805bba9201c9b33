#include "io/edge_wait.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "io_test.hpp"

namespace {

using tcp = boost::asio::ip::tcp;

// A connected pair on loopback: the daemon's end and the peer's.
struct pair_t {
    explicit pair_t(boost::asio::io_context& context) : ours(context), peer(context)
    {
        tcp::acceptor acceptor(context, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        peer.connect(acceptor.local_endpoint());
        acceptor.accept(ours);
    }

    // Reads ours until it would block, as a connection does before it
    // waits; returns the bytes read.
    std::string drain()
    {
        ours.non_blocking(true);
        std::string read;
        std::array<char, 4096> block{};
        boost::system::error_code error;
        for (;;) {
            const std::size_t n = ours.read_some(boost::asio::buffer(block), error);
            if (error)
                break;
            read.append(block.data(), n);
        }
        EXPECT_EQ(error, boost::asio::error::would_block);
        return read;
    }

    void send(const std::string& bytes) { boost::asio::write(peer, boost::asio::buffer(bytes)); }

    tcp::socket ours;
    tcp::socket peer;
};

struct outcome_t {
    std::optional<boost::system::error_code> error;
    int calls = 0;
    bool inside_call = false;
};

// Waits keeping the memo given, as a connection does, or a memo of its own.
std::shared_ptr<outcome_t> wait(tcp::socket& socket, io::edge_wait_memo_t& memo)
{
    auto outcome = std::make_shared<outcome_t>();
    auto returned = std::make_shared<bool>(false);
    io::async_wait_edge(
        socket,
        [outcome, returned](const boost::system::error_code& error) {
            outcome->error = error;
            ++outcome->calls;
            outcome->inside_call = !*returned;
        },
        memo);
    *returned = true;
    return outcome;
}

std::shared_ptr<outcome_t> wait(tcp::socket& socket)
{
    io::edge_wait_memo_t memo;
    return wait(socket, memo);
}

// What happens after the wait was queued on a drained socket, and how the
// wait must end: the arrivals that wake it, and the ends that abort it.
struct case_t {
    std::string name;
    // Runs with the wait queued; the loop has turned once before.
    std::function<void(pair_t&)> after_wait;
    boost::system::error_code expected;
};

TEST(edge_wait_test, wakes_on_what_follows_a_drained_read)
{
    const std::vector<case_t> cases = {
        {"bytes arrive", [](pair_t& pair) { pair.send("REQMOD"); }, {}},
        {"bytes arrive in pieces",
         [](pair_t& pair) {
             pair.send("RE");
             pair.send("QMOD");
         },
         {}},
        {"the peer ends", [](pair_t& pair) { pair.peer.shutdown(tcp::socket::shutdown_send); }, {}},
        {"the peer resets",
         [](pair_t& pair) {
             pair.peer.set_option(boost::asio::socket_base::linger(true, 0));
             pair.peer.close();
         },
         {}},
        {"the socket is closed", [](pair_t& pair) { pair.ours.close(); }, boost::asio::error::operation_aborted},
        {"the wait is cancelled", [](pair_t& pair) { pair.ours.cancel(); }, boost::asio::error::operation_aborted},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context context;
        pair_t pair(context);
        pair.send("OPTIONS");
        EXPECT_EQ(pair.drain(), "OPTIONS");
        const auto outcome = wait(pair.ours);
        // Nothing arrived since the read: the wait stays queued, however
        // often the loop turns.
        EXPECT_FALSE(io_test::run_until(
            context, [&] { return outcome->calls > 0; }, std::chrono::milliseconds(50)));
        c.after_wait(pair);
        ASSERT_TRUE(io_test::run_until(context, [&] { return outcome->calls > 0; }));
        EXPECT_EQ(outcome->error, c.expected);
        EXPECT_FALSE(outcome->inside_call);
        io_test::run_until(
            context, [] { return false; }, std::chrono::milliseconds(20));
        EXPECT_EQ(outcome->calls, 1);
    }
}

// Bytes that arrive between the read that drained the socket and the start
// of the wait raise an edge the loop has not taken yet: the wait sees it.
TEST(edge_wait_test, sees_bytes_that_arrived_before_it_started)
{
    boost::asio::io_context context;
    pair_t pair(context);
    pair.drain();
    pair.send("REQMOD");
    // Give loopback time to deliver before the wait is queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto outcome = wait(pair.ours);
    ASSERT_TRUE(io_test::run_until(context, [&] { return outcome->calls > 0; }));
    EXPECT_EQ(outcome->error, boost::system::error_code());
    EXPECT_EQ(pair.drain(), "REQMOD");
}

// One wait after another, each started right after draining, as a
// connection does query after query, keeping what it learnt at the first.
TEST(edge_wait_test, waits_again_after_each_drained_read)
{
    boost::asio::io_context context;
    pair_t pair(context);
    pair.drain();
    io::edge_wait_memo_t memo;
    for (const std::string query : {"first", "second", "third"}) {
        SCOPED_TRACE(query);
        const auto outcome = wait(pair.ours, memo);
        pair.send(query);
        ASSERT_TRUE(io_test::run_until(context, [&] { return outcome->calls > 0; }));
        EXPECT_EQ(pair.drain(), query);
    }
}

// A socket the caller left in blocking mode gets the loop's own wait,
// which checks the socket: bytes already there complete it even when the
// loop took their edge before the wait started.
TEST(edge_wait_test, blocking_socket_takes_the_checking_wait)
{
    boost::asio::io_context context;
    pair_t pair(context);
    pair.send("OPTIONS");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The loop polls its events once while nothing waits on the socket.
    boost::asio::steady_timer hold(context, std::chrono::hours(1));
    hold.async_wait([](const boost::system::error_code&) {});
    context.poll();
    const auto outcome = wait(pair.ours);
    ASSERT_TRUE(io_test::run_until(context, [&] { return outcome->calls > 0; }));
    EXPECT_EQ(outcome->error, boost::system::error_code());
}

// A loop destroyed with the wait queued frees it without calling it.
TEST(edge_wait_test, loop_destroyed_with_the_wait_queued)
{
    auto outcome = std::make_shared<outcome_t>();
    {
        boost::asio::io_context context;
        pair_t pair(context);
        pair.drain();
        io::edge_wait_memo_t memo;
        io::async_wait_edge(
            pair.ours, [outcome](const boost::system::error_code&) { ++outcome->calls; }, memo);
        context.poll();
    }
    EXPECT_EQ(outcome->calls, 0);
    EXPECT_EQ(outcome.use_count(), 1);
}

} // namespace
