// The file output: time-stamped lines on a descriptor, which it closes only
// when it owns it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

#include "common/file_log.hpp"
#include "tests/common/log_capture.hpp"

namespace {

std::string local_time_text(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%b-%d %H:%M:%S", &local);
    return text;
}

// Runs write and returns the two time stamps that may be in its line: the
// second may have turned while it ran.
template <class Write>
std::pair<std::string, std::string> stamped(Write write)
{
    const std::time_t before = std::time(nullptr);
    write();
    const std::time_t after = std::time(nullptr);
    return {local_time_text(before), local_time_text(after)};
}

testing::Matcher<std::string> stamped_line(const std::pair<std::string, std::string>& stamps, const std::string& rest)
{
    return testing::AnyOf(stamps.first + rest, stamps.second + rest);
}

TEST(file_log, time_stamp_has_the_date_time_default_form)
{
    const auto stamps = stamped([] {});
    const std::string stamp = cf_log_time_stamp();
    EXPECT_THAT(stamp, testing::MatchesRegex("[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
    EXPECT_THAT(stamp, testing::AnyOf(stamps.first, stamps.second, local_time_text(std::time(nullptr))));
}

TEST(file_log, record_and_raw_lines)
{
    log_capture::pipe_t pipe;
    cf_file_log_t output(pipe.write_end, false, nullptr, nullptr);
    const std::string pid = std::to_string(getpid());

    const struct {
        std::function<void()> write;
        std::string rest;
    } cases[] = {
        {[&] { output.write(2, "hello"); }, " [" + pid + "] Notice: hello\n"},
        {[&] { output.write(0, ""); }, " [" + pid + "] Debug: \n"},
        {[&] { output.write(11, "odd"); }, " [" + pid + "] Unknown: odd\n"},
        {[&] { output.write_raw("tag", 7, "raw"); }, " [tag-7] raw\n"},
    };
    for (const auto& c : cases) {
        const auto stamps = stamped(c.write);
        EXPECT_THAT(pipe.available(), stamped_line(stamps, c.rest));
    }
}

TEST(file_log, out_of_memory_goes_to_descriptor_2_not_to_the_file)
{
    log_capture::pipe_t pipe;
    cf_file_log_t output(pipe.write_end, false, nullptr, nullptr);
    log_capture::fd_capture_t capture;
    output.write_out_of_memory();
    EXPECT_EQ(capture.finish(), "Error: Not enough memory\n");
    EXPECT_EQ(pipe.available(), "");
}

TEST(file_log, closes_only_a_descriptor_it_owns)
{
    for (const bool owns : {true, false}) {
        const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::make_shared<cf_file_log_t>(fd, owns, nullptr, nullptr).reset();
        EXPECT_EQ(::fcntl(fd, F_GETFD) == -1, owns) << owns;
        if (!owns)
            ::close(fd);
    }
    // A negative descriptor is never closed (nor written, quietly).
    cf_file_log_t invalid(-1, true, nullptr, nullptr);
    EXPECT_NO_THROW(invalid.write(4, "nowhere"));
}

} // namespace
