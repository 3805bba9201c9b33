#include "io/connection.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "io/io_test.hpp"

namespace {

using namespace std::chrono_literals;
using boost::system::error_code;
using io_test::receive;
using io_test::run_until;
using io_test::send;
using io_test::start_receive;
using io_test::start_send;

using connection_ptr = std::shared_ptr<io::connection_t>;

struct connected_t {
    connection_ptr near;
    connection_ptr far;
};

// A TCP connection over loopback and its peer's bare socket.
struct tcp_peer_t {
    connection_ptr near;
    io::tcp_socket_t far;
};

tcp_peer_t tcp_with_bare_peer(boost::asio::io_context& context)
{
    using tcp = boost::asio::ip::tcp;
    tcp::acceptor acceptor(context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    auto near = std::make_shared<io::tcp_socket_t>(context);
    io::tcp_socket_t far(context);
    near->connect(acceptor.local_endpoint());
    acceptor.accept(far);
    return {io::make_connection(near), std::move(far)};
}

connected_t tcp_pair(boost::asio::io_context& context)
{
    auto peer = tcp_with_bare_peer(context);
    return {peer.near, io::make_connection(std::make_shared<io::tcp_socket_t>(std::move(peer.far)))};
}

connected_t local_pair(boost::asio::io_context& context)
{
    auto near = std::make_shared<io::local_socket_t>(context);
    auto far = std::make_shared<io::local_socket_t>(context);
    boost::asio::local::connect_pair(*near, *far);
    return {io::make_connection(near), io::make_connection(far)};
}

void connect_pipe(io::descriptor_t& read_end, io::descriptor_t& write_end)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw boost::system::system_error(errno, boost::system::system_category(), "pipe2");
    read_end.assign(fds[0]);
    write_end.assign(fds[1]);
}

// Two pipes crossed: each side reads what the other writes.
connected_t descriptor_pair(boost::asio::io_context& context)
{
    auto near_in = std::make_shared<io::descriptor_t>(context);
    auto near_out = std::make_shared<io::descriptor_t>(context);
    auto far_in = std::make_shared<io::descriptor_t>(context);
    auto far_out = std::make_shared<io::descriptor_t>(context);
    connect_pipe(*far_in, *near_out);
    connect_pipe(*near_in, *far_out);
    return {io::make_connection(near_in, near_out), io::make_connection(far_in, far_out)};
}

struct kind_t {
    const char* name;
    std::function<connected_t(boost::asio::io_context&)> make;
};

class connection_test : public ::testing::TestWithParam<kind_t> {
protected:
    connection_test() : pair(GetParam().make(context)) {}

    // Sends size bytes from one end while nothing reads the other, so the
    // send stays pending once the kernel's buffers are full.
    std::shared_ptr<io_test::sent_t> start_large_send(const connection_ptr& from)
    {
        return start_send(from, orx::buffer_t(std::string(32 << 20, 'x')));
    }

    boost::asio::io_context context;
    connected_t pair;
};

TEST_P(connection_test, bytes_flow_both_ways)
{
    auto sent = send(context, pair.near, orx::buffer_t("ping"));
    EXPECT_FALSE(sent.error);
    EXPECT_FALSE(sent.inside_call);
    auto got = receive(context, pair.far);
    EXPECT_FALSE(got.inside_call);
    EXPECT_FALSE(got.error);
    EXPECT_EQ(got.data.str(), "ping");

    EXPECT_FALSE(send(context, pair.far, orx::buffer_t("pong")).error);
    EXPECT_EQ(receive(context, pair.near).data.str(), "pong");
}

// A fresh connection reads in blocks of 8192 bytes; a read that fills its
// block makes the next one larger, up to 65536 bytes, and a run of short
// reads makes it smaller again.
TEST_P(connection_test, receive_blocks_follow_what_arrives)
{
    const auto transfer = [&](std::size_t size, std::size_t& first, std::size_t& largest) {
        const std::string big(size, 'b');
        auto sent = start_send(pair.near, orx::buffer_t(big));
        std::string got;
        first = 0;
        largest = 0;
        while (got.size() < big.size()) {
            auto piece = receive(context, pair.far);
            ASSERT_FALSE(piece.error) << piece.error.message();
            ASSERT_GE(piece.data.size(), 1u);
            ASSERT_LE(piece.data.size(), 65536u);
            if (got.empty())
                first = piece.data.size();
            largest = std::max(largest, piece.data.size());
            got += piece.data.str();
        }
        EXPECT_EQ(got, big);
        run_until(context, [&] { return sent->done; });
        EXPECT_FALSE(sent->error);
    };
    std::size_t first = 0;
    std::size_t largest = 0;
    transfer(1 << 20, first, largest);
    EXPECT_LE(first, 8192u);
    EXPECT_GT(largest, 8192u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_FALSE(send(context, pair.near, orx::buffer_t("x")).error);
        EXPECT_EQ(receive(context, pair.far).data.str(), "x");
    }
    transfer(65536, first, largest);
    EXPECT_LE(first, 32768u);
}

// Whatever reaches a connection while none of its receives waits, after the
// loop has already seen it arrive, is there for the next receive: the
// readiness the loop reported in between is not lost.
TEST_P(connection_test, what_arrives_between_receives_is_received)
{
    struct between_t {
        const char* name;
        std::string bytes;
        bool peer_closes;
    };
    for (const between_t& c :
         {between_t{"short", "second", false}, between_t{"several_blocks", std::string(20000, 'z'), false},
          between_t{"peer_end", "", true}}) {
        auto fresh = GetParam().make(context);
        ASSERT_FALSE(send(context, fresh.far, orx::buffer_t("first")).error) << c.name;
        ASSERT_EQ(receive(context, fresh.near).data.str(), "first") << c.name;
        if (!c.bytes.empty()) {
            ASSERT_FALSE(send(context, fresh.far, orx::buffer_t(c.bytes)).error) << c.name;
        }
        if (c.peer_closes)
            fresh.far->close();
        context.restart();
        context.run_for(50ms);
        std::string got;
        while (got.size() < c.bytes.size()) {
            auto piece = receive(context, fresh.near);
            ASSERT_FALSE(piece.error) << c.name << ": " << piece.error.message();
            ASSERT_FALSE(piece.inside_call) << c.name;
            got += piece.data.str();
        }
        EXPECT_EQ(got, c.bytes) << c.name;
        if (c.peer_closes) {
            EXPECT_EQ(receive(context, fresh.near).error, io::end_of_stream) << c.name;
        }
    }
}

// The bytes cut into pieces of sizes that vary, empty ones among them, so
// that a large text needs more pieces than one system call writes.
io::pieces_t cut(const std::string& bytes)
{
    static const std::size_t sizes[] = {0, 1, 7, 4096, 0, 30000, 3, 65536};
    io::pieces_t pieces;
    std::size_t at = 0;
    for (std::size_t i = 0; at < bytes.size(); ++i) {
        const std::size_t size = std::min(sizes[i % std::size(sizes)], bytes.size() - at);
        pieces.push_back(size == 0 ? orx::buffer_t() : orx::buffer_t(bytes.data() + at, size));
        at += size;
    }
    pieces.push_back(orx::buffer_t());
    return pieces;
}

std::string letters(std::size_t size)
{
    std::string bytes(size, ' ');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

// A send started inside a receive completion goes out in order with the
// sends after it, also when it is more than the socket takes at once, and
// completes once, never inside the call; as one buffer or in pieces.
TEST_P(connection_test, send_from_a_receive_completion)
{
    struct size_case_t {
        const char* name;
        std::size_t size;
        bool in_pieces;
    };
    for (const size_case_t& c : {size_case_t{"small", 100, false}, size_case_t{"small_in_pieces", 100, true},
                                 size_case_t{"more_than_the_socket_takes", 8 << 20, false},
                                 size_case_t{"more_than_the_socket_takes_in_pieces", 8 << 20, true}}) {
        auto fresh = GetParam().make(context);
        const std::string bytes = letters(c.size);
        ASSERT_FALSE(send(context, fresh.far, orx::buffer_t("query")).error) << c.name;
        auto first = std::make_shared<io_test::sent_t>();
        std::shared_ptr<io_test::sent_t> second;
        int completions = 0;
        bool returned = false;
        const auto near = fresh.near;
        near->async_receive([&, near, first](const orx::buffer_t& data, const error_code& error) {
            EXPECT_FALSE(error) << c.name;
            EXPECT_EQ(data.str(), "query") << c.name;
            auto sent = [&, near, first](const error_code& sent) {
                *first = {sent, !returned, true};
                ++completions;
                second = io_test::start_send(near, orx::buffer_t("end"));
            };
            if (c.in_pieces)
                near->async_send_pieces(cut(bytes), sent);
            else
                near->async_send(orx::buffer_t(bytes), sent);
            returned = true;
        });
        std::string got;
        while (got.size() < bytes.size() + 3) {
            auto piece = receive(context, fresh.far);
            ASSERT_FALSE(piece.error) << c.name << ": " << piece.error.message();
            got += piece.data.str();
        }
        ASSERT_TRUE(run_until(context, [&] { return second && second->done; })) << c.name;
        EXPECT_TRUE(got == bytes + "end") << c.name;
        EXPECT_FALSE(first->error) << c.name;
        EXPECT_FALSE(first->inside_call) << c.name;
        EXPECT_EQ(completions, 1) << c.name;
        EXPECT_FALSE(second->error) << c.name;
        EXPECT_FALSE(second->inside_call) << c.name;
    }
}

// Pieces go out as their bytes in order, whatever their number and sizes,
// and the send completes once, never inside the call.
TEST_P(connection_test, pieces_go_out_in_order)
{
    struct case_t {
        const char* name;
        io::pieces_t pieces;
        std::string expected;
    };
    const std::string big = letters(8 << 20);
    const case_t cases[] = {
        {"none", {}, ""},
        {"only empty ones", {orx::buffer_t(), orx::buffer_t()}, ""},
        {"one", {orx::buffer_t("one")}, "one"},
        {"slices of one block", {orx::buffer_t("abcdef").sub(3, 3), orx::buffer_t("abcdef").head(3)}, "defabc"},
        {"more than the socket takes, in many pieces", cut(big), big},
    };
    for (const case_t& c : cases) {
        auto fresh = GetParam().make(context);
        auto result = std::make_shared<io_test::sent_t>();
        int completions = 0;
        bool returned = false;
        fresh.near->async_send_pieces(c.pieces, [&, result](const error_code& error) {
            *result = {error, !returned, true};
            ++completions;
        });
        returned = true;
        std::string got;
        while (got.size() < c.expected.size()) {
            auto piece = receive(context, fresh.far);
            ASSERT_FALSE(piece.error) << c.name << ": " << piece.error.message();
            got += piece.data.str();
        }
        ASSERT_TRUE(run_until(context, [&] { return result->done; })) << c.name;
        EXPECT_TRUE(got == c.expected) << c.name;
        EXPECT_FALSE(result->error) << c.name;
        EXPECT_FALSE(result->inside_call) << c.name;
        EXPECT_EQ(completions, 1) << c.name;
    }
}

TEST_P(connection_test, empty_send_succeeds)
{
    auto sent = send(context, pair.near, orx::buffer_t());
    EXPECT_TRUE(sent.done);
    EXPECT_FALSE(sent.error);
    EXPECT_FALSE(sent.inside_call);
}

TEST_P(connection_test, peer_close_is_the_end_every_time)
{
    pair.far->close();
    for (int i = 0; i < 3; ++i) {
        auto got = receive(context, pair.near);
        EXPECT_EQ(got.error, io::end_of_stream) << i;
        EXPECT_EQ(got.data.size(), 0u);
    }
}

TEST_P(connection_test, half_close_is_seen_by_the_peer_and_receives_go_on)
{
    error_code error = boost::asio::error::fault;
    pair.near->shutdown_send(error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(receive(context, pair.far).error, io::end_of_stream);

    // The other direction still carries data, then the end.
    EXPECT_FALSE(send(context, pair.far, orx::buffer_t("rest")).error);
    EXPECT_EQ(receive(context, pair.near).data.str(), "rest");
    pair.far->close();
    EXPECT_EQ(receive(context, pair.near).error, io::end_of_stream);
}

// A receive that finds nothing there waits for readiness, and the
// connection keeps what a wait needs for its next one; none of that keeps
// the connection. After several such receives it goes with its last owner
// at once, or, with a receive still waiting, once that receive has
// completed.
TEST_P(connection_test, waits_leave_the_connection_to_its_owners)
{
    for (const bool receive_waits : {false, true}) {
        SCOPED_TRACE(receive_waits ? "a receive waits" : "no receive");
        auto fresh = GetParam().make(context);
        for (const char* text : {"one", "two", "three"}) {
            ASSERT_FALSE(send(context, fresh.far, orx::buffer_t(text)).error);
            ASSERT_EQ(receive(context, fresh.near).data.str(), text);
        }
        std::shared_ptr<io_test::received_t> last;
        if (receive_waits)
            last = start_receive(fresh.near);
        const std::weak_ptr<io::connection_t> watched = fresh.near;
        fresh.near.reset();
        if (receive_waits) {
            EXPECT_FALSE(watched.expired());
            fresh.far->close();
            ASSERT_TRUE(run_until(context, [&] { return last->done; }));
            EXPECT_EQ(last->error, io::end_of_stream);
        }
        context.restart();
        context.poll();
        EXPECT_TRUE(watched.expired());
    }
}

// A receive whose handler is moved in completes as one whose handler is
// copied: with the bytes, with the peer's end, and on a closed connection
// with bad_descriptor, never inside the call. The handler, with what it
// holds, goes once it has run.
TEST_P(connection_test, receive_with_a_moved_handler)
{
    struct case_t {
        const char* name;
        std::function<void(connected_t&)> before;
        std::string data;
        error_code error;
    };
    const case_t cases[] = {
        {"bytes",
         [this](connected_t& c) { ASSERT_FALSE(send(context, c.far, orx::buffer_t("moved")).error); },
         "moved",
         {}},
        {"peer end", [](connected_t& c) { c.far->close(); }, "", io::end_of_stream},
        {"closed", [](connected_t& c) { c.near->close(); }, "", boost::asio::error::bad_descriptor},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        auto fresh = GetParam().make(context);
        c.before(fresh);
        io_test::received_t result;
        auto held = std::make_shared<int>(0);
        const std::weak_ptr<int> watched = held;
        bool returned = false;
        fresh.near->async_receive(
            [&result, &returned, held = std::move(held)](const orx::buffer_t& data, const error_code& error) {
                result = {data, error, !returned, true};
            });
        returned = true;
        ASSERT_TRUE(run_until(context, [&] { return result.done; }));
        EXPECT_FALSE(result.inside_call);
        EXPECT_EQ(result.error, c.error) << result.error.message();
        EXPECT_EQ(result.data.str(), c.data);
        context.poll();
        EXPECT_TRUE(watched.expired());
    }
}

TEST_P(connection_test, dropping_the_last_owner_closes)
{
    pair.near.reset();
    EXPECT_EQ(receive(context, pair.far).error, io::end_of_stream);
}

TEST_P(connection_test, close_is_idempotent_and_later_operations_fail_with_ebadf)
{
    pair.far->close();
    pair.near->close();
    pair.near->close();
    auto got = receive(context, pair.near);
    EXPECT_EQ(got.error, boost::asio::error::bad_descriptor);
    EXPECT_EQ(got.data.size(), 0u);
    EXPECT_EQ(send(context, pair.near, orx::buffer_t("x")).error, boost::asio::error::bad_descriptor);
}

TEST_P(connection_test, receive_timeout_closes_and_aborts)
{
    pair.near->set_receive_timeout(100ms);
    auto got = receive(context, pair.near);
    ASSERT_TRUE(got.done);
    EXPECT_EQ(got.error, boost::asio::error::operation_aborted);
    EXPECT_EQ(got.data.size(), 0u);
    EXPECT_EQ(send(context, pair.near, orx::buffer_t("late")).error, boost::asio::error::bad_descriptor);
    // The peer sees the end.
    EXPECT_EQ(receive(context, pair.far).error, io::end_of_stream);
}

TEST_P(connection_test, negative_timeout_closes_at_once)
{
    pair.near->set_receive_timeout(-1s);
    auto got = receive(context, pair.near, 1s);
    ASSERT_TRUE(got.done);
    EXPECT_EQ(got.error, boost::asio::error::operation_aborted);
}

TEST_P(connection_test, timeout_applies_to_receives_started_afterwards)
{
    auto pending = start_receive(pair.near);
    pair.near->set_receive_timeout(50ms);
    EXPECT_FALSE(run_until(
        context, [&] { return pending->done; }, 300ms));
    EXPECT_FALSE(send(context, pair.far, orx::buffer_t("data")).error);
    run_until(context, [&] { return pending->done; });
    EXPECT_FALSE(pending->error);
    EXPECT_EQ(pending->data.str(), "data");

    EXPECT_EQ(receive(context, pair.near).error, boost::asio::error::operation_aborted);
}

TEST_P(connection_test, receive_timeout_also_ends_a_pending_send)
{
    auto sending = start_large_send(pair.near);
    EXPECT_FALSE(run_until(
        context, [&] { return sending->done; }, 100ms));
    pair.near->set_receive_timeout(50ms);
    auto got = receive(context, pair.near);
    EXPECT_EQ(got.error, boost::asio::error::operation_aborted);
    run_until(context, [&] { return sending->done; });
    EXPECT_EQ(sending->error, boost::asio::error::operation_aborted);
    EXPECT_FALSE(sending->inside_call);
}

TEST_P(connection_test, close_between_the_writes_of_a_send_aborts_it)
{
    // The close is queued first; the send's first write then goes out at
    // once and queues its completion behind the close, so the close lands
    // between two writes of the same send.
    boost::asio::post(context, [&] { pair.near->close(); });
    auto sending = start_large_send(pair.near);
    ASSERT_TRUE(run_until(context, [&] { return sending->done; }));
    EXPECT_EQ(sending->error, boost::asio::error::operation_aborted) << sending->error.message();
}

TEST_P(connection_test, send_timeout_closes_and_aborts)
{
    pair.near->set_send_timeout(100ms);
    auto sending = start_large_send(pair.near);
    ASSERT_TRUE(run_until(context, [&] { return sending->done; }));
    EXPECT_EQ(sending->error, boost::asio::error::operation_aborted);
}

// An operation that ends in time withdraws its time-out: the connection is
// still whole long after the limit would have passed.
TEST_P(connection_test, finished_operation_withdraws_its_timeout)
{
    for (const bool on_receive : {true, false}) {
        const char* what = on_receive ? "receive" : "send";
        auto [near, far] = GetParam().make(context);
        if (on_receive) {
            near->set_receive_timeout(200ms);
            ASSERT_FALSE(send(context, far, orx::buffer_t("early")).error) << what;
            ASSERT_EQ(receive(context, near).data.str(), "early") << what;
        } else {
            near->set_send_timeout(200ms);
            ASSERT_FALSE(send(context, near, orx::buffer_t("early")).error) << what;
            ASSERT_EQ(receive(context, far).data.str(), "early") << what;
        }

        // The loop runs on for 500 ms while the peer waits: a close by a
        // forgotten timer would reach it as the end of the stream.
        auto watching = start_receive(far);
        boost::asio::steady_timer pause(context, 500ms);
        bool paused = false;
        pause.async_wait([&](const error_code&) { paused = true; });
        ASSERT_TRUE(run_until(context, [&] { return paused; })) << what;
        EXPECT_FALSE(watching->done) << what << ": the peer saw " << watching->error.message();

        EXPECT_FALSE(send(context, near, orx::buffer_t("later out")).error) << what;
        ASSERT_TRUE(run_until(context, [&] { return watching->done; })) << what;
        EXPECT_EQ(watching->data.str(), "later out") << what;
        EXPECT_FALSE(send(context, far, orx::buffer_t("later in")).error) << what;
        EXPECT_EQ(receive(context, near).data.str(), "later in") << what;
    }
}

TEST_P(connection_test, kept_bytes_survive_later_receives)
{
    EXPECT_FALSE(send(context, pair.far, orx::buffer_t("first")).error);
    auto first = receive(context, pair.near);
    orx::buffer_t kept = first.data.head(5);
    first = {};
    for (const char* text : {"a much longer second piece", "x", "third!"}) {
        EXPECT_FALSE(send(context, pair.far, orx::buffer_t(text)).error);
        EXPECT_EQ(receive(context, pair.near).data.str(), text);
    }
    EXPECT_EQ(kept.str(), "first");
}

TEST_P(connection_test, released_bytes_leave_the_block_for_the_next_receive)
{
    EXPECT_FALSE(send(context, pair.far, orx::buffer_t("one")).error);
    const char* block = nullptr;
    {
        auto result = start_receive(pair.near);
        run_until(context, [&] { return result->done; });
        block = result->data.data();
    }
    EXPECT_FALSE(send(context, pair.far, orx::buffer_t("two")).error);
    auto second = receive(context, pair.near);
    EXPECT_EQ(second.data.str(), "two");
    EXPECT_EQ(second.data.data(), block);
}

// An operation the connection does not offer completes later, with an
// empty pointer and EOPNOTSUPP.
void expect_unsupported(boost::asio::io_context& context,
                        const std::function<void(const io::connection_handler_t&)>& operation)
{
    auto handed = io_test::start_handing(operation);
    EXPECT_EQ(handed->calls, 0);
    ASSERT_TRUE(run_until(context, [&] { return handed->calls > 0; }));
    EXPECT_EQ(handed->calls, 1);
    EXPECT_EQ(handed->connection, nullptr);
    EXPECT_EQ(handed->error, io::unsupported_operation);
}

TEST_P(connection_test, async_shutdown_of_a_plain_connection_is_unsupported)
{
    expect_unsupported(context, [&](auto handler) { pair.near->async_shutdown(handler); });
    // The connection itself is untouched.
    EXPECT_FALSE(send(context, pair.near, orx::buffer_t("still")).error);
    EXPECT_EQ(receive(context, pair.far).data.str(), "still");
}

TEST_P(connection_test, self_is_the_connection)
{
    EXPECT_EQ(pair.near->self(), std::static_pointer_cast<io::stream_t>(pair.near));
}

const kind_t kinds[] = {
    {"tcp", tcp_pair},
    {"local", local_pair},
    {"descriptor_pair", descriptor_pair},
};

INSTANTIATE_TEST_SUITE_P(kinds, connection_test, ::testing::ValuesIn(kinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(connection_errors_test, unsupported_operation_is_eopnotsupp)
{
    EXPECT_EQ(io::unsupported_operation.value(), EOPNOTSUPP);
    EXPECT_EQ(io::unsupported_operation.category(), boost::system::system_category());
}

TEST(tcp_connection_test, nodelay_is_set)
{
    boost::asio::io_context context;
    using tcp = boost::asio::ip::tcp;
    tcp::acceptor acceptor(context, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    auto socket = std::make_shared<io::tcp_socket_t>(context);
    socket->connect(acceptor.local_endpoint());
    tcp::no_delay before;
    socket->get_option(before);
    ASSERT_FALSE(before.value());
    auto connection = io::make_connection(socket);
    tcp::no_delay after;
    socket->get_option(after);
    EXPECT_TRUE(after.value());
}

TEST(tcp_connection_test, maker_that_cannot_set_nodelay_throws_and_closes_the_socket)
{
    boost::asio::io_context context;
    // A local stream socket dressed as TCP: the TCP option does not apply.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ::close(fds[1]);
    auto socket = std::make_shared<io::tcp_socket_t>(context);
    socket->assign(boost::asio::ip::tcp::v4(), fds[0]);
    try {
        io::make_connection(socket);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("set_option"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(socket->is_open());

    auto unopened = std::make_shared<io::tcp_socket_t>(context);
    try {
        io::make_connection(unopened);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::bad_descriptor);
    }
}

// The read that ends without bytes also ends what the event loop will
// report about the socket; every later receive must still complete, with the
// same outcome, and not wait for a readiness event that never comes.
TEST(tcp_connection_test, final_receive_outcome_repeats)
{
    struct case_t {
        const char* name;
        bool reset; // the peer aborts instead of closing in order
        error_code expected;
    };
    const case_t cases[] = {
        {"end", false, io::end_of_stream},
        {"reset", true, boost::asio::error::connection_reset},
    };
    for (const auto& c : cases) {
        boost::asio::io_context context;
        auto [connection, far] = tcp_with_bare_peer(context);
        // A receive is pending when the peer goes, as in a server waiting for
        // the next request.
        auto first = start_receive(connection);
        EXPECT_FALSE(run_until(
            context, [&] { return first->done; }, 50ms))
            << c.name;
        if (c.reset)
            far.set_option(boost::asio::socket_base::linger(true, 0));
        far.close();
        ASSERT_TRUE(run_until(context, [&] { return first->done; })) << c.name;
        EXPECT_EQ(first->error, c.expected) << c.name << ": " << first->error.message();
        for (int i = 0; i < 2; ++i) {
            auto again = receive(context, connection, 2s);
            ASSERT_TRUE(again.done) << c.name << " receive " << i << " never completed";
            EXPECT_FALSE(again.inside_call) << c.name;
            EXPECT_EQ(again.error, c.expected) << c.name;
            EXPECT_EQ(again.data.size(), 0u) << c.name;
        }
        // Closed, the connection reports the closed descriptor instead.
        connection->close();
        EXPECT_EQ(receive(context, connection).error, boost::asio::error::bad_descriptor) << c.name;
    }
}

TEST(tcp_connection_test, sends_after_a_failed_send_fail_too)
{
    boost::asio::io_context context;
    auto [connection, far] = tcp_with_bare_peer(context);
    far.set_option(boost::asio::socket_base::linger(true, 0));
    far.close();
    const orx::buffer_t piece(std::string(1000, 's'));
    for (int i = 0; i < 5; ++i) {
        auto sent = start_send(connection, piece);
        ASSERT_TRUE(run_until(
            context, [&] { return sent->done; }, 2s))
            << "send " << i << " never completed";
        EXPECT_TRUE(sent->error) << i;
        EXPECT_FALSE(sent->inside_call) << i;
    }
    connection->close();
    EXPECT_EQ(send(context, connection, piece).error, boost::asio::error::bad_descriptor);
}

TEST(local_connection_test, shutdown_send_of_a_closed_connection_reports_ebadf)
{
    boost::asio::io_context context;
    auto pair = local_pair(context);
    pair.near->close();
    error_code error;
    pair.near->shutdown_send(error);
    EXPECT_EQ(error, boost::asio::error::bad_descriptor);
}

TEST(descriptor_connection_test, handshake_is_unsupported_and_posted)
{
    boost::asio::io_context context;
    auto pair = descriptor_pair(context);
    boost::asio::ssl::context tls(boost::asio::ssl::context::tls_client);
    expect_unsupported(context, [&](auto handler) {
        pair.near->async_handshake(tls, boost::asio::ssl::stream_base::client, handler);
    });
}

TEST(descriptor_connection_test, half_close_leaves_the_input_open)
{
    boost::asio::io_context context;
    auto pair = descriptor_pair(context);
    error_code error;
    pair.near->shutdown_send(error);
    EXPECT_FALSE(error);
    EXPECT_EQ(receive(context, pair.far).error, io::end_of_stream);
    EXPECT_FALSE(send(context, pair.far, orx::buffer_t("in")).error);
    EXPECT_EQ(receive(context, pair.near).data.str(), "in");
}

} // namespace
