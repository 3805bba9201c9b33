// SIGHUP asks PilotD for the settings again and applies the answer, moving
// the listener only when the address changed; SIGTERM ends the daemon.

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

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
