// The log hook of the ox::util part of the library.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/util_log.hpp"

namespace {

using records_t = std::vector<std::pair<int, std::string>>;

// The hook is process-wide, so its life is followed in one sequence.
TEST(util_log, hook_life)
{
    // Before anything is installed: level 0 and a function that ignores.
    EXPECT_EQ(ox::util::get_log_level(), 0);
    EXPECT_NO_THROW(ox::util::log(4, "ignored"));
    ASSERT_TRUE(ox::util::get_logger());

    EXPECT_EQ(ox::util::set_log_level(3), 0);
    EXPECT_EQ(ox::util::set_log_level(1), 3);
    EXPECT_EQ(ox::util::get_log_level(), 1);

    records_t records;
    auto original =
        ox::util::set_logger([&records](int level, const std::string& text) { records.emplace_back(level, text); });
    ASSERT_TRUE(original);
    // The hook does not filter: callers compare with the level first.
    ox::util::log(0, "below the level");
    ox::util::log(4, "error");
    EXPECT_EQ(records, (records_t{{0, "below the level"}, {4, "error"}}));

    // A copy keeps working after the hook is replaced.
    auto copy = ox::util::get_logger();
    auto previous = ox::util::set_logger(nullptr);
    EXPECT_THROW(ox::util::log(2, "nowhere"), std::bad_function_call);
    copy(2, "through the copy");
    EXPECT_EQ(records.back(), (std::pair<int, std::string>{2, "through the copy"}));
    EXPECT_FALSE(ox::util::get_logger());

    // Putting the previous function back restores it.
    EXPECT_FALSE(ox::util::set_logger(std::move(previous)));
    ox::util::log(1, "restored");
    EXPECT_EQ(records.back(), (std::pair<int, std::string>{1, "restored"}));
    ox::util::set_logger(std::move(original));
    ox::util::set_log_level(0);
}

// Calls of the installed function are serialised: a function that is not
// safe for concurrent use sees every call from several threads.
TEST(util_log, calls_are_serialised)
{
    std::vector<int> seen;
    auto original = ox::util::set_logger([&seen](int level, const std::string&) { seen.push_back(level); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 1000; ++i)
                ox::util::log(t, "x");
        });
    for (auto& thread : threads)
        thread.join();
    ox::util::set_logger(std::move(original));
    EXPECT_EQ(seen.size(), 4000u);
}

} // namespace
