// The log sink of the URL and report part of the library.

#include <gtest/gtest.h>

#include "common/oxs_log.hpp"

namespace {

TEST(oxs_log, one_instance_with_level_0)
{
    auto& log = ox::oxs::log_t::instance();
    EXPECT_EQ(&log, &ox::oxs::log_t::instance());
    EXPECT_EQ(log.level, 0);
    EXPECT_TRUE(log.handler);
}

TEST(oxs_log, default_handler_writes_tagged_lines_to_standard_output)
{
    auto& log = ox::oxs::log_t::instance();
    log.handler = nullptr;
    log.set_default_handler();
    const std::pair<int, const char*> cases[] = {
        {0, "[DEBUG]: first\n"},
        {1, "[WARNING]: second\n"},
        {2, "[ERROR]: third\n"},
    };
    const char* texts[] = {"first", "second", "third"};
    for (const auto& [level, expected] : cases) {
        testing::internal::CaptureStdout();
        log.handler(level, texts[level]);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    }
}

TEST(oxs_log, handler_can_be_replaced)
{
    auto& log = ox::oxs::log_t::instance();
    std::vector<std::pair<int, std::string>> seen;
    log.handler = [&seen](int level, const std::string& text) { seen.emplace_back(level, text); };
    log.handler(2, "routed");
    log.set_default_handler();
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{2, "routed"}}));
}

} // namespace
