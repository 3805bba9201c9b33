// The link to PilotD in the test process: socket-path requests, settings,
// and what ends the process.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <boost/system/system_error.hpp>

#include "app/core/pilotd_tie.hpp"
#include "common/error_category.hpp"
#include "inventory_fixture.hpp"

namespace {

using pilotd_tie_test = test_inventory::fixture_t;
using tag_t = ox::TRAXD2PilotdMessage;

struct answer_t {
    std::string waiter;
    std::string path;
    boost::system::error_code error;
    bool operator==(const answer_t&) const = default;
};

ox::Pilotd2TRAXDMessage socket_response(ox::Pilotd2TRAXDMessage::MessageTag tag)
{
    ox::Pilotd2TRAXDMessage message;
    message.set_tag(tag);
    return message;
}

TEST_F(pilotd_tie_test, one_request_serves_every_waiter_in_order)
{
    std::vector<answer_t> answers;
    for (const char* name : {"first", "second", "third"})
        inventory->pilotd_tie->request_socket(ox::APP_VETTER, [&answers, name](const boost::filesystem::path& path,
                                                                               const boost::system::error_code& error) {
            answers.push_back({name, path.string(), error});
        });
    const auto request = pilotd.receive(pumper());
    ASSERT_TRUE(request);
    EXPECT_EQ(request->tag(), tag_t::GET_VETTER_REQUEST);
    EXPECT_FALSE(request->has_app());

    auto response = socket_response(ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE);
    response.set_socket_path("/run/vetter.sock");
    pilotd.send(response);
    ASSERT_TRUE(run_until([&] { return answers.size() == 3; }));
    EXPECT_EQ(answers, (std::vector<answer_t>{{"first", "/run/vetter.sock", {}},
                                              {"second", "/run/vetter.sock", {}},
                                              {"third", "/run/vetter.sock", {}}}));

    // The list was emptied: the next waiter makes a new request.
    inventory->pilotd_tie->request_socket(ox::APP_VETTER, [](const auto&, const auto&) {});
    const auto again = pilotd.receive_tag(tag_t::GET_VETTER_REQUEST, pumper());
    EXPECT_TRUE(again);
}

struct service_case_t {
    const char* name;
    ox::Application app;
    tag_t::MessageTag request;
    ox::Pilotd2TRAXDMessage::MessageTag response;
};

class service_test : public test_inventory::fixture_t, public testing::WithParamInterface<service_case_t> {};

// An error answer reaches the waiters with an empty path and the error's
// code in the "ox.Error" category.
TEST_P(service_test, error_answer_reaches_the_waiters)
{
    const auto& c = GetParam();
    std::vector<answer_t> answers;
    inventory->pilotd_tie->request_socket(
        c.app, [&](const boost::filesystem::path& path, const boost::system::error_code& error) {
            answers.push_back({"", path.string(), error});
        });
    ASSERT_TRUE(pilotd.receive_tag(c.request, pumper()));
    auto response = socket_response(c.response);
    response.mutable_error()->set_code(ox::EC_NOT_INSTALLED);
    // The service is chosen by the tag alone.
    response.set_app(ox::APP_TRAXD);
    pilotd.send(response);
    ASSERT_TRUE(run_until([&] { return !answers.empty(); }));
    EXPECT_EQ(answers, (std::vector<answer_t>{{"", "", ox::make_error_code(ox::EC_NOT_INSTALLED)}}));
}

INSTANTIATE_TEST_SUITE_P(cases, service_test,
                         testing::Values(service_case_t{"vetter", ox::APP_VETTER, tag_t::GET_VETTER_REQUEST,
                                                        ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE},
                                         service_case_t{"seekd", ox::APP_SEEKD, tag_t::GET_SEEKD_REQUEST,
                                                        ox::Pilotd2TRAXDMessage::GET_SEEKD_RESPONSE},
                                         service_case_t{"tagger", ox::APP_TAGGER, tag_t::GET_TAGGER_REQUEST,
                                                        ox::Pilotd2TRAXDMessage::GET_TAGGER_RESPONSE}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(pilotd_tie_test, answer_nobody_asked_for_changes_nothing)
{
    auto response = socket_response(ox::Pilotd2TRAXDMessage::GET_SEEKD_RESPONSE);
    response.set_socket_path("/run/seekd.sock");
    pilotd.send(response);
    EXPECT_FALSE(run_until_stopped(std::chrono::milliseconds(300)));
}

TEST_F(pilotd_tie_test, empty_application_list_is_passed_on)
{
    int calls = 0;
    int size = -1;
    inventory->pilotd_tie->appinfo_changed.connect([&](const auto& list) {
        ++calls;
        size = list.size();
    });
    pilotd.send(socket_response(ox::Pilotd2TRAXDMessage::APPINFO_NOTIFICATION));
    ASSERT_TRUE(run_until([&] { return calls == 1; }));
    EXPECT_EQ(size, 0);
}

TEST_F(pilotd_tie_test, info_before_any_settings_carries_revision_0)
{
    inventory->pilotd_tie->send_info();
    const auto info = pilotd.receive_tag(tag_t::MY_INFO_NOTIFICATION, pumper());
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->has_config_revision());
    EXPECT_EQ(info->config_revision(), 0u);
}

TEST_F(pilotd_tie_test, settings_are_applied_then_acknowledged_with_their_revision)
{
    auto message = test_pilotd::config_response(settings(), 42);
    message.mutable_control()->set_app(ox::APP_TRAXD);
    message.mutable_control()->set_suspended(false);
    pilotd.send(message);
    const auto info = pilotd.receive_tag(tag_t::MY_INFO_NOTIFICATION, pumper());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->config_revision(), 42u);
    EXPECT_EQ(info->info().scan_state(), ox::EC_UNKNOWN_STATE);
    EXPECT_EQ(info->info().oxs_state(), ox::EC_UNKNOWN_STATE);
    EXPECT_EQ(inventory->pilotd_tie->config_revision, 42u);
    EXPECT_EQ(inventory->config_holder->config.templates_dir(), "/tmp");
}

TEST_F(pilotd_tie_test, refused_settings_leave_the_revision_alone)
{
    auto config = settings();
    config.set_templates_dir("relative");
    pilotd.send(test_pilotd::config_response(config, 9));
    EXPECT_EQ(run_until_stopped(), ox::EC_BAD_CONFIG);
    EXPECT_EQ(inventory->pilotd_tie->config_revision, 0u);
}

TEST_F(pilotd_tie_test, suspension_ends_with_88_before_applying)
{
    auto message = test_pilotd::config_response(settings(), 3);
    message.mutable_control()->set_app(ox::APP_TRAXD);
    message.mutable_control()->set_suspended(true);
    pilotd.send(message);
    EXPECT_EQ(run_until_stopped(), ox::EC_APP_SUSPENDED);
    EXPECT_TRUE(logged(cf_log_notice, "Component suspended, exiting..."));
    EXPECT_FALSE(inventory->config_holder->config.has_templates_dir());
}

struct broken_case_t {
    const char* name;
    std::function<void(test_pilotd::peer_t&)> send;
    std::string record;
};

class broken_link_test : public test_inventory::fixture_t, public testing::WithParamInterface<broken_case_t> {};

TEST_P(broken_link_test, ends_with_1)
{
    const auto& c = GetParam();
    c.send(pilotd);
    EXPECT_EQ(run_until_stopped(), ox::EC_MONITOR_IPC_ERROR);
    EXPECT_TRUE(logged(cf_log_error, c.record)) << (log->records.empty() ? "" : log->records.back().text);
}

ox::Pilotd2TRAXDMessage config_without_revision()
{
    auto message = test_pilotd::config_response(test_pilotd::usable_config(), 1);
    message.clear_config_revision();
    return message;
}

// Suspension is only looked at once the answer is complete.
ox::Pilotd2TRAXDMessage suspension_without_config()
{
    ox::Pilotd2TRAXDMessage message;
    message.set_tag(ox::Pilotd2TRAXDMessage::GET_CONFIG_RESPONSE);
    message.set_config_revision(1);
    message.mutable_control()->set_app(ox::APP_TRAXD);
    message.mutable_control()->set_suspended(true);
    return message;
}

INSTANTIATE_TEST_SUITE_P(
    cases, broken_link_test,
    testing::Values(broken_case_t{"closed", [](auto& p) { p.close_own(); }, "Monitor: Link disconnected"},
                    broken_case_t{"zero_length_frame", [](auto& p) { p.send_raw(std::string(4, '\0')); },
                                  "Monitor: Invalid IPC message size"},
                    broken_case_t{"unparsable", [](auto& p) { p.send_frame("\x08\x63"); },
                                  "Monitor: Invalid IPC message format [ox.Error:8]"},
                    broken_case_t{"settings_without_revision", [](auto& p) { p.send(config_without_revision()); },
                                  "Monitor: Protocol violation [ox.Error:12]"},
                    broken_case_t{"suspension_without_settings", [](auto& p) { p.send(suspension_without_config()); },
                                  "Monitor: Protocol violation [ox.Error:12]"},
                    broken_case_t{
                        "socket_answer_without_path_or_error",
                        [](auto& p) { p.send(socket_response(ox::Pilotd2TRAXDMessage::GET_TAGGER_RESPONSE)); },
                        "Monitor: Protocol violation [ox.Error:12]"},
                    broken_case_t{"answer_never_asked_for",
                                  [](auto& p) {
                                      auto m = socket_response(ox::Pilotd2TRAXDMessage::GET_KEEPERD_RESPONSE);
                                      m.set_socket_path("/run/x.sock");
                                      p.send(m);
                                  },
                                  "Monitor: Unexpected IPC message [ox.Error:11]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(pilotd_tie, descriptor_that_is_not_open_cannot_be_adopted)
{
    try {
        ic::inventory_t inventory(-5);
        FAIL() << "adopted";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(EBADF, boost::system::system_category()));
        EXPECT_EQ(std::string(e.what()).rfind("assign", 0), 0u) << e.what();
    }
}

} // namespace
