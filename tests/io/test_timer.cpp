#include "io/timer.hpp"

#include <chrono>
#include <limits>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

class timer_test : public ::testing::Test {
protected:
    io::timer_t::pointer_t make(nanoseconds timeout, int mode = io::timer_t::one_shot)
    {
        return io::timer_t::make(
            context, timeout, [this] { ++fired; }, mode);
    }

    boost::asio::io_context context;
    int fired = 0;
};

TEST_F(timer_test, expiry_runs_later_never_inside_make)
{
    for (auto timeout : {nanoseconds(0), nanoseconds(-5s), nanoseconds(1ms)}) {
        fired = 0;
        auto timer = make(timeout);
        EXPECT_EQ(fired, 0);
        context.restart();
        context.run_for(5s);
        EXPECT_EQ(fired, 1) << timeout.count();
    }
}

TEST_F(timer_test, runs_without_outside_owners)
{
    make(1ms);
    context.run_for(5s);
    EXPECT_EQ(fired, 1);
}

TEST_F(timer_test, cancel_before_expiry_stops_the_handler)
{
    auto timer = make(50ms);
    timer->cancel();
    const auto start = std::chrono::steady_clock::now();
    context.run_for(5s);
    EXPECT_EQ(fired, 0);
    // The cancelled wait ended the work at once, without waiting it out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(timer_test, cancel_after_expiry_does_nothing)
{
    auto timer = make(0ns);
    context.run_for(5s);
    timer->cancel();
    timer->cancel();
    context.restart();
    context.run_for(10ms);
    EXPECT_EQ(fired, 1);
}

TEST_F(timer_test, cancel_of_an_expiry_already_queued_comes_too_late)
{
    // Both deadlines have passed when the loop looks at its timers, so both
    // expiries are queued in the same turn; cancelling the second from the
    // first's handler cannot stop it any more.
    io::timer_t::pointer_t second;
    auto first = io::timer_t::make(
        context, -1s, [&] { second->cancel(); }, io::timer_t::one_shot);
    second = make(-1s);
    context.run_for(5s);
    EXPECT_EQ(fired, 1);
}

TEST_F(timer_test, largest_timeout_does_not_overflow)
{
    auto timer = make(nanoseconds(std::numeric_limits<nanoseconds::rep>::max()));
    context.run_for(50ms);
    EXPECT_EQ(fired, 0);
    timer->cancel();
    context.restart();
    context.run_for(1s);
    EXPECT_EQ(fired, 0);
}

TEST_F(timer_test, periodic_until_the_handler_cancels_it)
{
    io::timer_t::pointer_t timer;
    timer = io::timer_t::make(
        context, 1ms,
        [&] {
            if (++fired == 3)
                timer->cancel();
        },
        io::timer_t::periodic);
    context.run_for(5s);
    EXPECT_EQ(fired, 3);
    timer.reset();
}

TEST_F(timer_test, empty_handler_throws_at_expiry)
{
    io::timer_t::make(context, 0ns, io::timer_t::handler_t(), io::timer_t::one_shot);
    EXPECT_THROW(context.run_for(5s), std::bad_function_call);
}

} // namespace
