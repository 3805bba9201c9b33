// The logger's life: records held before the first output and replayed at
// the threshold in force then, the installed output with its callbacks, and
// the exit-time flush to descriptor 2. The logger's mode only ever moves
// forward, so every scenario runs in a child process of its own and is
// judged by what the child wrote to its standard error.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <thread>

#include "common/console_log.hpp"
#include "common/log.hpp"
#include "tests/common/log_capture.hpp"

namespace {

using log_capture::run_in_child;

enum class failure_t { none, open, write_runtime, write_bad_alloc };

// Shows on descriptor 2 what reaches it, marked so that it differs from the
// logger's own plain lines.
class echo_log_t : public cf_log_t {
public:
    explicit echo_log_t(failure_t failure = failure_t::none, cf_log_callback_t line = nullptr,
                        cf_log_callback_t raw = nullptr)
        : cf_log_t(std::move(line), std::move(raw)), failure_(failure)
    {
    }
    ~echo_log_t() override { cf_write_string(2, "out closed\n"); }
    void open() override
    {
        if (failure_ == failure_t::open)
            throw std::runtime_error("cannot open");
        cf_write_string(2, "out opened\n");
    }
    void write(int level, const std::string& text) override
    {
        if (failure_ == failure_t::write_runtime)
            throw std::runtime_error("cannot write");
        if (failure_ == failure_t::write_bad_alloc)
            throw std::bad_alloc();
        cf_write_string(2, "out " + cf_format_log_line(level, text) + "\n");
    }
    void write_raw(const std::string& tag, int number, const std::string& text) override
    {
        cf_write_string(2, "out-raw " + cf_format_raw_log_line(tag, number, text) + "\n");
    }
    void write_out_of_memory() override { cf_write_string(2, "out-oom\n"); }

private:
    failure_t failure_;
};

cf_log_callback_t echo_callback(const char* mark)
{
    return [mark](const std::string& line) { cf_write_string(2, std::string(mark) + "[" + line + "]\n"); };
}

void log_levels_0_to_4()
{
    cf_log(0, "zero");
    cf_log(1, "one");
    cf_log(2, "two");
    cf_log(3, "three");
    cf_log(4, "four");
}

struct scenario_t {
    const char* name;
    std::function<void()> body;
    const char* expected_error_output;
};

const scenario_t scenarios[] = {
    {"held records replayed at the threshold in force at installation",
     [] {
         log_levels_0_to_4();
         cf_log_threshold = 2;
         cf_set_log(std::make_shared<echo_log_t>());
         cf_log_threshold = 0;
     },
     "out opened\nout Notice: two\nout Warning: three\nout Error: four\nout closed\n"},
    {"records below the threshold are gone for good once an output is installed",
     [] {
         log_levels_0_to_4();
         cf_log_threshold = 4;
         cf_set_log(std::make_shared<echo_log_t>());
         cf_log_threshold = 0;
         cf_set_log(std::make_shared<echo_log_t>());
     },
     "out opened\nout Error: four\nout closed\nout opened\nout closed\n"},
    {"with an output installed the logger itself does not filter",
     [] {
         cf_log_threshold = 4;
         cf_set_log(std::make_shared<echo_log_t>());
         cf_log(0, "below");
     },
     "out opened\nout Debug: below\nout closed\n"},
    {"the line callback follows the output's write, without a line end",
     [] {
         cf_set_log(std::make_shared<echo_log_t>(failure_t::none, echo_callback("line")));
         cf_log(1, "x");
         cf_log(7, "odd level");
     },
     "out opened\nout Info: x\nline[Info: x]\nout Unknown: odd level\nline[Unknown: odd level]\nout closed\n"},
    {"raw lines reach the output and its raw callback",
     [] {
         cf_set_log(std::make_shared<echo_log_t>(failure_t::none, echo_callback("line"), echo_callback("raw")));
         cf_log_raw("tag", 7, "text");
     },
     "out opened\nout-raw [tag-7] text\nraw[[tag-7] text]\nout closed\n"},
    {"a raw line before any output is held as an Error record",
     [] {
         cf_log_raw("tag", -3, "text");
         cf_log_threshold = 4;
         cf_set_log(std::make_shared<echo_log_t>());
     },
     "out opened\nout Error: tag--3: text\nout closed\n"},
    {"exit while holding records with threshold 0 flushes all of them", [] { log_levels_0_to_4(); },
     "Debug: Flushing log...\nDebug: zero\nInfo: one\nNotice: two\nWarning: three\nError: four\n"},
    {"exit while holding records with threshold 2 drops the notice and the low levels",
     [] {
         log_levels_0_to_4();
         cf_log_threshold = 2;
     },
     "Notice: two\nWarning: three\nError: four\n"},
    {"exit with nothing held writes nothing", [] {}, ""},
    {"exit with an output installed leaves nothing to flush",
     [] {
         cf_set_log(std::make_shared<echo_log_t>());
         cf_log(2, "installed");
     },
     "out opened\nout Notice: installed\nout closed\n"},
    {"after the flush every record goes plainly to descriptor 2",
     [] {
         auto output = std::make_shared<echo_log_t>();
         cf_set_log(output);
         cf_flush_log_at_exit();
         cf_log(2, "late");
         cf_log_raw("tag", 1, "raw");
         cf_log_threshold = 3;
         cf_log(2, "dropped");
         cf_log_out_of_memory();
     },
     "out opened\nNotice: late\nError: tag-1: raw\nError: Not enough memory\nout closed\n"},
    {"an empty output installs the console when there is none",
     [] {
         cf_log(3, "held");
         cf_set_log(nullptr);
         cf_log(1, "direct");
     },
     "Warning: held\nInfo: direct\n"},
    {"an empty output keeps the installed one",
     [] {
         cf_set_log(std::make_shared<echo_log_t>());
         cf_set_log(nullptr);
         cf_log(1, "kept");
     },
     "out opened\nout Info: kept\nout closed\n"},
    {"an output whose open fails is stored but the records stay held",
     [] {
         cf_log(2, "held");
         try {
             cf_set_log(std::make_shared<echo_log_t>(failure_t::open));
         } catch (const std::runtime_error&) {
             cf_write_string(2, cf_has_log() ? "has log\n" : "no log\n");
         }
         cf_log(3, "still held");
     },
     "has log\nDebug: Flushing log...\nNotice: held\nWarning: still held\nout closed\n"},
    {"lack of memory while holding is written without the logger's buffer",
     [] {
         cf_log(2, "held");
         cf_log_out_of_memory();
     },
     "Error: Not enough memory\nDebug: Flushing log...\nNotice: held\n"},
    {"lack of memory with an output goes to the output",
     [] {
         cf_set_log(std::make_shared<echo_log_t>());
         cf_log_out_of_memory();
     },
     "out opened\nout-oom\nout closed\n"},
    {"an output that fails to write leaves the record on descriptor 2",
     [] {
         cf_set_log(std::make_shared<echo_log_t>(failure_t::write_runtime));
         cf_log(4, "saved");
     },
     "out opened\nError: saved\nout closed\n"},
    {"an output out of memory reports it instead of throwing",
     [] {
         cf_set_log(std::make_shared<echo_log_t>(failure_t::write_bad_alloc));
         cf_log(4, "lost");
     },
     "out opened\nout-oom\nout closed\n"},
    {"the console output writes level name and text",
     [] {
         cf_set_log(std::make_shared<cf_console_log_t>(nullptr, nullptr));
         cf_log(2, "console");
         cf_log_raw("tag", 7, "raw");
     },
     "Notice: console\ntag-7: raw\n"},
    {"cf_log_stream builds the record only when it passes",
     [] {
         cf_set_log(std::make_shared<echo_log_t>());
         cf_log_threshold = 2;
         cf_log_stream(1, "not ", 1);
         cf_log_stream(2, "answer ", 42, ' ', 1.5);
     },
     "out opened\nout Notice: answer 42 1.5\nout closed\n"},
};

TEST(log_lifecycle, scenarios)
{
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const auto result = run_in_child(scenario.body);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.error_output, scenario.expected_error_output);
    }
}

TEST(log_levels, names)
{
    const std::pair<int, const char*> cases[] = {
        {0, "Debug"}, {1, "Info"}, {2, "Notice"}, {3, "Warning"}, {4, "Error"}, {5, "Unknown"}, {-1, "Unknown"},
    };
    for (const auto& [level, name] : cases)
        EXPECT_STREQ(cf_log_level_name(level), name) << level;
}

TEST(log_levels, from_name_is_exact_and_defaults_to_error)
{
    const std::pair<const char*, int> cases[] = {
        {"Debug", 0}, {"Info", 1}, {"Notice", 2}, {"Warning", 3}, {"Error", 4},
        {"debug", 4}, {"", 4},     {"Debug ", 4}, {nullptr, 4},
    };
    for (const auto& [name, level] : cases)
        EXPECT_EQ(cf_log_level_from_name(name), level) << (name ? name : "(null)");
}

TEST(log_levels, from_proto_numbers)
{
    const std::pair<unsigned, int> cases[] = {
        {0, 4}, {1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 4}, {4294967295u, 4},
    };
    for (const auto& [number, level] : cases)
        EXPECT_EQ(cf_log_level_from_proto(number), level) << number;
}

TEST(log_format, lines)
{
    EXPECT_EQ(cf_format_log_line(3, "text"), "Warning: text");
    EXPECT_EQ(cf_format_log_line(9, ""), "Unknown: ");
    EXPECT_EQ(cf_format_raw_log_line("tag", 12, "text"), "[tag-12] text");
    EXPECT_EQ(cf_format_raw_log_line("", -1, ""), "[--1] ");
    EXPECT_EQ(cf_format_tagged_text("tag", 12, "text"), "tag-12: text");
}

TEST(log_output, empty_callbacks_become_ignoring_functions)
{
    echo_log_t output;
    EXPECT_TRUE(output.line_callback());
    EXPECT_TRUE(output.raw_callback());
    output.set_line_callback(nullptr);
    output.set_raw_callback({});
    EXPECT_NO_THROW(output.line_callback()("x"));
    EXPECT_NO_THROW(output.raw_callback()("x"));

    std::string seen;
    output.set_line_callback([&seen](const std::string& line) { seen = line; });
    output.line_callback()("line");
    EXPECT_EQ(seen, "line");
}

void ignore_signal(int) {}

// A write to a full pipe that a signal interrupts must go on where it
// stopped: the reader gets every byte once and in order.
TEST(log_write_all, resumes_after_interruption)
{
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the write returns early
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    log_capture::pipe_t pipe;
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 23);

    const pthread_t writer = pthread_self();
    std::atomic<bool> done{false};
    std::string received;
    std::thread reader([&] {
        // Interrupt the writer while the pipe is full, then read slowly
        // enough that it blocks again.
        for (int i = 0; i < 20 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pthread_kill(writer, SIGUSR1);
            received += log_capture::drain(pipe.read_end, std::chrono::milliseconds(1));
        }
        while (received.size() < data.size()) {
            const std::string more = log_capture::drain(pipe.read_end, std::chrono::milliseconds(5000));
            if (more.empty())
                break;
            received += more;
        }
    });
    cf_write_all(pipe.write_end, data.data(), data.size());
    done = true;
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);

    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST(log_write_all, stops_on_failure)
{
    log_capture::pipe_t pipe;
    const int read_only = pipe.read_end;
    errno = 0;
    cf_write_all(read_only, "abc", 3); // EBADF: returns instead of looping
    EXPECT_EQ(errno, EBADF);
    cf_write_all(-1, "abc", 3);
    cf_write_string(pipe.write_end, "");
    cf_write_string(pipe.write_end, "whole");
    EXPECT_EQ(pipe.available(), "whole");
}

TEST(log_write_all, out_of_memory_text)
{
    log_capture::fd_capture_t capture;
    cf_write_out_of_memory();
    EXPECT_EQ(capture.finish(), "Error: Not enough memory\n");
}

} // namespace
