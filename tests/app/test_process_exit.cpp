// The process's last words: the exit path, the terminate handler and the
// protobuf library's complaints. Each case runs in a child process.

#include <gtest/gtest.h>

#include <cerrno>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include <boost/system/system_error.hpp>

#include "app/process_exit.hpp"
#include "common/log.hpp"
#include "common/log_capture.hpp"
#include "common/log_factory.hpp"

namespace {

struct ending_case_t {
    const char* name;
    std::function<void()> body;
    int status;
    std::string error_output;
};

class ending_test : public testing::TestWithParam<ending_case_t> {};

TEST_P(ending_test, writes_the_last_lines_and_exits)
{
    const auto result = log_capture::run_in_child([&] {
        cf_set_terminate_handler();
        GetParam().body();
    });
    EXPECT_EQ(result.exit_status, GetParam().status);
    EXPECT_EQ(result.error_output, GetParam().error_output);
}

[[noreturn]] void terminate_while_handling(const std::function<void()>& thrower)
{
    try {
        thrower();
    } catch (...) {
        std::terminate();
    }
    std::terminate();
}

INSTANTIATE_TEST_SUITE_P(
    cases, ending_test,
    testing::Values(
        // Without an output the held records at Notice and above come first.
        ending_case_t{"exit_before_any_output",
                      [] {
                          cf_log(cf_log_debug, "held debug");
                          cf_log(cf_log_notice, "held notice");
                          cf_log(cf_log_error, "held error");
                          cf_exit(102);
                      },
                      102,
                      "Notice: held notice\nError: held error\nNotice: Exit with status 102 (Invalid configuration)\n"},
        ending_case_t{"exit_with_a_number_that_is_no_code", [] { cf_exit(254); }, 254,
                      "Notice: Exit with status 254 (254)\n"},
        ending_case_t{"exit_above_the_threshold",
                      [] {
                          cf_log_threshold = cf_log_error;
                          cf_set_log(cf_make_default_log());
                          cf_exit(0);
                      },
                      0, ""},
        ending_case_t{"terminate_without_exception", [] { std::terminate(); }, 125, "Error: Unexpected exception\n"},
        ending_case_t{"terminate_with_runtime_error",
                      [] { terminate_while_handling([] { throw std::runtime_error("boom"); }); }, 125, "Error: boom\n"},
        ending_case_t{"terminate_with_system_error",
                      [] {
                          terminate_while_handling([] {
                              throw boost::system::system_error(EACCES, boost::system::system_category(), "open");
                          });
                      },
                      24, "Error: open: Permission denied [system:13]\n"},
        ending_case_t{"terminate_with_other_type", [] { terminate_while_handling([] { throw 7; }); }, 125,
                      "Error: Unexpected exception\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct protobuf_case_t {
    const char* name;
    google::protobuf::LogLevel level;
    std::string message;
    int threshold;
    std::string error_output;
};

class protobuf_log_test : public testing::TestWithParam<protobuf_case_t> {};

TEST_P(protobuf_log_test, maps_levels)
{
    const auto& c = GetParam();
    const auto result = log_capture::run_in_child([&] {
        cf_log_threshold = c.threshold;
        cf_set_log(cf_make_default_log());
        cf_protobuf_log_handler(c.level, "file.cc", 12, c.message);
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.error_output, c.error_output);
}

INSTANTIATE_TEST_SUITE_P(
    cases, protobuf_log_test,
    testing::Values(protobuf_case_t{"info", google::protobuf::LOGLEVEL_INFO, "note", 0, "Info: note\n"},
                    protobuf_case_t{"warning", google::protobuf::LOGLEVEL_WARNING, "odd", 0, "Warning: odd\n"},
                    protobuf_case_t{"error", google::protobuf::LOGLEVEL_ERROR, "bad", 0, "Error: bad\n"},
                    protobuf_case_t{"fatal", google::protobuf::LOGLEVEL_FATAL, "worse", 0, "Error: worse\n"},
                    protobuf_case_t{"below_threshold", google::protobuf::LOGLEVEL_WARNING, "odd", 4, ""},
                    protobuf_case_t{
                        "large_message_warning", google::protobuf::LOGLEVEL_WARNING,
                        "Reading dangerously large protocol message.  If the message turns out to be larger", 0, ""},
                    protobuf_case_t{"start_of_that_warning_only", google::protobuf::LOGLEVEL_WARNING,
                                    "Reading dangerously", 0, "Warning: Reading dangerously\n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
