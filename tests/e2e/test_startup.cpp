// Start-up under PilotD: the first request, the statistics every second
// before and after the settings, the state report after applying them, and
// the start banner as the configured threshold lets it through.

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

class startup_test_t : public daemon_test_t {};

bool all_zero(const ox::TRAXDAppStat& stat)
{
    const auto& c = stat.connections();
    const auto& r = stat.requests();
    return c.base() == 0 && c.in() == 0 && c.out() == 0 && r.options() == 0 && r.reqmod() == 0 && r.respmod() == 0 &&
           r.bad() == 0;
}

std::vector<standin::frame_t> frames_with(const std::vector<standin::frame_t>& frames, int tag)
{
    std::vector<standin::frame_t> result;
    for (const auto& f : frames)
        if (f.message.tag() == tag)
            result.push_back(f);
    return result;
}

TEST_F(startup_test_t, asks_for_settings_first_and_reports_statistics_before_and_after)
{
    pilotd.set_auto_answer(false);
    start();

    // Before any settings: the request, then a statistics message a second.
    // Generous limits: a loaded machine starts the sanitized daemon slowly.
    const auto second_stat = [&](std::size_t from) {
        const auto first = pilotd.wait_for_index(tag_t::MY_STAT_NOTIFICATION, from, 15s);
        return first ? pilotd.wait_for_index(tag_t::MY_STAT_NOTIFICATION, *first + 1, 5s) : std::nullopt;
    };
    ASSERT_TRUE(second_stat(0).has_value());
    const auto before = pilotd.frames();
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.front().message.tag(), tag_t::GET_CONFIG_REQUEST);
    EXPECT_EQ(frames_with(before, tag_t::GET_CONFIG_REQUEST).size(), 1u);
    EXPECT_TRUE(frames_with(before, tag_t::MY_INFO_NOTIFICATION).empty());

    pilotd.send_config();
    const auto info_at = pilotd.wait_for_index(tag_t::MY_INFO_NOTIFICATION, 0, 10s);
    ASSERT_TRUE(info_at.has_value());
    const auto info = pilotd.frames()[*info_at].message;
    EXPECT_EQ(info.config_revision(), revision);
    ASSERT_TRUE(info.has_info());
    EXPECT_EQ(info.info().scan_state(), ox::EC_UNKNOWN_STATE);
    EXPECT_EQ(info.info().oxs_state(), ox::EC_UNKNOWN_STATE);

    ASSERT_TRUE(second_stat(*info_at + 1).has_value());
    const auto stats = frames_with(pilotd.frames(), tag_t::MY_STAT_NOTIFICATION);
    ASSERT_GE(stats.size(), 4u);
    for (std::size_t i = 0; i < stats.size(); ++i) {
        ASSERT_TRUE(stats[i].message.has_stat());
        EXPECT_TRUE(all_zero(stats[i].message.stat())) << stats[i].message.ShortDebugString();
        // A tick a second (with room for delivery jitter), not a burst.
        if (i > 0) {
            EXPECT_GE(stats[i].arrival - stats[i - 1].arrival, 800ms);
        }
    }
    EXPECT_EQ(pilotd.malformed_frames(), 0u);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// The banner is held until the settings install the output, which writes
// only what the configured threshold lets through.
struct banner_case_t {
    const char* name;
    std::optional<ox::LogLevel> level;
    bool banner_written;
};

class banner_test_t : public daemon_test_t, public ::testing::WithParamInterface<banner_case_t> {};

TEST_P(banner_test_t, held_banner_follows_the_threshold)
{
    if (GetParam().level)
        settings.set_log_level(*GetParam().level);
    else
        settings.clear_log_level();
    ASSERT_TRUE(start_configured());
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
    const std::string err = pilotd.stderr_text();
    EXPECT_EQ(err.find("Notice: TRAXD 11.1.9.2205231640\n") != std::string::npos, GetParam().banner_written) << err;
}

INSTANTIATE_TEST_SUITE_P(levels, banner_test_t,
                         ::testing::Values(banner_case_t{"debug", ox::LOG_LEVEL_DEBUG, true},
                                           banner_case_t{"absent_reads_as_debug", std::nullopt, true},
                                           banner_case_t{"notice", ox::LOG_LEVEL_NOTICE, true},
                                           banner_case_t{"warning", ox::LOG_LEVEL_WARNING, false},
                                           banner_case_t{"error", ox::LOG_LEVEL_ERROR, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(startup_test_t, ignores_the_command_line_when_run_by_pilotd)
{
    auto options = daemon_options();
    options.arguments = {"--help"};
    ASSERT_TRUE(start_configured(options));
    EXPECT_EQ(pilotd.frames().front().message.tag(), tag_t::GET_CONFIG_REQUEST);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
    EXPECT_EQ(pilotd.stdout_text(), "");
}

TEST_F(startup_test_t, takes_a_descriptor_number_with_a_plus_sign)
{
    auto options = daemon_options();
    options.channel_descriptor = 7;
    options.monitor_text = "+7";
    ASSERT_TRUE(start_configured(options));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(startup_test_t, a_descriptor_that_is_not_open_ends_with_the_assign_error)
{
    auto options = daemon_options();
    options.pass_channel = false;
    options.monitor_text = "987";
    start(options);
    EXPECT_EQ(pilotd.wait_exit(), ox::EC_UNEXPECTED_ERROR);
    const std::string err = pilotd.stderr_text();
    EXPECT_NE(err.find("Error: assign"), std::string::npos) << err;
    EXPECT_NE(err.find("Notice: Exit with status 125 (Unexpected error)"), std::string::npos) << err;
}

TEST_F(startup_test_t, logs_the_listener_and_the_exit_line)
{
    ASSERT_TRUE(start_configured());
    EXPECT_TRUE(pilotd.wait_for_stderr("Notice: ICAP Server started: 127.0.0.1:" + std::to_string(port) + "\n"))
        << pilotd.stderr_text();
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
    const std::string err = pilotd.stderr_text();
    EXPECT_NE(err.find("Notice: Termination signal received, exiting...\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Notice: Exit with status 107 (Process terminated by signal)\n"), std::string::npos) << err;
}

} // namespace
} // namespace e2e
