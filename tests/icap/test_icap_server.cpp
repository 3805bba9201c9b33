// The ICAP listener and its query loop over real TCP connections.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "app/inventory_fixture.hpp"
#include "icap/hook_double.hpp"
#include "icap/icap_client.hpp"
#include "icap/icap_server.hpp"

namespace {

using namespace std::chrono_literals;

const std::string options_query = "OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

using retry_t = ic::icap_server_t::accept_retry_t;

boost::system::error_code system_error(int value)
{
    return {value, boost::system::system_category()};
}

// The real acceptor, except that its first accepts fail with the given
// errors. Records how many accepts had been started by the time each
// failure's completion returned.
class failing_acceptor_t : public io::acceptor_t, public std::enable_shared_from_this<failing_acceptor_t> {
public:
    failing_acceptor_t(std::shared_ptr<io::acceptor_t> real, std::deque<boost::system::error_code> failures)
        : real_(std::move(real)), failures_(std::move(failures))
    {
    }

    boost::asio::any_io_executor get_executor() override { return real_->get_executor(); }

    void async_accept(const io::connection_handler_t& handler) override
    {
        ++accepts;
        if (failures_.empty())
            return real_->async_accept(handler);
        const boost::system::error_code error = failures_.front();
        failures_.pop_front();
        boost::asio::post(get_executor(), [self = shared_from_this(), handler, error] {
            handler(nullptr, error);
            self->accepts_after_failure.push_back(self->accepts);
        });
    }

    void close() override { real_->close(); }

    int accepts = 0;
    std::vector<int> accepts_after_failure;

private:
    std::shared_ptr<io::acceptor_t> real_;
    std::deque<boost::system::error_code> failures_;
};

class icap_server_test : public test_inventory::fixture_t {
protected:
    icap_server_test()
    {
        counting = ic::connection_count_signal.connect([this](int delta) { open_connections += delta; });
        // The statistics are not looked at here.
        inventory->ticker.cancel();
    }

    void listen(unsigned listen_port)
    {
        port = listen_port;
        inventory->config_holder->apply(settings("127.0.0.1", port));
    }

    // Listens with an acceptor whose first accepts fail with `failures`.
    std::shared_ptr<failing_acceptor_t> listen_failing(const std::deque<boost::system::error_code>& failures)
    {
        const auto made = std::make_shared<std::shared_ptr<failing_acceptor_t>>();
        inventory->icap_server->make_acceptor =
            [made, failures](const std::shared_ptr<boost::asio::ip::tcp::acceptor>& socket) {
                *made = std::make_shared<failing_acceptor_t>(io::acceptor_t::make(socket), failures);
                return *made;
            };
        listen(test_pilotd::free_port());
        return *made;
    }

    bool serves_a_client()
    {
        test_icap::client_t client(port);
        client.send(options_query);
        return client.read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0) == 0;
    }

    int records_starting(int level, const std::string& prefix) const
    {
        int n = 0;
        for (const auto& record : log->records)
            if (record.level == level && record.text.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }

    int records_ending(int level, const std::string& suffix) const
    {
        int n = 0;
        for (const auto& record : log->records)
            if (record.level == level && record.text.size() >= suffix.size() &&
                record.text.compare(record.text.size() - suffix.size(), suffix.size(), suffix) == 0)
                ++n;
        return n;
    }

    unsigned port = 0;
    int open_connections = 0;
    boost::signals2::scoped_connection counting;
};

TEST_F(icap_server_test, answers_queries_sent_back_to_back_in_order)
{
    listen(test_pilotd::free_port());
    test_icap::client_t client(port);
    client.send(options_query + "OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\n\r\n");
    const std::string first = client.read_head(pumper());
    const std::string second = client.read_head(pumper());
    EXPECT_EQ(first.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << first;
    EXPECT_NE(first.find("Methods: REQMOD\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("Connection: keep-alive\r\n"), std::string::npos) << first;
    EXPECT_NE(second.find("Methods: RESPMOD\r\n"), std::string::npos) << second;
    EXPECT_EQ(open_connections, 1);
}

// Answers sent again unchanged, one that keeps its connection and one that
// closes it, each do as they say whichever the server wrote last.
TEST_F(icap_server_test, kept_answers_keep_or_close_their_own_connections)
{
    listen(test_pilotd::free_port());
    test_icap::client_t keeping(port);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        keeping.send(options_query);
        const std::string kept = keeping.read_head(pumper());
        EXPECT_NE(kept.find("Connection: keep-alive\r\n"), std::string::npos) << kept;
        test_icap::client_t closing(port);
        closing.send("OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\r\nConnection: close\r\n\r\n");
        const std::string closed = closing.read_head(pumper());
        EXPECT_NE(closed.find("Connection: close\r\n"), std::string::npos) << closed;
        EXPECT_TRUE(closing.closed_without_data(pumper()));
    }
    keeping.send(options_query);
    EXPECT_EQ(keeping.read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
}

struct closing_case_t {
    const char* name;
    std::string query;
    std::string status_line;
};

class closing_test : public icap_server_test, public testing::WithParamInterface<closing_case_t> {};

// The answer says close, the server half-closes and the count falls.
TEST_P(closing_test, answer_then_close)
{
    listen(test_pilotd::free_port());
    test_icap::client_t client(port);
    client.send(GetParam().query);
    const std::string head = client.read_head(pumper());
    EXPECT_EQ(head.rfind(GetParam().status_line, 0), 0u) << head;
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos) << head;
    EXPECT_TRUE(client.closed_without_data(pumper()));
    client.shutdown_send();
    EXPECT_TRUE(run_until([&] { return open_connections == 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    cases, closing_test,
    testing::Values(closing_case_t{"client_asks_to_close",
                                   "OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\r\nConnection: close\r\n\r\n",
                                   "ICAP/1.0 200 OK\r\n"},
                    closing_case_t{"unparsable_head", "this is not ICAP\r\n\r\n", "ICAP/1.0 400 Bad request\r\n"},
                    closing_case_t{"unknown_service", "OPTIONS icap://127.0.0.1/other ICAP/1.0\r\n\r\n",
                                   "ICAP/1.0 404 ICAP Service not found\r\n"},
                    // A body found malformed while it is read before the
                    // answer replaces the answer with 400.
                    closing_case_t{"body_broken_before_an_error_answer",
                                   "REQMOD icap://127.0.0.1/other ICAP/1.0\r\nEncapsulated: req-body=0\r\n\r\n"
                                   "5\r\nhello\r\nzz\r\n",
                                   "ICAP/1.0 400 Bad request\r\n"},
                    closing_case_t{"body_broken_before_a_kept_answer",
                                   "OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: opt-body=0\r\n\r\n"
                                   "5\r\nhello\r\nzz\r\n",
                                   "ICAP/1.0 400 Bad request\r\n"},
                    closing_case_t{"preview_longer_than_announced",
                                   "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nPreview: 0\r\n"
                                   "Encapsulated: req-hdr=0, res-body=18\r\n\r\nGET / HTTP/1.1\r\n\r\n"
                                   "5\r\nhello\r\n0\r\n\r\n",
                                   "ICAP/1.0 400 Bad request\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct half_closed_case_t {
    const char* name;
    // Between the client's bytes after the answer; zero: it stays silent.
    std::chrono::milliseconds drip;
};

class half_closed_test : public icap_server_test, public testing::WithParamInterface<half_closed_case_t> {};

// After an answer that closes the connection the server half-closes and
// reads on until the client closes; a client that never does, silent or
// sending a byte now and then, loses its connection once the half-closed
// wait has passed.
TEST_P(half_closed_test, client_that_never_closes_loses_its_connection)
{
    EXPECT_EQ(inventory->icap_server->half_close_wait(), 90s);
    inventory->icap_server->set_half_close_wait(300ms);
    listen(test_pilotd::free_port());
    test_icap::client_t client(port);
    client.send("garbage\r\n\r\n");
    const std::string head = client.read_head(pumper());
    EXPECT_EQ(head.rfind("ICAP/1.0 400 Bad request\r\n", 0), 0u) << head;
    auto next_byte = std::chrono::steady_clock::now();
    const bool closed = run_until([&] {
        if (GetParam().drip.count() != 0 && std::chrono::steady_clock::now() >= next_byte) {
            client.send("x");
            next_byte += GetParam().drip;
        }
        return records_ending(cf_log_debug, ": half-closed timeout") == 1;
    });
    EXPECT_TRUE(closed);
    EXPECT_TRUE(run_until([&] { return records_ending(cf_log_debug, ": read: Operation canceled") == 1; }));
}

INSTANTIATE_TEST_SUITE_P(cases, half_closed_test,
                         testing::Values(half_closed_case_t{"silent", 0ms}, half_closed_case_t{"dripping", 50ms}),
                         [](const auto& info) { return std::string(info.param.name); });

// Clients that are already waiting when an accept completes are taken in
// the same turn of the loop, up to a bound, not one per turn.
TEST_F(icap_server_test, waiting_clients_are_taken_in_one_turn)
{
    listen(test_pilotd::free_port());
    struct burst_t {
        int clients;
        int taken_in_first_turn;
    };
    for (const burst_t burst : {burst_t{20, 20}, burst_t{100, 65}}) {
        std::vector<std::unique_ptr<test_icap::client_t>> clients;
        for (int i = 0; i < burst.clients; ++i)
            clients.push_back(std::make_unique<test_icap::client_t>(port));
        ASSERT_TRUE(run_until([&] { return open_connections > 0; })) << burst.clients;
        EXPECT_EQ(open_connections, burst.taken_in_first_turn) << burst.clients;
        EXPECT_TRUE(run_until([&] { return open_connections == burst.clients; })) << burst.clients;
        for (const auto& client : clients) {
            client->send(options_query);
            EXPECT_EQ(client->read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << burst.clients;
        }
        clients.clear();
        EXPECT_TRUE(run_until([&] { return open_connections == 0; })) << burst.clients;
    }
}

// A misdirected query whose body is still coming: without early answers the
// answer waits for the rest of the body.
TEST_F(icap_server_test, answer_waits_for_the_body_unless_early_answers_are_allowed)
{
    listen(test_pilotd::free_port());
    for (const bool early : {false, true}) {
        auto config = settings("127.0.0.1", port);
        config.set_allow_early_response(early);
        inventory->config_holder->apply(config);
        test_icap::client_t client(port);
        client.send("REQMOD icap://127.0.0.1/other ICAP/1.0\r\nEncapsulated: req-body=0\r\n\r\n5\r\nhello\r\n");
        const std::string before = client.read_head(pumper(), std::chrono::milliseconds(300));
        EXPECT_EQ(before.empty(), !early) << early;
        client.send("0\r\n\r\n");
        const std::string head = early ? before : client.read_head(pumper());
        EXPECT_EQ(head.rfind("ICAP/1.0 404 ICAP Service not found\r\n", 0), 0u) << early << head;
    }
}

// A connection that brings no query within the wait is closed, before its
// first query as after an answer.
TEST_F(icap_server_test, query_wait_closes_an_idle_connection)
{
    EXPECT_EQ(inventory->icap_server->query_wait(), 90s);
    inventory->icap_server->set_query_wait(200ms);
    listen(test_pilotd::free_port());
    for (const std::string& before_idling : {std::string(), options_query}) {
        const bool answered = !before_idling.empty();
        const int timeouts = records_ending(cf_log_debug, ": wait request timeout");
        test_icap::client_t client(port);
        if (answered) {
            client.send(before_idling);
            EXPECT_EQ(client.read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
        }
        EXPECT_TRUE(client.closed_without_data(pumper())) << answered;
        EXPECT_TRUE(run_until([&] { return open_connections == 0; })) << answered;
        EXPECT_EQ(records_ending(cf_log_debug, ": wait request timeout"), timeouts + 1) << answered;
    }
}

// The wait runs out while the query is already in: the loop stands still
// while both happen, so its next turn finds the query and the expiry
// together, the expiry queued behind the query. The query is answered on a
// connection that stays open.
TEST_F(icap_server_test, expiry_queued_with_a_query_leaves_its_connection_open)
{
    inventory->icap_server->set_query_wait(100ms);
    listen(test_pilotd::free_port());
    test_icap::client_t client(port);
    ASSERT_TRUE(run_until([&] { return records_ending(cf_log_debug, ": begin wait request") == 1; }));
    client.send(options_query);
    std::this_thread::sleep_for(300ms);
    // The waits that follow have time enough.
    inventory->icap_server->set_query_wait(30s);

    const std::string first = client.read_head(pumper());
    EXPECT_EQ(first.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << first;
    client.send(options_query);
    const std::string second = client.read_head(pumper());
    EXPECT_EQ(second.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << second;
    EXPECT_EQ(records_ending(cf_log_debug, ": wait request timeout"), 0);
    EXPECT_EQ(open_connections, 1);
}

// A verdict that comes while the body is still being fetched for the
// script (here: the rest after 100 Continue) is answered once the body has
// arrived. Without "Allow: 204" the message comes back whole; the body that
// was fetched for the check is the one echoed, read once.
TEST_F(icap_server_test, verdict_before_the_body_is_answered_after_it)
{
    listen(test_pilotd::free_port());
    bool decided = false;
    inventory->check_engine->run_hook = test_hook::runner(inventory->io_context, [&](ic::context::context_t& context) {
        context.delegate->check_body(std::move(context.body_getter), [](auto&&...) {});
        decided = true;
        return test_hook::pass(context);
    });
    test_icap::client_t client(port);
    const std::string head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nPreview: 0\r\n"
                             "Encapsulated: res-hdr=0, res-body=19\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
    client.send(head + "0\r\n\r\n");
    const std::string interim = client.read_head(pumper());
    EXPECT_EQ(interim.rfind("ICAP/1.0 100 Continue\r\n", 0), 0u) << interim;
    ASSERT_TRUE(run_until([&] { return decided; }));
    for (int i = 0; i < 10; ++i)
        pump();
    client.send("5\r\nhello\r\n");
    for (int i = 0; i < 10; ++i)
        pump();
    client.send("0\r\n\r\n");
    // The scan asks PilotD for Vetter, which is not installed.
    ASSERT_TRUE(pilotd.receive_tag(ox::TRAXD2PilotdMessage::GET_VETTER_REQUEST, pumper()));
    ox::Pilotd2TRAXDMessage not_installed;
    not_installed.set_tag(ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE);
    not_installed.mutable_error()->set_code(ox::EC_NOT_INSTALLED);
    pilotd.send(not_installed);
    const std::string answer = client.read_head(pumper());
    EXPECT_EQ(answer.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Encapsulated: res-hdr=0, res-body=19\r\n"), std::string::npos) << answer;
    EXPECT_EQ(client.read_head(pumper()), "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(client.read_head(pumper()), "5\r\nhello\r\n0\r\n\r\n");
}

TEST_F(icap_server_test, same_endpoint_again_keeps_the_listener)
{
    listen(test_pilotd::free_port());
    test_icap::client_t before(port);
    inventory->config_holder->apply(settings("127.0.0.1", port));
    EXPECT_EQ(records_starting(cf_log_notice, "ICAP Server started: "), 1);
    before.send(options_query);
    EXPECT_EQ(before.read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
    test_icap::client_t after(port);
    after.send(options_query);
    EXPECT_EQ(after.read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(icap_server_test, new_endpoint_moves_the_listener_and_keeps_connections)
{
    listen(test_pilotd::free_port());
    const unsigned old_port = port;
    test_icap::client_t before(old_port);
    ASSERT_TRUE(run_until([&] { return open_connections == 1; }));
    listen(test_pilotd::free_port());
    EXPECT_TRUE(logged(cf_log_notice, "ICAP Server started: 127.0.0.1:" + std::to_string(port)));
    before.send(options_query);
    EXPECT_EQ(before.read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_THROW(test_icap::client_t refused(old_port), std::runtime_error);
    test_icap::client_t after(port);
    after.send(options_query);
    EXPECT_EQ(after.read_head(pumper()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(icap_server_test, endpoint_in_use_is_a_bad_setting)
{
    listen(test_pilotd::free_port());
    // A second application object cannot take the same port.
    test_pilotd::peer_t other_pilotd;
    ic::inventory_t other(other_pilotd.daemon_end());
    other_pilotd.release_daemon_end();
    try {
        other.config_holder->apply(settings("127.0.0.1", port));
        FAIL() << "bound twice";
    } catch (ox::ErrorCode code) {
        EXPECT_EQ(code, ox::EC_BAD_CONFIG);
    }
    EXPECT_EQ(records_starting(cf_log_error, "ICAP Server: bind: "), 1);
    EXPECT_NE(log->records.back().text.find(": 127.0.0.1:" + std::to_string(port)), std::string::npos);
}

// Running out of descriptors is a passing state: the accept is retried
// after a pause instead of ending the process.
TEST_F(icap_server_test, accept_resumes_after_running_out_of_descriptors)
{
    listen(test_pilotd::free_port());
    const int client_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client_fd, 0);
    // The sanitizer's first check of this test's dynamic type needs a free
    // descriptor; make it now.
    run_until([&] { return records_starting(cf_log_error, "") >= 0; });
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Every descriptor below the lowest free one is in use.
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(client_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const bool refused_accept = run_until([&] { return records_starting(cf_log_error, "ICAP Server: accept: ") > 0; });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(connected);
    ASSERT_TRUE(refused_accept);

    ASSERT_EQ(::send(client_fd, options_query.data(), options_query.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(options_query.size()));
    std::string answer;
    run_until([&] {
        char chunk[4096];
        const ssize_t n = ::recv(client_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0)
            answer.append(chunk, static_cast<std::size_t>(n));
        return answer.find("\r\n\r\n") != std::string::npos;
    });
    ::close(client_fd);
    EXPECT_EQ(answer.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << answer;
}

struct injected_case_t {
    const char* name;
    boost::system::error_code error;
    retry_t retry;
};

class injected_accept_test : public icap_server_test, public testing::WithParamInterface<injected_case_t> {};

// A client that gives up before it is taken (or one the network fails) must
// not hold up the clients behind it: the next accept starts within the
// failed one's completion, with no Error record. Load and limits rest the
// listener a moment, with an Error record, before it tries again.
TEST_P(injected_accept_test, accepting_goes_on_as_the_error_calls_for)
{
    const auto& c = GetParam();
    const int failures = c.retry == retry_t::at_once ? 3 : 1;
    const auto acceptor = listen_failing(std::deque<boost::system::error_code>(failures, c.error));
    ASSERT_TRUE(acceptor);
    ASSERT_TRUE(
        run_until([&] { return acceptor->accepts_after_failure.size() == static_cast<std::size_t>(failures); }));
    if (c.retry == retry_t::at_once)
        EXPECT_EQ(acceptor->accepts_after_failure, (std::vector<int>{2, 3, 4}));
    else
        EXPECT_EQ(acceptor->accepts_after_failure, (std::vector<int>{1}));
    EXPECT_EQ(records_starting(cf_log_error, "ICAP Server: accept: "), c.retry == retry_t::at_once ? 0 : 1);
    EXPECT_TRUE(serves_a_client());
    EXPECT_EQ(acceptor->accepts, failures + 2);
}

INSTANTIATE_TEST_SUITE_P(
    cases, injected_accept_test,
    testing::Values(injected_case_t{"client_gave_up", system_error(ECONNABORTED), retry_t::at_once},
                    injected_case_t{"protocol_failure", system_error(EPROTO), retry_t::at_once},
                    injected_case_t{"refused_by_the_firewall", system_error(EPERM), retry_t::at_once},
                    injected_case_t{"host_unreachable", system_error(EHOSTUNREACH), retry_t::at_once},
                    injected_case_t{"out_of_descriptors", system_error(EMFILE), retry_t::after_pause},
                    injected_case_t{"out_of_memory", system_error(ENOMEM), retry_t::after_pause}),
    [](const auto& info) { return std::string(info.param.name); });

// An accept error that says the listening socket is broken leaves the
// event loop as the "accept" error, and nothing accepts any more.
TEST_F(icap_server_test, broken_listener_ends_the_loop)
{
    const auto acceptor = listen_failing({system_error(EBADF)});
    ASSERT_TRUE(acceptor);
    std::optional<boost::system::system_error> thrown;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!thrown && std::chrono::steady_clock::now() < deadline) {
        try {
            pump();
        } catch (const boost::system::system_error& e) {
            thrown = e;
        }
    }
    ASSERT_TRUE(thrown);
    EXPECT_EQ(thrown->code(), system_error(EBADF));
    EXPECT_EQ(std::string(thrown->what()).rfind("accept", 0), 0u) << thrown->what();
    EXPECT_EQ(acceptor->accepts, 1);
}

class accept_retry_test : public testing::TestWithParam<std::pair<boost::system::error_code, retry_t>> {};

TEST_P(accept_retry_test, per_client_errors_at_once_load_after_a_pause)
{
    EXPECT_EQ(ic::icap_server_t::accept_retry(GetParam().first), GetParam().second) << GetParam().first.message();
}

INSTANTIATE_TEST_SUITE_P(
    cases, accept_retry_test,
    testing::Values(
        std::pair(system_error(ECONNABORTED), retry_t::at_once), std::pair(system_error(EPROTO), retry_t::at_once),
        std::pair(system_error(EINTR), retry_t::at_once), std::pair(system_error(ENETUNREACH), retry_t::at_once),
        std::pair(system_error(EMFILE), retry_t::after_pause), std::pair(system_error(ENFILE), retry_t::after_pause),
        std::pair(system_error(ENOBUFS), retry_t::after_pause), std::pair(system_error(ENOMEM), retry_t::after_pause),
        // A socket that is not listening fails every accept at
        // once: accepting again at once would spin.
        std::pair(system_error(EINVAL), retry_t::after_pause), std::pair(system_error(EBADF), retry_t::never),
        std::pair(system_error(ENOTSOCK), retry_t::never), std::pair(system_error(EOPNOTSUPP), retry_t::never),
        std::pair(boost::system::error_code(boost::asio::error::eof), retry_t::never)));

} // namespace
