// The idle controller: its owner's function runs once, on the eleventh tick
// of an uninterrupted idle period.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clients/idle_controller.hpp"
#include "services_fixture.hpp"

namespace {

// One story: before each tick the owner may write the counter ('b' busy,
// 'i' idle again, '.' nothing); the ticks on which the function runs.
struct story_t {
    const char* name;
    std::string before_ticks;
    std::vector<int> calls;
};

class idle_controller_test : public test_services::fixture_t, public testing::WithParamInterface<story_t> {};

TEST_P(idle_controller_test, runs_on_the_eleventh_idle_tick)
{
    std::vector<int> calls;
    int tick_number = 0;
    ic::idle_controller_t controller(*inventory, [&] { calls.push_back(tick_number); });
    for (const char step : GetParam().before_ticks) {
        if (step == 'b')
            controller.counter = -1;
        else if (step == 'i')
            controller.counter = 0;
        ++tick_number;
        tick();
    }
    EXPECT_EQ(calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(cases, idle_controller_test,
                         testing::Values(story_t{"idle_from_creation", std::string(11, '.'), {11}},
                                         story_t{"ten_ticks_are_not_enough", std::string(10, '.'), {}},
                                         story_t{"twenty_idle_ticks_call_once", std::string(20, '.'), {11}},
                                         // Busy before the tenth tick, idle again before the fifteenth: the
                                         // count starts over there.
                                         story_t{"busy_at_the_tenth_tick_restarts_the_count",
                                                 std::string(9, '.') + "b....i" + std::string(10, '.'),
                                                 {25}},
                                         story_t{"busy_for_good_never_calls", "b" + std::string(30, '.'), {}},
                                         // Written again after the call, the count starts over.
                                         story_t{"a_second_idle_period_calls_again",
                                                 std::string(11, '.') + "b.i" + std::string(10, '.'),
                                                 {11, 24}}),
                         [](const auto& info) { return std::string(info.param.name); });

using idle_controller_lifetime_test = test_services::fixture_t;

// The function may end the controller's owner, and the controller with it,
// while the tick is being delivered.
TEST_F(idle_controller_lifetime_test, function_may_destroy_the_controller)
{
    int calls = 0;
    std::unique_ptr<ic::idle_controller_t> controller;
    controller = std::make_unique<ic::idle_controller_t>(*inventory, [&] {
        ++calls;
        controller.reset();
    });
    tick(12);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(controller, nullptr);
}

TEST_F(idle_controller_lifetime_test, destroyed_controller_no_longer_counts)
{
    int calls = 0;
    {
        ic::idle_controller_t controller(*inventory, [&] { ++calls; });
        tick(5);
    }
    tick(20);
    EXPECT_EQ(calls, 0);
}

} // namespace
