#include "common/async_error.hpp"
#include "common/async_result.hpp"
#include "common/async_timer.hpp"

#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orx::async::make_error_code;
using orx::async::result_error_t;
using orx::async::result_handle_t;
using orx::async::result_proxy_t;
using orx::async::result_t;
using orx::async::timer_t;

const auto cancel_code = make_error_code(result_error_t::cancel);
const auto timeout_code = make_error_code(result_error_t::timeout);
const auto shutdown_code = make_error_code(result_error_t::shutdown);
const auto io_error = boost::system::errc::make_error_code(boost::system::errc::io_error);

// What a completion callback saw, one entry per call.
struct seen_t {
    int status;
    boost::system::error_code error;
    std::string message;
};

struct recorder_t {
    std::vector<seen_t> calls;
    std::vector<seen_t> cancels;

    orx::async::result_callback_t callback()
    {
        return [this](const result_handle_t& h) { calls.push_back({h.status(), h.error(), h.message()}); };
    }
    orx::async::result_callback_t cancel_handler()
    {
        return [this](const result_handle_t& h) { cancels.push_back({h.status(), h.error(), h.message()}); };
    }
};

// Bounded: a timer that never stopped would end the run by time, not by
// running out of work, and the test would see that.
bool runs_out_of_work(boost::asio::io_context& io)
{
    io.run_for(5s);
    return io.stopped();
}

TEST(async_result, error_category_texts)
{
    struct case_t {
        int value;
        const char* text;
    };
    const case_t cases[] = {{0, "unknown"}, {1, "cancel"}, {2, "timeout"}, {3, "shutdown"}, {4, "unknown"}};
    const auto& category = orx::async::result_error_category();
    EXPECT_STREQ(category.name(), "orx::async::result_error_t");
    for (const auto& c : cases)
        EXPECT_EQ(category.message(c.value), c.text) << c.value;
    EXPECT_EQ(shutdown_code.value(), 3);
    EXPECT_EQ(&shutdown_code.category(), &category);
    EXPECT_TRUE(shutdown_code == orx::async::make_error_condition(result_error_t::shutdown));
    EXPECT_EQ(boost::system::error_code(result_error_t::timeout), timeout_code);
}

TEST(async_result, first_completion_stands)
{
    struct case_t {
        const char* name;
        std::function<void(result_t&)> first;
        std::function<void(result_t&)> second;
        boost::system::error_code error;
        std::string message;
        int value; // -1: no value
    };
    const case_t cases[] = {
        {"value then error",
         [](result_t& r) { r.set_value(7); },
         [](result_t& r) { r.set_error(io_error, "late"); },
         {},
         "Success",
         7},
        {"error then value", [](result_t& r) { r.set_error(io_error, "broken"); }, [](result_t& r) { r.set_value(7); },
         io_error, "broken", -1},
        {"cancel then value", [](result_t& r) { r.cancel(true); }, [](result_t& r) { r.set_value(7); }, cancel_code,
         "cancel", -1},
        {"shutdown then cancel", [](result_t& r) { r.set_error(shutdown_code, {}); },
         [](result_t& r) { r.cancel(true); }, shutdown_code, "shutdown", -1},
        {"value then value",
         [](result_t& r) { r.set_value(1); },
         [](result_t& r) { r.set_value(2); },
         {},
         "Success",
         1},
    };
    for (const auto& c : cases) {
        recorder_t seen;
        result_t result(seen.callback());
        EXPECT_FALSE(result.done()) << c.name;
        c.first(result);
        c.second(result);
        EXPECT_TRUE(result.done()) << c.name;
        ASSERT_EQ(seen.calls.size(), 1u) << c.name;
        EXPECT_EQ(seen.calls[0].status, 1) << c.name;
        const auto handle = result.handle();
        EXPECT_EQ(handle.error(), c.error) << c.name;
        EXPECT_EQ(handle.message(), c.message) << c.name;
        if (c.value < 0)
            EXPECT_TRUE(handle.value().empty()) << c.name;
        else
            EXPECT_EQ(boost::any_cast<int>(handle.value()), c.value) << c.name;
    }
}

TEST(async_result, cancel_handler_runs_for_cancel_and_timeout_only)
{
    struct case_t {
        const char* name;
        std::function<void(result_t&)> complete;
        std::size_t callbacks;
        std::size_t cancels;
    };
    const case_t cases[] = {
        {"cancel without notice", [](result_t& r) { r.cancel(false); }, 0, 1},
        {"cancel with notice", [](result_t& r) { r.cancel(true); }, 1, 1},
        {"timeout error", [](result_t& r) { r.set_error(timeout_code, {}); }, 1, 1},
        {"shutdown error", [](result_t& r) { r.set_error(shutdown_code, {}); }, 1, 0},
        {"other error", [](result_t& r) { r.set_error(io_error, {}); }, 1, 0},
        {"value", [](result_t& r) { r.set_value(1); }, 1, 0},
    };
    for (const auto& c : cases) {
        recorder_t seen;
        result_t result(seen.callback());
        result.set_cancel_handler(seen.cancel_handler());
        c.complete(result);
        EXPECT_EQ(seen.calls.size(), c.callbacks) << c.name;
        EXPECT_EQ(seen.cancels.size(), c.cancels) << c.name;
    }

    recorder_t seen;
    result_t result(seen.callback());
    result.set_cancel_handler(seen.cancel_handler());
    result.cancel(false);
    EXPECT_TRUE(result.done());
    EXPECT_EQ(result.handle().error(), cancel_code);
    EXPECT_EQ(result.handle().message(), "cancel");
    ASSERT_EQ(seen.cancels.size(), 1u);
    EXPECT_EQ(seen.cancels[0].status, 1);

    // Set after completion: ignored.
    result.set_cancel_handler(seen.cancel_handler());
    result.cancel(true);
    EXPECT_EQ(seen.cancels.size(), 1u);
}

TEST(async_result, error_message_with_context)
{
    struct case_t {
        std::string context;
        std::string message;
        std::string expected;
    };
    const case_t cases[] = {
        {"", "", io_error.message()},
        {"", "disk", "disk"},
        {"lookup", "", "lookup: " + io_error.message()},
        {"lookup", "disk", "lookup: disk"},
    };
    for (const auto& c : cases) {
        result_t result([](const result_handle_t&) {});
        result.set_error(c.context, io_error, c.message);
        EXPECT_EQ(result.handle().message(), c.expected) << c.context << "/" << c.message;
        EXPECT_EQ(result.handle().error(), io_error);
    }
}

TEST(async_result, notify_runs_the_callback_only_while_pending)
{
    recorder_t seen;
    result_t result(seen.callback());
    result.notify();
    result.notify();
    ASSERT_EQ(seen.calls.size(), 2u);
    EXPECT_EQ(seen.calls[1].status, 0);
    result.set_value(1);
    result.notify();
    EXPECT_EQ(seen.calls.size(), 3u);

    // A callback that completes the result from inside a notification.
    result_t inner;
    int runs = 0;
    inner = result_t([&](const result_handle_t& h) {
        ++runs;
        if (h.status() == 0)
            inner.set_value(1);
    });
    inner.notify();
    EXPECT_EQ(runs, 2);
    EXPECT_TRUE(inner.done());
}

TEST(async_result, forward_copies_the_outcome_of_another_result)
{
    struct case_t {
        const char* name;
        std::function<void(result_t&)> source_outcome;
        int status;
        boost::system::error_code error;
        std::string message;
    };
    const case_t cases[] = {
        {"pending source only notifies", [](result_t&) {}, 0, {}, ""},
        {"failed source without message", [](result_t& r) { r.set_error(io_error, {}); }, 1, io_error,
         io_error.message()},
        {"failed source with message", [](result_t& r) { r.set_error(io_error, "why"); }, 1, io_error, "why"},
        {"succeeded source", [](result_t& r) { r.set_value(std::string("v")); }, 1, {}, ""},
    };
    for (const auto& c : cases) {
        result_t source([](const result_handle_t&) {});
        c.source_outcome(source);
        recorder_t seen;
        result_t target(seen.callback());
        target.forward(source.handle());
        ASSERT_EQ(seen.calls.size(), 1u) << c.name;
        EXPECT_EQ(seen.calls[0].status, c.status) << c.name;
        EXPECT_EQ(target.handle().error(), c.error) << c.name;
        if (c.error) {
            EXPECT_EQ(target.handle().message(), c.message) << c.name;
        }
    }

    result_t source([](const result_handle_t&) {});
    source.set_value(std::string("v"));
    result_t target([](const result_handle_t&) {});
    target.forward(source.handle());
    EXPECT_EQ(boost::any_cast<std::string>(target.handle().value()), "v");
}

TEST(async_result, deadline_times_out_a_pending_result)
{
    boost::asio::io_context io;
    recorder_t seen;
    result_t result(seen.callback());
    result.set_cancel_handler(seen.cancel_handler());
    result.set_deadline(io.get_executor(), 1ms);
    EXPECT_FALSE(result.done());
    EXPECT_TRUE(runs_out_of_work(io));
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].error, timeout_code);
    EXPECT_EQ(seen.calls[0].message, "timeout");
    EXPECT_EQ(seen.cancels.size(), 1u);
}

TEST(async_result, completion_before_the_deadline_stops_it)
{
    boost::asio::io_context io;
    recorder_t seen;
    result_t result(seen.callback());
    result.set_deadline(io.get_executor(), 1h);
    // A second deadline replaces the first one.
    result.set_deadline(io.get_executor(), 2h);
    result.set_value(5);
    EXPECT_TRUE(runs_out_of_work(io));
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_FALSE(seen.calls[0].error);

    result_t late([](const result_handle_t&) {});
    late.set_value(1);
    late.set_deadline(io.get_executor(), 1ms);
    io.restart();
    EXPECT_TRUE(runs_out_of_work(io));
    EXPECT_FALSE(late.handle().error());
}

TEST(async_result, one_shot_timer_completes_with_an_empty_value)
{
    boost::asio::io_context io;
    recorder_t seen;
    const auto result = timer_t::make(io.get_executor(), 1ms, seen.callback(), 0);
    EXPECT_TRUE(runs_out_of_work(io));
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].status, 1);
    EXPECT_FALSE(seen.calls[0].error);
    EXPECT_TRUE(result.handle().value().empty());
}

TEST(async_result, repeating_timer_notifies_until_cancelled)
{
    boost::asio::io_context io;
    std::vector<seen_t> calls;
    result_t result;
    result = timer_t::make(
        io.get_executor(), 1ms,
        [&](const result_handle_t& h) {
            calls.push_back({h.status(), h.error(), h.message()});
            if (calls.size() == 3)
                result.cancel(true);
        },
        timer_t::repeating);
    EXPECT_TRUE(runs_out_of_work(io));
    ASSERT_EQ(calls.size(), 4u);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(calls[i].status, 0);
    EXPECT_EQ(calls[3].status, 1);
    EXPECT_EQ(calls[3].error, cancel_code);
}

TEST(async_result, repeating_timer_stops_on_any_completion)
{
    struct case_t {
        const char* name;
        std::function<void(result_t&)> complete;
    };
    const case_t cases[] = {
        {"value", [](result_t& r) { r.set_value(1); }},
        {"shutdown", [](result_t& r) { r.set_error(shutdown_code, {}); }},
        {"other error", [](result_t& r) { r.set_error(io_error, "gone"); }},
        {"cancel without notice", [](result_t& r) { r.cancel(false); }},
    };
    for (const auto& c : cases) {
        boost::asio::io_context io;
        int notices = 0;
        result_t result;
        result = timer_t::make(
            io.get_executor(), 1ms,
            [&](const result_handle_t& h) {
                if (h.status() == 0 && ++notices == 2)
                    c.complete(result);
            },
            timer_t::repeating);
        EXPECT_TRUE(runs_out_of_work(io)) << c.name;
        EXPECT_EQ(notices, 2) << c.name;
        EXPECT_TRUE(result.done()) << c.name;
    }

    // Completed from outside, before the first expiry.
    boost::asio::io_context io;
    int notices = 0;
    auto result = timer_t::make(
        io.get_executor(), 1ms, [&](const result_handle_t&) { ++notices; }, 1);
    result.set_error(shutdown_code, {});
    EXPECT_TRUE(runs_out_of_work(io));
    EXPECT_EQ(notices, 1);
}

TEST(async_result, proxy_cancels_its_original)
{
    recorder_t original_seen;
    result_t original(original_seen.callback());
    original.set_cancel_handler(original_seen.cancel_handler());
    result_proxy_t proxy([](const result_handle_t&) {});
    proxy.set_original(original);
    proxy.cancel(true);
    EXPECT_TRUE(original.done());
    EXPECT_EQ(original.handle().error(), cancel_code);
    EXPECT_TRUE(original_seen.calls.empty());
    EXPECT_EQ(original_seen.cancels.size(), 1u);

    boost::asio::io_context io;
    result_t waiting([](const result_handle_t&) {});
    result_proxy_t timed([](const result_handle_t&) {});
    timed.set_original(waiting);
    timed.set_deadline(io.get_executor(), 1ms);
    EXPECT_TRUE(runs_out_of_work(io));
    EXPECT_EQ(timed.handle().error(), timeout_code);
    EXPECT_EQ(waiting.handle().error(), cancel_code);

    result_t untouched([](const result_handle_t&) {});
    result_proxy_t finished([](const result_handle_t&) {});
    finished.set_original(untouched);
    finished.set_value(1);
    EXPECT_FALSE(untouched.done());
}

TEST(async_result, holders_outlive_the_producer)
{
    // A result kept only by its pending deadline still reports the timeout.
    boost::asio::io_context io;
    recorder_t seen;
    {
        result_t result(seen.callback());
        result.set_deadline(io.get_executor(), 1ms);
    }
    EXPECT_TRUE(runs_out_of_work(io));
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].error, timeout_code);
}

} // namespace
