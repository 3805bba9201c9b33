// The connection holders of Tagger, Vetter and SeekD: socket paths from
// PilotD, one request for many waiters, unavailable services, forgetting on
// a settings change or an application list, dropping a broken or idle
// connection and reconnecting.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/core/pilotd_tie.hpp"
#include "clients/connection_holder.hpp"
#include "clients/seekd_connection.hpp"
#include "clients/tagger_connection.hpp"
#include "clients/vetter_connection.hpp"
#include "services_fixture.hpp"
#include "standins/service_listener.hpp"

namespace {

using namespace std::chrono_literals;

// A service as the tests see it: its application value, the application
// object's accessor, whose callback gets the connection as its link, the
// destruction of its holder, and whether its connection closes when idle
// (Vetter's never does).
struct service_t {
    const char* name;
    ox::Application app;
    std::function<void(ic::inventory_t&, std::function<void(cf_ipc_link_t*)>)> get;
    std::function<void(ic::inventory_t&)> drop_holder;
    bool idle_close;
};

const service_t tagger{"Tagger", ox::APP_TAGGER,
                       [](ic::inventory_t& inventory, auto callback) {
                           inventory.get_tagger_connection(
                               [callback](ic::tagger_connection_t* connection) { callback(connection); });
                       },
                       [](ic::inventory_t& inventory) { inventory.tagger_holder.reset(); }, true};
const service_t vetter{"Vetter", ox::APP_VETTER,
                       [](ic::inventory_t& inventory, auto callback) {
                           inventory.get_vetter_connection(
                               [callback](ic::vetter_connection_t* connection) { callback(connection); });
                       },
                       [](ic::inventory_t& inventory) { inventory.vetter_holder.reset(); }, false};
const service_t seekd{"SeekD", ox::APP_SEEKD,
                      [](ic::inventory_t& inventory, auto callback) {
                          inventory.get_seekd_connection(
                              [callback](ic::seekd_connection_t* connection) { callback(connection); });
                      },
                      [](ic::inventory_t& inventory) { inventory.seekd_holder.reset(); }, true};

// What one request got, once it got it.
struct got_t {
    std::optional<cf_ipc_link_t*> connection;
    bool done() const { return connection.has_value(); }
};

class holder_test : public test_services::fixture_t, public testing::WithParamInterface<service_t> {
protected:
    const service_t& service() const { return GetParam(); }

    // Starts a request; its outcome lands in the returned object.
    std::shared_ptr<got_t> ask()
    {
        auto got = std::make_shared<got_t>();
        service().get(*inventory, [got](cf_ipc_link_t* connection) { got->connection = connection; });
        return got;
    }

    bool wait(const std::shared_ptr<got_t>& got)
    {
        return run_until([&] { return got->done(); });
    }

    // A request answered with the listener's path; the connection.
    cf_ipc_link_t* connected()
    {
        auto got = ask();
        if (!socket_requested(service().app))
            return nullptr;
        answer_socket(service().app, listener.path());
        return wait(got) ? *got->connection : nullptr;
    }

    bool no_socket_request() { return !socket_requested(service().app, 200ms); }

    standin::service_listener_t listener{"service", "", [](const auto&, const auto&) {}};
};

TEST_P(holder_test, waiters_share_one_socket_request_and_get_one_connection_in_order)
{
    std::vector<int> order;
    std::vector<cf_ipc_link_t*> connections;
    for (int i = 0; i < 3; ++i)
        service().get(*inventory, [&, i](cf_ipc_link_t* connection) {
            order.push_back(i);
            connections.push_back(connection);
        });
    ASSERT_TRUE(socket_requested(service().app));
    EXPECT_TRUE(no_socket_request());
    answer_socket(service().app, listener.path());
    ASSERT_TRUE(run_until([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    ASSERT_NE(connections[0], nullptr);
    EXPECT_EQ(connections[1], connections[0]);
    EXPECT_EQ(connections[2], connections[0]);
    EXPECT_TRUE(listener.wait_for_accepted(1));
    EXPECT_EQ(listener.accepted(), 1u);
}

TEST_P(holder_test, held_connection_is_handed_over_later_without_asking_pilotd)
{
    cf_ipc_link_t* first = connected();
    ASSERT_NE(first, nullptr);
    auto got = ask();
    EXPECT_FALSE(got->done());
    ASSERT_TRUE(wait(got));
    EXPECT_EQ(*got->connection, first);
    EXPECT_TRUE(no_socket_request());
}

// Before the socket request is answered, the holder goes (as the application
// object's members go in reverse order): its waiters are dropped uncalled,
// and PilotD's late answer reaches nothing.
TEST_P(holder_test, destroyed_holder_calls_no_waiter)
{
    auto got = ask();
    ASSERT_TRUE(socket_requested(service().app));
    service().drop_holder(*inventory);
    answer_socket(service().app, listener.path());
    for (int i = 0; i < 20; ++i)
        pump();
    EXPECT_FALSE(got->done());
    EXPECT_FALSE(listener.wait_for_accepted(1, 200ms));
}

TEST_P(holder_test, destroyed_holder_closes_its_connection)
{
    ASSERT_NE(connected(), nullptr);
    ASSERT_TRUE(listener.wait_for_accepted(1));
    service().drop_holder(*inventory);
    EXPECT_TRUE(listener.wait_for_ended(1));
}

TEST_P(holder_test, broken_connection_is_dropped_and_the_next_request_reconnects)
{
    cf_ipc_link_t* first = connected();
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(listener.wait_for_accepted(1));
    listener.run_on_loop([this] { listener.end_all(); });
    const std::string warning =
        std::string(service().name) + " " + test_services::address_text(first) + ": Link disconnected";
    ASSERT_TRUE(run_until([&] { return logged(cf_log_warning, warning); }));

    cf_ipc_link_t* second = connected();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->is_open());
    EXPECT_TRUE(listener.wait_for_accepted(2));
}

TEST_P(holder_test, idle_connection_is_closed_on_the_eleventh_tick)
{
    ASSERT_NE(connected(), nullptr);
    ASSERT_TRUE(listener.wait_for_accepted(1));
    tick(10);
    // The stand-in would see the close within this time.
    EXPECT_FALSE(listener.wait_for_ended(1, 200ms));
    tick();
    if (!service().idle_close) {
        EXPECT_FALSE(listener.wait_for_ended(1, 200ms));
        return;
    }
    EXPECT_TRUE(listener.wait_for_ended(1));

    ASSERT_NE(connected(), nullptr);
    EXPECT_TRUE(listener.wait_for_accepted(2));
}

// PilotD's error answers and the connections that cannot be made: the
// waiter gets null and an Error line names the service.
struct failure_t {
    const char* name;
    // An error answer from PilotD, or else a path.
    ox::ErrorCode error;
    std::string path;
    // The line after the service's name and ": ".
    std::string line_start;
};

class holder_failure_test : public test_services::fixture_t,
                            public testing::WithParamInterface<std::tuple<service_t, failure_t>> {};

TEST_P(holder_failure_test, waiter_gets_null_and_the_next_request_asks_again)
{
    const auto& [service, failure] = GetParam();
    std::optional<cf_ipc_link_t*> got;
    service.get(*inventory, [&](cf_ipc_link_t* connection) { got = connection; });
    ASSERT_TRUE(socket_requested(service.app));
    if (failure.error != ox::EC_OK)
        answer_socket_error(service.app, failure.error);
    else
        answer_socket(service.app, failure.path);
    ASSERT_TRUE(run_until([&] { return got.has_value(); }));
    EXPECT_EQ(*got, nullptr);
    const auto errors = records(cf_log_error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with(std::string(service.name) + ": " + failure.line_start)) << errors[0];

    service.get(*inventory, [](cf_ipc_link_t*) {});
    EXPECT_TRUE(socket_requested(service.app));
}

INSTANTIATE_TEST_SUITE_P(
    cases, holder_failure_test,
    testing::Combine(testing::Values(tagger, vetter, seekd),
                     testing::Values(failure_t{"pilotd_error", ox::EC_UNEXPECTED_ERROR, "", "Unexpected error"},
                                     failure_t{"no_socket_at_the_path", ox::EC_OK,
                                               "/tmp/traxd-no-such-dir/service.sock",
                                               "connect: No such file or directory [system:2]"},
                                     failure_t{"path_is_no_socket", ox::EC_OK, "/dev/null",
                                               "connect: Connection refused [system:111]"},
                                     failure_t{"path_too_long", ox::EC_OK, "/tmp/" + std::string(103, 'x'),
                                               "File name too long [system:36]"})),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name; });

// After PilotD says the service is not installed, requests get null at once
// without asking, until something makes the holder forget.
enum class event_t { settings_change, list_naming_the_service, list_naming_another, list_without_root_info };

struct forget_t {
    const char* name;
    // What happens between the refusal and the next request.
    event_t event;
    bool asks_again;
};

class holder_forget_test : public test_services::fixture_t,
                           public testing::WithParamInterface<std::tuple<service_t, forget_t>> {};

TEST_P(holder_forget_test, not_installed_service_is_refused_until_forgotten)
{
    const auto& [service, forget] = GetParam();
    const ox::Application another = service.app == ox::APP_VETTER ? ox::APP_TAGGER : ox::APP_VETTER;
    std::vector<cf_ipc_link_t*> got;
    const auto ask = [&] { service.get(*inventory, [&](cf_ipc_link_t* connection) { got.push_back(connection); }); };

    ask();
    ASSERT_TRUE(socket_requested(service.app));
    answer_socket_error(service.app, ox::EC_NOT_INSTALLED);
    ASSERT_TRUE(run_until([&] { return got.size() == 1; }));
    EXPECT_EQ(got[0], nullptr);
    EXPECT_TRUE(logged(cf_log_error, std::string(service.name) + ": Component is not installed"));

    // Refused at once, PilotD not asked.
    ask();
    ASSERT_TRUE(run_until([&] { return got.size() == 2; }));
    EXPECT_EQ(got[1], nullptr);
    EXPECT_FALSE(socket_requested(service.app, 200ms));

    // The application lists are not acknowledged: the test waits until the
    // holders have seen them.
    int lists = 0;
    boost::signals2::scoped_connection counting = inventory->pilotd_tie->appinfo_changed.connect(
        [&lists](const google::protobuf::RepeatedPtrField<ox::AppInfo>&) { ++lists; });
    switch (forget.event) {
    case event_t::settings_change:
        apply_settings();
        break;
    case event_t::list_naming_the_service:
        pilotd.send(test_services::app_info({another, service.app}));
        break;
    case event_t::list_naming_another:
        pilotd.send(test_services::app_info({another}));
        break;
    case event_t::list_without_root_info:
        pilotd.send(test_services::app_info({service.app}, false));
        break;
    }
    if (forget.event != event_t::settings_change) {
        ASSERT_TRUE(run_until([&] { return lists == 1; }));
    }
    ask();
    EXPECT_EQ(socket_requested(service.app, forget.asks_again ? 5000ms : 200ms), forget.asks_again);
    if (!forget.asks_again) {
        ASSERT_TRUE(run_until([&] { return got.size() == 3; }));
        EXPECT_EQ(got[2], nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, holder_forget_test,
    testing::Combine(testing::Values(tagger, vetter, seekd),
                     testing::Values(forget_t{"settings_change", event_t::settings_change, true},
                                     forget_t{"app_list_naming_the_service", event_t::list_naming_the_service, true},
                                     forget_t{"app_list_naming_another_service", event_t::list_naming_another, false},
                                     forget_t{"app_list_without_root_information", event_t::list_without_root_info,
                                              false})),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name; });

INSTANTIATE_TEST_SUITE_P(services, holder_test, testing::Values(tagger, vetter, seekd),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
