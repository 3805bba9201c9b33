#include "io/deadline.hpp"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

class deadline_test : public ::testing::Test {
protected:
    io::deadline_t::pointer_t make()
    {
        return io::deadline_t::make(context.get_executor(), [this] { passed.push_back(clock_type::now() - start); });
    }

    // Runs the loop until the deadline passed or the bound is reached.
    void run_for(clock_type::duration bound)
    {
        const auto until = clock_type::now() + bound;
        context.restart();
        while (passed.empty() && clock_type::now() < until)
            context.run_one_until(until);
    }

    boost::asio::io_context context;
    clock_type::time_point start = clock_type::now();
    std::vector<clock_type::duration> passed;
};

TEST_F(deadline_test, passes_once_after_its_time_never_inside_set)
{
    const auto deadline = make();
    deadline->set(30ms);
    EXPECT_TRUE(passed.empty());
    run_for(5s);
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_GE(passed.front(), 30ms);
    context.run_for(100ms);
    EXPECT_EQ(passed.size(), 1u);
}

TEST_F(deadline_test, lifted_deadline_does_not_pass)
{
    const auto deadline = make();
    deadline->set(20ms);
    deadline->lift();
    context.run_for(100ms);
    EXPECT_TRUE(passed.empty());
}

// Setting again moves the deadline both ways: later while a wait for the
// earlier one is outstanding, and earlier than the wait in progress.
TEST_F(deadline_test, set_again_moves_the_deadline)
{
    const auto deadline = make();
    deadline->set(20ms);
    deadline->set(150ms);
    run_for(5s);
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_GE(passed.front(), 150ms);

    passed.clear();
    start = clock_type::now();
    deadline->set(10s);
    deadline->set(20ms);
    run_for(5s);
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_LT(passed.front(), 5s);
}

// An expiry that was already due when the deadline was lifted and set anew
// waits for the new deadline.
TEST_F(deadline_test, expiry_already_due_waits_for_a_new_deadline)
{
    const auto deadline = make();
    deadline->set(1ms);
    std::this_thread::sleep_for(20ms);
    deadline->lift();
    start = clock_type::now();
    deadline->set(100ms);
    run_for(5s);
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_GE(passed.front(), 100ms);
}

TEST_F(deadline_test, gone_deadline_calls_nothing)
{
    auto deadline = make();
    deadline->set(10ms);
    deadline.reset();
    context.run_for(100ms);
    EXPECT_TRUE(passed.empty());
}

} // namespace
