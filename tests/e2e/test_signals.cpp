// SIGHUP asks PilotD for the settings again and applies the answer, moving
// the listener only when the address changed; SIGTERM ends the daemon.

#include <memory>
#include <thread>
#include <vector>

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

class signals_test_t : public daemon_test_t {
protected:
    // Sends SIGHUP and waits for the request it causes and for the state
    // report that follows the answer; returns the report.
    std::optional<ox::TRAXD2PilotdMessage> reconfigure()
    {
        const std::size_t from = pilotd.frame_count();
        pilotd.signal(SIGHUP);
        const auto request = pilotd.wait_for_index(tag_t::GET_CONFIG_REQUEST, from);
        if (!request)
            return std::nullopt;
        const auto info = pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, *request + 1);
        if (!info)
            return std::nullopt;
        return info->message;
    }

    std::size_t count(const std::string& text) const
    {
        const std::string err = pilotd.stderr_text();
        std::size_t n = 0;
        for (auto at = err.find(text); at != std::string::npos; at = err.find(text, at + 1))
            ++n;
        return n;
    }
};

TEST_F(signals_test_t, sighup_with_the_same_settings_keeps_the_listener)
{
    ASSERT_TRUE(start_configured());
    standin::icap_client_t kept(port);
    pilotd.set_config(settings, revision + 1);
    const auto info = reconfigure();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->config_revision(), revision + 1);
    EXPECT_EQ(info->info().scan_state(), ox::EC_UNKNOWN_STATE);
    EXPECT_NE(pilotd.stderr_text().find("Notice: SIGHUP received, config will be ordered from PilotD\n"),
              std::string::npos);
    EXPECT_EQ(count("ICAP Server started: "), 1u) << pilotd.stderr_text();

    // A connection accepted before the signal is still served.
    const auto head = kept.ask(standin::options_query(port, "/reqmod"));
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->status_line, "ICAP/1.0 200 OK");
    EXPECT_TRUE(ask_options(port).has_value());
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(signals_test_t, sighup_with_a_new_address_moves_the_listener)
{
    ASSERT_TRUE(start_configured());
    standin::icap_client_t kept(port);
    const unsigned new_port = standin::free_port();
    settings.mutable_listen_address()->set_port(new_port);
    pilotd.set_config(settings, revision + 1);
    ASSERT_TRUE(reconfigure().has_value());

    EXPECT_TRUE(pilotd.wait_for_stderr("Notice: ICAP Server started: 127.0.0.1:" + std::to_string(new_port)));
    EXPECT_TRUE(ask_options(new_port).has_value());
    EXPECT_FALSE(ask_options(port).has_value()) << "the old address still listens";
    // Re-listening closes only the listening socket.
    EXPECT_TRUE(kept.ask(standin::options_query(port, "/respmod")).has_value());
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// Out of descriptors, the reload cannot look the run-as user up; that says
// nothing about the settings, so the daemon keeps its user and its proxies
// instead of ending, and serves again once descriptors are free. Once the
// daemon has switched users, the user database's later modules are loaded
// and report the failed search as an unknown name.
struct exhausted_case_t {
    const char* name;
    // The run-as user; empty for the start-up user.
    std::string user;
};

class exhausted_reload_test_t : public signals_test_t, public testing::WithParamInterface<exhausted_case_t> {};

TEST_P(exhausted_reload_test_t, sighup_keeps_the_daemon_running)
{
    const auto& c = GetParam();
    const std::string user = c.user.empty() ? current_user_name() : c.user;
    if (user != current_user_name() && ::getuid() != 0)
        GTEST_SKIP() << "switching users needs root";
    settings.mutable_run_as_user()->set_name(user);
    auto options = daemon_options();
    options.descriptor_limit = 64;
    ASSERT_TRUE(start_configured(options));
    std::vector<std::unique_ptr<standin::icap_client_t>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<standin::icap_client_t>(port));
    ASSERT_TRUE(pilotd.wait_for_stderr("Error: ICAP Server: accept: Too many open files\n"));

    pilotd.set_config(settings, revision + 1);
    const auto info = reconfigure();
    ASSERT_TRUE(info.has_value()) << "exit status " << pilotd.wait_exit(1s).value_or(-1);
    EXPECT_EQ(info->config_revision(), revision + 1);
    EXPECT_TRUE(pilotd.wait_for_stderr("Error: getpwnam(\"" + user + "\"): Too many open files; keeping run-as user "));

    idle.clear();
    auto head = ask_options(port);
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         !head && std::chrono::steady_clock::now() < deadline; head = ask_options(port))
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->status_line, "ICAP/1.0 200 OK");
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// "daemon" is a user of the password file that no later module makes up.
INSTANTIATE_TEST_SUITE_P(cases, exhausted_reload_test_t,
                         testing::Values(exhausted_case_t{"as_the_start_up_user", ""},
                                         exhausted_case_t{"after_a_switch", "daemon"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(signals_test_t, two_sighups_send_two_requests)
{
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    pilotd.set_auto_answer(false);
    pilotd.signal(SIGHUP);
    ASSERT_TRUE(pilotd.wait_for_index(tag_t::GET_CONFIG_REQUEST, from).has_value());
    pilotd.signal(SIGHUP);
    const auto first = pilotd.wait_for_index(tag_t::GET_CONFIG_REQUEST, from);
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(pilotd.wait_for_index(tag_t::GET_CONFIG_REQUEST, *first + 1).has_value());
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(signals_test_t, sigterm_before_any_settings_ends_with_107)
{
    pilotd.set_auto_answer(false);
    start();
    ASSERT_TRUE(pilotd.wait_for_frame(tag_t::GET_CONFIG_REQUEST).has_value());
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
    // No output was configured: the console shows what is at Notice or above.
    const std::string err = pilotd.stderr_text();
    EXPECT_NE(err.find("Notice: TRAXD 11.1.9.2205231640\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Notice: Termination signal received, exiting...\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Notice: Exit with status 107 (Process terminated by signal)\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("Debug: "), std::string::npos) << err;
}

} // namespace
} // namespace e2e
