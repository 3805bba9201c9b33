// The log factory: outputs from the ox::Log settings, the copy of every line
// to the descriptor named by COM_ORVEX_ADD_LOG_PIPE, and its parsing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>

#include <boost/filesystem.hpp>

#include "common/console_log.hpp"
#include "common/file_log.hpp"
#include "common/log_factory.hpp"
#include "common/syslog_log.hpp"
#include "tests/common/log_capture.hpp"

namespace {

using log_capture::record_t;
using log_capture::recording_log_t;

constexpr const char* pipe_variable = "COM_ORVEX_ADD_LOG_PIPE";

// Sets or removes the variable while it lives.
class environment_t {
public:
    explicit environment_t(const std::optional<std::string>& value)
    {
        if (value)
            ::setenv(pipe_variable, value->c_str(), 1);
        else
            ::unsetenv(pipe_variable);
    }
    ~environment_t() { ::unsetenv(pipe_variable); }
};

std::string read_file(const boost::filesystem::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void silence_syslog()
{
    cf_syslog_calls = {[](const char*, int, int) {}, [](int, const char*) {}, [] {}};
}

ox::Log settings_of(ox::Log::LogType type, const std::string& path = "", bool show_timestamp = false)
{
    ox::Log settings;
    settings.set_type(type);
    if (!path.empty())
        settings.set_path(path);
    if (show_timestamp)
        settings.set_show_timestamp(true);
    return settings;
}

// Every test starts with a recording output installed, so that the
// factory's own records can be seen, and a directory of its own.
class log_factory : public testing::Test {
protected:
    void SetUp() override
    {
        silence_syslog();
        recorder = std::make_shared<recording_log_t>();
        cf_set_log(recorder);
        cf_log_threshold = 0;
        dir = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("log-factory-%%%%-%%%%");
        boost::filesystem::create_directory(dir);
    }
    void TearDown() override
    {
        cf_set_log(cf_make_default_log());
        cf_log_threshold = 0;
        cf_syslog_calls = cf_system_syslog_calls;
        boost::filesystem::remove_all(dir);
    }

    std::shared_ptr<recording_log_t> recorder;
    boost::filesystem::path dir;
};

TEST(log_factory_parse_fd, decimal_ints_only)
{
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"7", 7},
        {"+7", 7},
        {"-0", 0},
        {"-1", -1},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"", std::nullopt},
        {"7 ", std::nullopt},
        {" 7", std::nullopt},
        {"0x7", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-7", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"seven", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        int fd = 12345;
        EXPECT_EQ(cf_parse_fd(text, fd), expected.has_value()) << '"' << text << '"';
        EXPECT_EQ(fd, expected.value_or(12345)) << '"' << text << '"';
    }
}

TEST_F(log_factory, extra_descriptor_is_announced_and_bad_values_reported)
{
    const std::string wrong = "Log Factory: Wrong environment variable COM_ORVEX_ADD_LOG_PIPE";
    const struct {
        std::optional<std::string> value;
        int threshold;
        std::vector<record_t> records;
    } cases[] = {
        {std::nullopt, 0, {}},
        {"7", 0, {{0, "Log Factory: Additional log - 7"}}},
        {"+7", 0, {{0, "Log Factory: Additional log - 7"}}},
        {"-1", 0, {{0, "Log Factory: Additional log - -1"}}},
        {"7", 1, {}},
        {"", 0, {{4, wrong}}},
        {"7 ", 4, {{4, wrong}}},
        {"0x7", 0, {{4, wrong}}},
        {"+", 0, {{4, wrong}}},
        {"2147483648", 0, {{4, wrong}}},
        {"x", 5, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("<absent>"));
        environment_t environment(c.value);
        recorder->records.clear();
        cf_log_threshold = c.threshold;
        const auto callback = make_default_callback();
        EXPECT_TRUE(callback);
        EXPECT_EQ(recorder->records, c.records);
    }
}

// Every record line, and every raw line, also reaches the extra descriptor
// for the syslog and file outputs, and not for the console.
TEST_F(log_factory, extra_descriptor_receives_lines_except_for_stderr)
{
    const struct {
        const char* name;
        ox::Log settings;
        bool copies;
    } cases[] = {
        {"syslog", settings_of(ox::Log::SYSLOG), true},
        {"file", settings_of(ox::Log::FILE, (dir / "copy.log").string()), true},
        {"stderr", settings_of(ox::Log::STDERR), false},
        {"stderr with time stamps", settings_of(ox::Log::STDERR, "", true), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture::pipe_t extra;
        environment_t environment(std::to_string(extra.write_end));
        log_capture::fd_capture_t console;
        cf_set_log(cf_make_log(c.settings, nullptr, nullptr));
        cf_log(2, "record");
        cf_log_raw("tag", 3, "raw");
        cf_set_log(recorder);
        console.finish();
        EXPECT_EQ(extra.available(), c.copies ? "Notice: record\n[tag-3] raw\n" : "");
    }
}

TEST_F(log_factory, callbacks_of_the_caller_are_kept)
{
    std::vector<std::string> lines;
    std::vector<std::string> raws;
    const auto line = [&lines](const std::string& l) { lines.push_back(l); };
    const auto raw = [&raws](const std::string& l) { raws.push_back(l); };

    for (const auto type : {ox::Log::SYSLOG, ox::Log::FILE, ox::Log::STDERR}) {
        SCOPED_TRACE(type);
        lines.clear();
        raws.clear();
        log_capture::fd_capture_t console;
        cf_set_log(cf_make_log(settings_of(type, (dir / "kept.log").string()), line, raw));
        cf_log(3, "w");
        cf_log_raw("t", 1, "r");
        cf_set_log(recorder);
        console.finish();
        EXPECT_EQ(lines, std::vector<std::string>{"Warning: w"});
        // The console variants write raw lines without a callback.
        EXPECT_EQ(raws, type == ox::Log::STDERR ? std::vector<std::string>{} : std::vector<std::string>{"[t-1] r"});
    }

    // Without a raw callback of its own the line callback gets raw lines.
    lines.clear();
    cf_set_log(cf_make_log(settings_of(ox::Log::SYSLOG), line, nullptr));
    cf_log_raw("t", 2, "r");
    cf_set_log(recorder);
    EXPECT_EQ(lines, std::vector<std::string>{"[t-2] r"});
}

TEST_F(log_factory, stderr_outputs)
{
    const std::string pid = std::to_string(getpid());
    {
        log_capture::fd_capture_t console;
        auto output = cf_make_log(settings_of(ox::Log::STDERR), nullptr, nullptr);
        ASSERT_TRUE(std::dynamic_pointer_cast<cf_console_log_t>(output));
        output->write(2, "plain");
        EXPECT_EQ(console.finish(), "Notice: plain\n");
    }
    {
        log_capture::fd_capture_t console;
        auto output = cf_make_log(settings_of(ox::Log::STDERR, "", true), nullptr, nullptr);
        const auto file = std::dynamic_pointer_cast<cf_file_log_t>(output);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->fd(), 2);
        output->write(2, "stamped");
        output.reset();
        // Descriptor 2 stays open after the output is gone.
        EXPECT_NE(::fcntl(2, F_GETFD), -1);
        EXPECT_THAT(console.finish(),
                    testing::MatchesRegex("[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[" + pid +
                                          "\\] Notice: stamped\n"));
    }
}

TEST_F(log_factory, file_output_creates_with_mode_0600_and_appends)
{
    const auto path = dir / "traxd.log";
    {
        auto output = cf_make_log(settings_of(ox::Log::FILE, path.string()), nullptr, nullptr);
        ASSERT_TRUE(std::dynamic_pointer_cast<cf_file_log_t>(output));
        output->write(2, "first");
    }
    struct stat attributes {};
    ASSERT_EQ(::stat(path.c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_mode & 07777, 0600u);
    {
        auto output = cf_make_log(settings_of(ox::Log::FILE, path.string()), nullptr, nullptr);
        output->write(3, "second");
    }
    const std::string pid = std::to_string(getpid());
    const std::string stamp = "[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";
    EXPECT_THAT(read_file(path), testing::MatchesRegex(stamp + " \\[" + pid + "\\] Notice: first\n" + stamp + " \\[" +
                                                       pid + "\\] Warning: second\n"));
}

TEST_F(log_factory, file_output_keeps_an_existing_file_mode)
{
    const auto path = dir / "existing.log";
    {
        std::ofstream(path.string()) << "before\n";
    }
    ::chmod(path.c_str(), 0644);
    auto output = cf_make_log(settings_of(ox::Log::FILE, path.string()), nullptr, nullptr);
    output->write(4, "after");
    output.reset();
    struct stat attributes {};
    ASSERT_EQ(::stat(path.c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_mode & 07777, 0644u);
    EXPECT_THAT(read_file(path), testing::StartsWith("before\n"));
    EXPECT_THAT(read_file(path), testing::EndsWith("Error: after\n"));
}

TEST_F(log_factory, file_that_cannot_be_opened_throws_with_the_first_reason)
{
    const struct {
        boost::filesystem::path path;
        int error;
    } cases[] = {
        {dir / "missing" / "traxd.log", ENOENT},
        {dir, EISDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        try {
            cf_make_log(settings_of(ox::Log::FILE, c.path.string()), nullptr, nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const boost::filesystem::filesystem_error& e) {
            EXPECT_EQ(e.code().value(), c.error);
            EXPECT_EQ(e.code().category(), boost::system::system_category());
            EXPECT_EQ(e.path1(), c.path);
            EXPECT_THAT(e.what(), testing::HasSubstr("Cannot create log"));
        }
    }
}

TEST_F(log_factory, types_without_an_output_of_their_own_give_none)
{
    EXPECT_FALSE(cf_make_log(settings_of(ox::Log::AUTO), nullptr, nullptr));
}

TEST_F(log_factory, default_log_is_the_console)
{
    log_capture::fd_capture_t console;
    auto output = cf_make_default_log();
    ASSERT_TRUE(std::dynamic_pointer_cast<cf_console_log_t>(output));
    output->write(1, "console");
    output->write_raw("t", 9, "raw");
    output->write_out_of_memory();
    EXPECT_EQ(console.finish(), "Info: console\nt-9: raw\nError: Not enough memory\n");
}

} // namespace
