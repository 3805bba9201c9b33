// The scan-state watcher in an application object whose PilotD is the
// test: the state it reports, and the probes it runs while the state is an
// error. The ticks are the test's own.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/pilotd_tie.hpp"
#include "clients/state_watcher.hpp"
#include "clients/vetter_connection.hpp"
#include "common/error_category.hpp"
#include "services_fixture.hpp"
#include "standins/vetter_standin.hpp"

namespace {

using tag_t = ox::TRAXD2PilotdMessage;

class watcher_fixture_t : public test_services::fixture_t {
protected:
    watcher_fixture_t()
    {
        pilotd.send(test_pilotd::config_response(settings(), 5));
        const auto info = next_info();
        if (!info || info->info().scan_state() != ox::EC_UNKNOWN_STATE)
            throw std::runtime_error("the settings were not applied");
    }

    ic::state_watcher_t& watcher() { return *inventory->state_watcher; }

    std::optional<ox::TRAXD2PilotdMessage> next_info(std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        return pilotd.receive_tag(tag_t::MY_INFO_NOTIFICATION, pumper(), limit);
    }

    bool no_info() { return !next_info(std::chrono::milliseconds(200)); }

    // Probes started, and probes that found no Vetter.
    std::size_t count(const std::string& text) const
    {
        std::size_t n = 0;
        for (const auto& record : log->records)
            if (record.level == cf_log_debug && record.text == text)
                ++n;
        return n;
    }
    std::size_t probes() const { return count("state_watcher_t::scan_empty: get Vetter"); }
    std::size_t finished_probes() const { return count("state_watcher_t::scan_empty: no Vetter"); }

    void ticks(int n) { tick(n); }

    const boost::system::error_code no_vetter = ox::make_error_code(ox::EC_NO_VETTER);
};

// Vetter is not installed, as PilotD said when first asked: every probe
// fails with EC_NO_VETTER at once.
class state_watcher_test : public watcher_fixture_t {
protected:
    state_watcher_test()
    {
        bool answered = false;
        inventory->get_vetter_connection([&answered](ic::vetter_connection_t*) { answered = true; });
        if (!socket_requested(ox::APP_VETTER))
            throw std::runtime_error("Vetter's socket was not asked for");
        answer_socket_error(ox::APP_VETTER, ox::EC_NOT_INSTALLED);
        if (!run_until([&] { return answered; }))
            throw std::runtime_error("no answer from the holder");
    }
};

TEST_F(state_watcher_test, no_probe_while_the_state_is_unknown_or_good)
{
    ticks(40);
    EXPECT_EQ(probes(), 0u);
    EXPECT_TRUE(no_info());

    watcher().notify_scan_state(boost::system::error_code());
    const auto info = next_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->config_revision(), 5u);
    EXPECT_EQ(info->info().scan_state(), ox::EC_OK);
    EXPECT_EQ(info->info().oxs_state(), ox::EC_UNKNOWN_STATE);
    ticks(40);
    EXPECT_EQ(probes(), 0u);
}

TEST_F(state_watcher_test, an_error_is_probed_on_every_eleventh_tick)
{
    watcher().notify_scan_state(no_vetter);
    const auto info = next_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info().scan_state(), ox::EC_NO_VETTER);
    EXPECT_EQ(info->config_revision(), 5u);
    // The same error again is no change.
    watcher().notify_scan_state(no_vetter);
    EXPECT_TRUE(no_info());

    for (std::size_t round = 1; round <= 3; ++round) {
        ticks(10);
        EXPECT_EQ(probes(), round - 1) << "round " << round;
        ticks(1);
        EXPECT_EQ(probes(), round) << "round " << round;
        // The probe's failure is recorded like any scan's: no change to
        // report, and counting starts again.
        ASSERT_TRUE(run_until([&] { return finished_probes() == round; }));
    }
    EXPECT_TRUE(no_info());

    // Failing scans keep setting the count back: busy traffic causes no
    // probe.
    for (int i = 0; i < 5; ++i) {
        ticks(8);
        watcher().notify_scan_state(no_vetter);
    }
    EXPECT_EQ(probes(), 3u);
}

TEST_F(state_watcher_test, a_probe_that_never_ends_is_not_started_again)
{
    watcher().notify_scan_state(no_vetter);
    ASSERT_TRUE(next_info());
    // The probe's answer waits on the event loop, which does not run here.
    ticks(11);
    EXPECT_EQ(probes(), 1u);
    ticks(200);
    EXPECT_EQ(probes(), 1u);
    ASSERT_TRUE(run_until([&] { return finished_probes() == 1; }));
}

TEST_F(state_watcher_test, new_settings_make_the_state_unknown_and_stop_probing)
{
    watcher().notify_scan_state(no_vetter);
    ASSERT_TRUE(next_info());
    ticks(5);
    pilotd.send(test_pilotd::config_response(settings(), 6));
    const auto info = next_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->config_revision(), 6u);
    EXPECT_EQ(info->info().scan_state(), ox::EC_UNKNOWN_STATE);
    EXPECT_EQ(info->info().oxs_state(), ox::EC_UNKNOWN_STATE);
    ticks(40);
    EXPECT_EQ(probes(), 0u);
}

// Status queries that come while a probe runs join it.
TEST_F(state_watcher_test, waiters_share_one_probe_in_arrival_order)
{
    std::vector<std::string> answers;
    for (const char* name : {"first", "second"})
        watcher().async_get_scan_state([&answers, name](const ox::ScanReport& report,
                                                        const boost::system::error_code& error) {
            answers.push_back(std::string(name) + ":" + error.message() + ":" + std::to_string(report.ByteSizeLong()));
        });
    EXPECT_TRUE(answers.empty());
    ASSERT_TRUE(run_until([&] { return answers.size() == 2; }));
    EXPECT_EQ(answers,
              (std::vector<std::string>{"first:Vetter is not available:0", "second:Vetter is not available:0"}));
    EXPECT_EQ(probes(), 1u);
    // The probe's failure is a change from the unknown state.
    const auto info = next_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info().scan_state(), ox::EC_NO_VETTER);

    // A query after that starts a new probe, whatever the state.
    bool again = false;
    watcher().async_get_scan_state([&again](const auto&, const auto&) { again = true; });
    ASSERT_TRUE(run_until([&] { return again; }));
    EXPECT_EQ(probes(), 2u);
    EXPECT_TRUE(no_info());
}

// A Vetter to probe: the stand-in, whose socket PilotD gives.
class state_watcher_vetter_test : public watcher_fixture_t {
protected:
    state_watcher_vetter_test()
    {
        char name[] = "/tmp/traxd-watcher-XXXXXX";
        if (::mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp");
        directory = name;
        vetter = std::make_unique<standin::vetter_standin_t>(inventory->io_context, directory + "/vetter.sock");
    }
    ~state_watcher_vetter_test() override
    {
        vetter.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::size_t scan_requests() const
    {
        std::size_t n = 0;
        for (const auto& r : vetter->received())
            if (r.message.tag() == vr::ClientMessage::SCAN_REQUEST) {
                EXPECT_TRUE(r.message.scan_options().report_component_info());
                ++n;
            }
        return n;
    }

    std::string directory;
    std::unique_ptr<standin::vetter_standin_t> vetter;
};

TEST_F(state_watcher_vetter_test, a_successful_probe_reports_ok_and_probing_stops)
{
    watcher().notify_scan_state(no_vetter);
    ASSERT_EQ(next_info()->info().scan_state(), ox::EC_NO_VETTER);
    ticks(11);
    ASSERT_EQ(probes(), 1u);
    ASSERT_TRUE(socket_requested(ox::APP_VETTER));
    answer_socket(ox::APP_VETTER, vetter->path());
    const auto info = next_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info().scan_state(), ox::EC_OK);
    EXPECT_EQ(info->config_revision(), 5u);
    EXPECT_EQ(scan_requests(), 1u);
    ticks(40);
    EXPECT_EQ(probes(), 1u);
    EXPECT_TRUE(no_info());
}

TEST_F(state_watcher_vetter_test, a_status_query_gets_the_probe_report)
{
    std::optional<ox::ScanReport> report;
    boost::system::error_code error;
    watcher().async_get_scan_state([&](const ox::ScanReport& r, const boost::system::error_code& e) {
        report = r;
        error = e;
    });
    ASSERT_TRUE(socket_requested(ox::APP_VETTER));
    answer_socket(ox::APP_VETTER, vetter->path());
    ASSERT_TRUE(run_until([&] { return report.has_value(); }));
    EXPECT_FALSE(error) << error.message();
    const standin::vetter_scenario_t defaults;
    EXPECT_EQ(report->se_version(), defaults.se_version);
    EXPECT_EQ(report->core_engine_version(), defaults.core_engine_version);
    EXPECT_EQ(report->virus_records(), defaults.virus_records);
    EXPECT_EQ(report->base_stamp(), defaults.base_stamp);
    EXPECT_EQ(next_info()->info().scan_state(), ox::EC_OK);
    // The probe's read-back is not wanted: its job is reset.
    EXPECT_TRUE(run_until([&] {
        for (const auto& r : vetter->received())
            if (r.message.tag() == vr::ClientMessage::RESET)
                return true;
        return false;
    }));

    // Vetter fails the next probe: that failure is the new state.
    vetter->set_scenario({.alarm_after_chunks = 0, .alarm_code = ox::EC_NOT_A_REGULAR_FILE});
    report.reset();
    watcher().async_get_scan_state([&](const ox::ScanReport& r, const boost::system::error_code& e) {
        report = r;
        error = e;
    });
    ASSERT_TRUE(run_until([&] { return report.has_value(); }));
    EXPECT_EQ(error, ox::make_error_code(ox::EC_NOT_A_REGULAR_FILE));
    EXPECT_EQ(next_info()->info().scan_state(), ox::EC_NOT_A_REGULAR_FILE);
    EXPECT_EQ(scan_requests(), 2u);
}

} // namespace
