// The system-log output, with its calls pointed at a sink of the test so
// that nothing reaches the machine's system log.

#include <gtest/gtest.h>

#include <syslog.h>

#include <optional>
#include <string>
#include <vector>

#include "common/log_factory.hpp"
#include "common/syslog_log.hpp"

namespace {

struct call_t {
    std::string what;
    std::optional<std::string> ident; // open: null identity as nullopt
    int option = 0;
    int facility_or_priority = 0;
    std::string text;
    bool operator==(const call_t&) const = default;
};

std::ostream& operator<<(std::ostream& os, const call_t& c)
{
    return os << c.what << "(" << c.ident.value_or("<null>") << ", " << c.option << ", " << c.facility_or_priority
              << ", \"" << c.text << "\")";
}

std::vector<call_t> calls;

call_t opened(std::optional<std::string> ident, int facility)
{
    return {"open", std::move(ident), LOG_PID, facility, ""};
}

call_t logged(int priority, std::string text)
{
    return {"log", std::nullopt, 0, priority, std::move(text)};
}

const call_t closed{"close", std::nullopt, 0, 0, ""};

class syslog_sink : public testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        cf_syslog_calls = {
            [](const char* ident, int option, int facility) {
                calls.push_back(
                    {"open", ident ? std::optional<std::string>(ident) : std::nullopt, option, facility, ""});
            },
            [](int priority, const char* text) { calls.push_back(logged(priority, text)); },
            [] { calls.push_back(closed); },
        };
    }
    void TearDown() override { cf_syslog_calls = cf_system_syslog_calls; }
};

TEST_F(syslog_sink, records_carry_the_priority_of_their_level_and_the_text_alone)
{
    {
        cf_syslog_log_t output("traxd", LOG_LOCAL3, nullptr, nullptr);
        output.open();
        const std::pair<int, int> levels[] = {
            {0, LOG_DEBUG}, {1, LOG_INFO}, {2, LOG_NOTICE}, {3, LOG_WARNING},
            {4, LOG_ERR},   {5, LOG_ERR},  {-1, LOG_ERR},   {-100, LOG_ERR},
        };
        for (const auto& [level, priority] : levels)
            output.write(level, "level " + std::to_string(level));
        output.write_raw("tag", 7, "raw text");
        output.write_out_of_memory();
        output.write(2, "100% %s %n");
    }
    const std::vector<call_t> expected = {
        opened("traxd", 152),
        logged(LOG_DEBUG, "level 0"),
        logged(LOG_INFO, "level 1"),
        logged(LOG_NOTICE, "level 2"),
        logged(LOG_WARNING, "level 3"),
        logged(LOG_ERR, "level 4"),
        logged(LOG_ERR, "level 5"),
        logged(LOG_ERR, "level -1"),
        logged(LOG_ERR, "level -100"),
        logged(LOG_ERR, "tag-7: raw text"),
        logged(LOG_ERR, "Error: Not enough memory"),
        logged(LOG_NOTICE, "100% %s %n"),
        closed,
    };
    EXPECT_EQ(calls, expected);
}

TEST_F(syslog_sink, factory_passes_identity_and_facility)
{
    struct case_t {
        std::optional<std::string> ident;
        std::optional<int> facility;
        std::optional<std::string> opened_ident;
        int opened_facility;
    };
    const case_t cases[] = {
        {"traxd", ox::Log::LOCAL3, "traxd", LOG_LOCAL3},
        {std::nullopt, ox::Log::LOCAL3, std::nullopt, 152},
        {"", ox::Log::USER, std::nullopt, LOG_USER},
        {"x", std::nullopt, "x", LOG_DAEMON},
        {"x", ox::Log::MAIL, "x", LOG_MAIL},
        {"x", ox::Log::LOCAL7, "x", 184},
    };
    for (const auto& c : cases) {
        calls.clear();
        ox::Log settings;
        settings.set_type(ox::Log::SYSLOG);
        if (c.ident)
            settings.set_ident(*c.ident);
        if (c.facility)
            settings.set_facility(static_cast<ox::Log::LogFacility>(*c.facility));
        auto output = cf_make_log(settings, nullptr, nullptr);
        ASSERT_TRUE(output);
        output->open();
        output.reset();
        const std::vector<call_t> expected = {opened(c.opened_ident, c.opened_facility), closed};
        EXPECT_EQ(calls, expected) << c.ident.value_or("<none>");
    }
}

TEST(syslog_facility, table)
{
    const std::pair<int, int> cases[] = {
        {1, 24},   {2, 8},    {3, 16},   {4, 24},   {9, 24},   {10, 128}, {11, 136}, {12, 144},
        {13, 152}, {14, 160}, {15, 168}, {16, 176}, {17, 184}, {0, 24},   {18, 24},  {-1, 24},
    };
    for (const auto& [facility, expected] : cases)
        EXPECT_EQ(cf_syslog_facility(facility), expected) << facility;
}

// Replacing one system-log output by another must close the first
// connection before the second is opened, since the connection is shared by
// the whole process.
TEST_F(syslog_sink, replaced_output_closes_before_the_new_one_opens)
{
    cf_set_log(std::make_shared<cf_syslog_log_t>("first", LOG_USER, nullptr, nullptr));
    cf_log(2, "to first");
    cf_set_log(std::make_shared<cf_syslog_log_t>(nullptr, LOG_MAIL, nullptr, nullptr));
    cf_log(4, "to second");
    cf_set_log(cf_make_default_log());
    const std::vector<call_t> expected = {
        opened("first", LOG_USER),      logged(LOG_NOTICE, "to first"), closed,
        opened(std::nullopt, LOG_MAIL), logged(LOG_ERR, "to second"),   closed,
    };
    EXPECT_EQ(calls, expected);
}

} // namespace
