// The program started without PilotD, and started with a PilotD channel
// variable it cannot use.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_process.hpp"

namespace {

using test_daemon::process_t;

const std::string version_line = "orvex-traxd 11.1.9.2205231640\n";

struct standalone_case_t {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    // Standard output equals this, or, for help, starts with it.
    std::string out;
    bool out_is_prefix;
};

class standalone_test : public testing::TestWithParam<standalone_case_t> {};

TEST_P(standalone_test, writes_and_exits)
{
    const auto& c = GetParam();
    process_t process(c.arguments, {{"COM_ORVEX_MONITOR", std::nullopt}});
    ASSERT_EQ(process.wait(), c.status);
    if (c.out_is_prefix)
        EXPECT_EQ(process.out.substr(0, c.out.size()), c.out) << process.out;
    else
        EXPECT_EQ(process.out, c.out);
    EXPECT_EQ(process.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    cases, standalone_test,
    testing::Values(
        standalone_case_t{"no_option", {}, 1, "Cannot run standalone. See orvex-traxd(1) for details.\n", false},
        standalone_case_t{"version", {"--version"}, 0, version_line, false},
        standalone_case_t{"short_version", {"-v"}, 0, version_line, false},
        standalone_case_t{"capital_version", {"--VERSION"}, 0, version_line, false},
        standalone_case_t{"prefix_version", {"--vers"}, 0, version_line, false},
        standalone_case_t{"help", {"--help"}, 0, "Command line options:\n", true},
        standalone_case_t{"help_and_version", {"--version", "-h"}, 0, "Command line options:\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(standalone, help_lists_the_visible_options_only)
{
    process_t process({"--help"}, {{"COM_ORVEX_MONITOR", std::nullopt}});
    ASSERT_EQ(process.wait(), 0);
    EXPECT_NE(process.out.find("--help"), std::string::npos);
    EXPECT_NE(process.out.find("print help message and exit"), std::string::npos);
    EXPECT_NE(process.out.find("--version"), std::string::npos);
    EXPECT_NE(process.out.find("print version and exit"), std::string::npos);
    EXPECT_EQ(process.out.find("dump-app-info"), std::string::npos);
    EXPECT_EQ(process.out.find(version_line), std::string::npos);
}

class rejected_command_line_test : public testing::TestWithParam<std::vector<std::string>> {};

// One Error line from the parser, no exit line (the threshold is Error).
TEST_P(rejected_command_line_test, ends_with_125)
{
    process_t process(GetParam(), {{"COM_ORVEX_MONITOR", std::nullopt}});
    ASSERT_EQ(process.wait(), 125);
    EXPECT_EQ(process.out, "");
    EXPECT_EQ(process.err.rfind("Error: ", 0), 0u) << process.err;
    EXPECT_EQ(std::count(process.err.begin(), process.err.end(), '\n'), 1) << process.err;
    EXPECT_EQ(process.err.find("Exit with status"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(cases, rejected_command_line_test,
                         testing::Values(std::vector<std::string>{"--bogus"},
                                         std::vector<std::string>{"positional"},
                                         std::vector<std::string>{"--version=1"},
                                         std::vector<std::string>{"--dump-app-info"}));

struct monitor_case_t {
    const char* name;
    std::string value;
    std::vector<std::string> error_lines;
};

class monitor_variable_test : public testing::TestWithParam<monitor_case_t> {};

// The held banner, the failure and the exit line reach the console.
TEST_P(monitor_variable_test, unusable_value_ends_with_125)
{
    const auto& c = GetParam();
    process_t process({"--help"}, {{"COM_ORVEX_MONITOR", c.value}});
    ASSERT_EQ(process.wait(), 125);
    EXPECT_EQ(process.out, "");
    std::string expected = "Notice: TRAXD 11.1.9.2205231640\n";
    for (const auto& line : c.error_lines)
        expected += line + "\n";
    expected += "Notice: Exit with status 125 (Unexpected error)\n";
    EXPECT_EQ(process.err, expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, monitor_variable_test,
    testing::Values(
        monitor_case_t{"empty", "", {"Error: bad lexical cast: source type value could not be interpreted as target"}},
        monitor_case_t{"letters", "abc", {"Error: bad lexical cast: source type value could not be interpreted as target"}},
        monitor_case_t{"too_large", "4294967296",
                       {"Error: bad lexical cast: source type value could not be interpreted as target"}},
        monitor_case_t{"blank", " 7", {"Error: bad lexical cast: source type value could not be interpreted as target"}},
        monitor_case_t{"negative", "-5", {"Error: assign: Bad file descriptor [system:9]"}},
        monitor_case_t{"plus_sign_closed", "+900", {"Error: assign: Bad file descriptor [system:9]"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
