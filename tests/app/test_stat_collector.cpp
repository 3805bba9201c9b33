// The statistics of each one-second period.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/stat_collector.hpp"
#include "icap/icap_handler.hpp"
#include "icap/icap_server.hpp"
#include "inventory_fixture.hpp"

namespace {

using kind_t = ic::icap_handler_t::request_type_t;

// What happens during one period, and what its message must say.
struct period_t {
    std::vector<int> connections;
    std::vector<kind_t> queries;
    // base, in, out, options, reqmod, respmod, bad
    std::vector<std::uint64_t> expected;
};

struct story_t {
    const char* name;
    std::vector<period_t> periods;
};

class stat_collector_test : public test_inventory::fixture_t, public testing::WithParamInterface<story_t> {};

TEST_P(stat_collector_test, reports_each_period)
{
    // Periods end when the test says so, not with the clock.
    inventory->ticker.cancel();
    for (const auto& period : GetParam().periods) {
        for (const int delta : period.connections)
            ic::connection_count_signal(delta);
        for (const kind_t kind : period.queries)
            inventory->icap_handler->request_signal(kind);
        inventory->stat_collector->send();
        const auto message = pilotd.receive_tag(ox::TRAXD2PilotdMessage::MY_STAT_NOTIFICATION, pumper());
        ASSERT_TRUE(message);
        const auto& s = message->stat();
        EXPECT_EQ((std::vector<std::uint64_t>{s.connections().base(), s.connections().in(), s.connections().out(),
                                              s.requests().options(), s.requests().reqmod(), s.requests().respmod(),
                                              s.requests().bad()}),
                  period.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, stat_collector_test,
    testing::Values(story_t{"no_traffic", {{{}, {}, {0, 0, 0, 0, 0, 0, 0}}, {{}, {}, {0, 0, 0, 0, 0, 0, 0}}}},
                    story_t{"connection_within_one_period",
                            {{{+1, -1}, {kind_t::options, kind_t::respmod, kind_t::respmod}, {0, 1, 1, 1, 0, 2, 0}},
                             {{}, {}, {0, 0, 0, 0, 0, 0, 0}}}},
                    story_t{"connection_over_several_periods",
                            {{{+1}, {kind_t::reqmod}, {0, 1, 0, 0, 1, 0, 0}},
                             {{}, {}, {1, 0, 0, 0, 0, 0, 0}},
                             {{-1}, {}, {1, 0, 1, 0, 0, 0, 0}},
                             {{}, {}, {0, 0, 0, 0, 0, 0, 0}}}},
                    story_t{"bad_queries", {{{+1, +1, 0}, {kind_t::bad, kind_t::bad}, {0, 2, 0, 0, 0, 0, 2}}}}),
    [](const auto& info) { return std::string(info.param.name); });

using stat_ticks_test = test_inventory::fixture_t;

// The ticker sends the statistics on its own, before any settings.
TEST_F(stat_ticks_test, first_tick_sends_zeros)
{
    const auto started = std::chrono::steady_clock::now();
    const auto message = pilotd.receive_tag(ox::TRAXD2PilotdMessage::MY_STAT_NOTIFICATION, pumper());
    ASSERT_TRUE(message);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_EQ(message->stat().connections().base(), 0u);
    EXPECT_EQ(message->stat().requests().options(), 0u);
}

} // namespace
