// The program started without PilotD: the small stand-alone command line,
// and a COM_ORVEX_MONITOR that names no descriptor.

#include <pwd.h>
#include <sys/stat.h>

#include <cstdio>

#include <google/protobuf/util/json_util.h>

#include "e2e/daemon_fixture.hpp"
#include "schemas/application.pb.h"

namespace e2e {
namespace {

using e2e::PrintTo;

const std::string version_line = "orvex-traxd 11.1.9.2205231640\n";
const std::string standalone_line = "Cannot run standalone. See orvex-traxd(1) for details.\n";

struct command_line_case_t {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    // The whole standard output, or, when `contains` is set, a part of it.
    std::string out;
    bool contains;
    // Whether the standard error holds one Error line (and nothing else).
    bool error_line;
};

class command_line_test_t : public ::testing::TestWithParam<command_line_case_t> {};

TEST_P(command_line_test_t, prints_and_exits_with_its_status)
{
    const auto& c = GetParam();
    standin::pilotd_standin_t pilotd;
    auto options = daemon_options();
    options.pass_channel = false;
    options.arguments = c.arguments;
    pilotd.start(options);

    const auto status = pilotd.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, c.status);
    const std::string out = pilotd.stdout_text();
    if (c.contains)
        EXPECT_NE(out.find(c.out), std::string::npos) << out;
    else
        EXPECT_EQ(out, c.out);
    const std::string err = pilotd.stderr_text();
    if (c.error_line) {
        EXPECT_NE(err.find("Error: "), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.find("Exit with status"), std::string::npos) << err;
    } else {
        EXPECT_EQ(err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    standalone, command_line_test_t,
    ::testing::Values(command_line_case_t{"no_option", {}, 1, standalone_line, false, false},
                      command_line_case_t{"help", {"--help"}, 0, "Command line options", true, false},
                      command_line_case_t{"help_short", {"-h"}, 0, "Command line options", true, false},
                      command_line_case_t{"help_before_version", {"--version", "--help"}, 0, "--help", true, false},
                      command_line_case_t{"version", {"--version"}, 0, version_line, false, false},
                      command_line_case_t{"version_short", {"-v"}, 0, version_line, false, false},
                      command_line_case_t{"version_capitals", {"--VERSION"}, 0, version_line, false, false},
                      command_line_case_t{"version_prefix", {"--vers"}, 0, version_line, false, false},
                      command_line_case_t{"version_prefix_capitals", {"--VERS"}, 0, version_line, false, false},
                      command_line_case_t{"unknown_option", {"--frobnicate"}, 125, "", false, true},
                      command_line_case_t{"positional_argument", {"extra"}, 125, "", false, true},
                      command_line_case_t{"value_to_switch", {"--version=1"}, 125, "", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(command_line, help_lists_the_visible_options_only)
{
    standin::pilotd_standin_t pilotd;
    auto options = daemon_options();
    options.pass_channel = false;
    options.arguments = {"--help", "--version"};
    pilotd.start(options);
    ASSERT_EQ(pilotd.wait_exit(), 0);
    const std::string out = pilotd.stdout_text();
    EXPECT_NE(out.find("--help"), std::string::npos) << out;
    EXPECT_NE(out.find("--version"), std::string::npos) << out;
    EXPECT_NE(out.find("print help message and exit"), std::string::npos) << out;
    EXPECT_NE(out.find("print version and exit"), std::string::npos) << out;
    EXPECT_EQ(out.find("dump-app-info"), std::string::npos) << out;
    EXPECT_EQ(out.find(version_line), std::string::npos) << out;
}

// The hidden dump describes the file the daemon was started from: the
// test starts it by its absolute path, so every field is there.
TEST(command_line, dump_app_info_describes_the_executable)
{
    standin::pilotd_standin_t pilotd;
    auto options = daemon_options();
    options.pass_channel = false;
    options.arguments = {"--DUMP-APP"};
    pilotd.start(options);
    ASSERT_EQ(pilotd.wait_exit(), 0);
    EXPECT_EQ(pilotd.stderr_text(), "");
    const std::string out = pilotd.stdout_text();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    EXPECT_NE(out.find("\"exeMd5\":"), std::string::npos) << out;
    EXPECT_NE(out.find("\"installTime\":\""), std::string::npos) << out;

    ox::AppExeInfo info;
    ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(out, &info).ok()) << out;
    struct stat status {};
    ASSERT_EQ(::stat(TRAXD_BINARY, &status), 0);
    EXPECT_EQ(info.version(), "11.1.9.2205231640");
    EXPECT_EQ(info.exe_size(), static_cast<std::uint64_t>(status.st_size));
    EXPECT_EQ(info.install_time(), static_cast<std::uint64_t>(status.st_ctime));
    EXPECT_EQ(info.modification_time(), static_cast<std::uint64_t>(status.st_mtime));
    EXPECT_EQ(info.exe_owner(), ::getpwuid(status.st_uid)->pw_name);

    std::string hex;
    for (unsigned char byte : info.exe_md5()) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    std::string md5sum;
    if (FILE* pipe = ::popen("md5sum " TRAXD_BINARY, "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, pipe) != nullptr)
            md5sum = std::string(line).substr(0, 32);
        ::pclose(pipe);
    }
    EXPECT_EQ(hex, md5sum);
}

// A variable that names no usable descriptor: the held banner, the failure
// and the exit line, in this order, and status 125. A text that is no
// decimal number fails to convert; a number that is no open descriptor fails
// where the channel adopts it.
const std::string not_a_number = "Error: bad lexical cast: source type value could not be interpreted as target";
const std::string not_open = "Error: assign: Bad file descriptor [system:9]";

struct bad_monitor_case_t {
    const char* name;
    std::string text;
    std::string error_line;
};

class bad_monitor_test_t : public ::testing::TestWithParam<bad_monitor_case_t> {};

TEST_P(bad_monitor_test_t, ends_with_three_lines_and_status_125)
{
    standin::pilotd_standin_t pilotd;
    auto options = daemon_options();
    options.pass_channel = false;
    options.monitor_text = GetParam().text;
    options.arguments = {"--help"};
    pilotd.start(options);
    ASSERT_EQ(pilotd.wait_exit(), 125);
    const std::string err = pilotd.stderr_text();
    // No output was configured: the console's plain "Level: text" lines.
    EXPECT_EQ(err, "Notice: TRAXD 11.1.9.2205231640\n" + GetParam().error_line +
                       "\nNotice: Exit with status 125 (Unexpected error)\n");
    EXPECT_EQ(pilotd.stdout_text(), "");
}

INSTANTIATE_TEST_SUITE_P(monitor, bad_monitor_test_t,
                         ::testing::Values(bad_monitor_case_t{"empty", "", not_a_number},
                                           bad_monitor_case_t{"letters", "seven", not_a_number},
                                           bad_monitor_case_t{"leading_blank", " 7", not_a_number},
                                           bad_monitor_case_t{"trailing_blank", "7 ", not_a_number},
                                           bad_monitor_case_t{"hexadecimal", "0x7", not_a_number},
                                           bad_monitor_case_t{"beyond_int", "2147483648", not_a_number},
                                           bad_monitor_case_t{"beyond_uint", "4294967296", not_a_number},
                                           bad_monitor_case_t{"negative", "-5", not_open},
                                           bad_monitor_case_t{"plus_sign_not_open", "+900", not_open}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
