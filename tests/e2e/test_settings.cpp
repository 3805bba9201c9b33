// Settings the daemon applies, and settings it cannot apply: those end it
// with 102 after an Error record that names the reason.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

struct refused_case_t {
    const char* name;
    std::function<void(ox::TRAXDConfig&)> spoil;
    std::string record;
};

class refused_settings_test_t : public daemon_test_t, public ::testing::WithParamInterface<refused_case_t> {};

TEST_P(refused_settings_test_t, ends_with_102_and_the_reason)
{
    GetParam().spoil(settings);
    start();
    const auto status = pilotd.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, ox::EC_BAD_CONFIG);
    const std::string err = pilotd.stderr_text();
    EXPECT_NE(err.find("Error: " + GetParam().record), std::string::npos) << err;
    EXPECT_NE(err.find("Notice: Exit with status 102 (Invalid configuration)\n"), std::string::npos) << err;
    for (const auto& frame : pilotd.frames())
        EXPECT_NE(frame.message.tag(), tag_t::MY_INFO_NOTIFICATION) << "refused settings were reported as applied";
}

INSTANTIATE_TEST_SUITE_P(
    settings, refused_settings_test_t,
    ::testing::Values(
        refused_case_t{"relative_templates_dir", [](auto& s) { s.set_templates_dir("templates"); },
                       "Bad TemplatesDir: \"templates\"\n"},
        refused_case_t{"empty_templates_dir", [](auto& s) { s.clear_templates_dir(); }, "Bad TemplatesDir: \"\"\n"},
        refused_case_t{"listen_address_not_an_address",
                       [](auto& s) { s.mutable_listen_address()->set_address("localhost"); }, "Bad ListenAddress: "},
        refused_case_t{"listen_address_absent", [](auto& s) { s.clear_listen_address(); }, "Bad ListenAddress: "},
        // A port that does not fit 16 bits is refused, not cut to its low
        // bits (66880 would otherwise become 1344).
        refused_case_t{"port_above_65535", [](auto& s) { s.mutable_listen_address()->set_port(66880); },
                       "Bad ListenAddress: "},
        refused_case_t{"log_file_that_cannot_be_created",
                       [](auto& s) {
                           s.mutable_actual_log()->set_type(ox::Log::FILE);
                           s.mutable_actual_log()->set_path("/nonexistent-orvex-dir/traxd.log");
                       },
                       "Cannot create log"},
        refused_case_t{"run_as_user_absent", [](auto& s) { s.clear_run_as_user(); }, "getpwnam(\"\"): No such user\n"},
        refused_case_t{"run_as_user_unknown", [](auto& s) { s.mutable_run_as_user()->set_name("no-such-user-orvex"); },
                       "getpwnam(\"no-such-user-orvex\"): No such user\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class settings_test_t : public daemon_test_t {};

TEST_F(settings_test_t, a_port_in_use_ends_with_102)
{
    // Another socket holds the port (listening, without SO_REUSEADDR).
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);

    start();
    EXPECT_EQ(pilotd.wait_exit(), ox::EC_BAD_CONFIG);
    const std::string err = pilotd.stderr_text();
    EXPECT_NE(err.find("Error: ICAP Server: "), std::string::npos) << err;
    EXPECT_NE(err.find(": 127.0.0.1:" + std::to_string(port) + "\n"), std::string::npos) << err;
    ::close(holder);
}

TEST_F(settings_test_t, the_highest_port_is_accepted)
{
    // 65535 itself is a port; only what lies beyond it is refused. Nothing
    // may listen there already, so only the settings' fate is checked when
    // the port happens to be taken.
    settings.mutable_listen_address()->set_port(65535);
    start();
    const auto info = pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, 0, 10s);
    if (!info) {
        ASSERT_EQ(pilotd.wait_exit(), ox::EC_BAD_CONFIG);
        EXPECT_EQ(pilotd.stderr_text().find("Bad ListenAddress"), std::string::npos) << pilotd.stderr_text();
        return;
    }
    EXPECT_TRUE(ask_options(65535).has_value());
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(settings_test_t, the_user_given_by_uid_and_ipv6_loopback_are_accepted)
{
    settings.mutable_run_as_user()->clear_name();
    settings.mutable_run_as_user()->set_uid(::getuid());
    settings.mutable_listen_address()->set_address("::1");
    ASSERT_TRUE(start_configured());
    EXPECT_TRUE(pilotd.wait_for_stderr("Notice: ICAP Server started: [::1]:" + std::to_string(port) + "\n"))
        << pilotd.stderr_text();
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(settings_test_t, the_same_settings_twice_keep_the_listener)
{
    ASSERT_TRUE(start_configured());
    standin::icap_client_t kept(port);
    const std::size_t from = pilotd.frame_count();
    pilotd.send_config(settings, revision + 3);
    const auto info = pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->message.config_revision(), revision + 3);
    EXPECT_TRUE(kept.ask(standin::options_query(port, "/reqmod")).has_value());
    const std::string err = pilotd.stderr_text();
    EXPECT_EQ(err.find("ICAP Server started: "), err.rfind("ICAP Server started: ")) << err;
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(settings_test_t, a_file_log_with_the_extra_pipe_copies_every_record)
{
    const std::string log_file = templates_dir + "/traxd.log";
    settings.mutable_actual_log()->set_type(ox::Log::FILE);
    settings.mutable_actual_log()->set_path(log_file);
    auto options = daemon_options();
    options.log_pipe = true;
    ASSERT_TRUE(start_configured(options));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
    const std::string piped = pilotd.log_pipe_text();
    EXPECT_NE(piped.find("Notice: TRAXD 11.1.9.2205231640\n"), std::string::npos) << piped;
    EXPECT_NE(piped.find("Notice: ICAP Server started: 127.0.0.1:" + std::to_string(port) + "\n"), std::string::npos)
        << piped;
}

// The run-as user: the current user means no switch, so a later other user
// is switched to once; a further change needs a new process (status 0), and
// so does a privileged port once the privileges are gone.
class run_as_user_test_t : public daemon_test_t {
protected:
    void SetUp() override
    {
        if (::getuid() != 0)
            GTEST_SKIP() << "switching users needs root";
    }

    bool apply(const std::string& user, unsigned listen_port)
    {
        settings.mutable_run_as_user()->set_name(user);
        settings.mutable_listen_address()->set_port(listen_port);
        const std::size_t from = pilotd.frame_count();
        pilotd.send_config(settings, ++revision);
        return pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from).has_value();
    }
};

TEST_F(run_as_user_test_t, a_second_switch_restarts)
{
    ASSERT_TRUE(start_configured());
    ASSERT_TRUE(apply("nobody", port));
    EXPECT_TRUE(pilotd.wait_for_stderr("Debug: Run as user 65534:65534\n")) << pilotd.stderr_text();
    EXPECT_TRUE(ask_options(port).has_value());
    EXPECT_TRUE(apply("nobody", port)) << "the same user again needs nothing";

    EXPECT_FALSE(apply("daemon", port));
    EXPECT_EQ(pilotd.wait_exit(), ox::EC_OK);
    EXPECT_NE(pilotd.stderr_text().find("Notice: Will restart for config changes to take effect\n"), std::string::npos)
        << pilotd.stderr_text();
}

TEST_F(run_as_user_test_t, a_privileged_port_after_the_switch_restarts)
{
    int first_unprivileged = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> first_unprivileged;
    if (first_unprivileged <= 1023)
        GTEST_SKIP() << "port 1023 is unprivileged here";
    ASSERT_TRUE(start_configured());
    ASSERT_TRUE(apply("nobody", port));
    EXPECT_FALSE(apply("nobody", 1023));
    EXPECT_EQ(pilotd.wait_exit(), ox::EC_OK);
    EXPECT_NE(pilotd.stderr_text().find("Notice: Will restart for config changes to take effect\n"), std::string::npos)
        << pilotd.stderr_text();
}

} // namespace
} // namespace e2e
