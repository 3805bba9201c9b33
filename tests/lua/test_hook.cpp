#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <boost/system/system_error.hpp>

#include "app/core/need_restart.hpp"
#include "common/enum_text.hpp"
#include "common/error_category.hpp"
#include "common/exception.hpp"
#include "common/scan_error.hpp"
#include "common/what.hpp"
#include "hook_fixture.hpp"
#include "icap/verdicts/summary.hpp"
#include "lua/hook.hpp"
#include "lua/library.hpp"
#include "protocol/protocol_error.hpp"
#include "util_logger.hpp"

namespace {

using namespace std::chrono_literals;

// What the script returns or raises, and what becomes of it with
// block_unchecked off and on.
struct outcome_case_t {
    const char* name;
    const char* body; // of message_hook(t)
    const char* verdict_clear;
    const char* verdict_set;
    const char* failure; // the Info line's text after "Check failure: "; "" when none
};

void PrintTo(const outcome_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class LuaHookOutcome : public hook_test::fixture_t,
                       public testing::WithParamInterface<std::tuple<outcome_case_t, bool>> {};

TEST_P(LuaHookOutcome, VerdictAndLog)
{
    const auto& [c, block_unchecked] = GetParam();
    ASSERT_TRUE(load(std::string("function message_hook(t)\n") + c.body + "\nend", block_unchecked));
    const auto outcome = run();
    EXPECT_EQ(outcome->kind(), block_unchecked ? c.verdict_set : c.verdict_clear);

    const std::string failure = c.failure;
    const auto lines = records_with(cf_log_info, "Check failure: ");
    if (failure.empty() || block_unchecked) {
        EXPECT_TRUE(lines.empty()) << lines.front();
    } else {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], std::regex("Hook 0x[0-9a-f]+: Check failure: .*"))) << lines[0];
        EXPECT_EQ(lines[0].substr(lines[0].find("Check failure: ") + 15), failure);
    }
    if (block_unchecked && outcome->kind() == "check_error") {
        EXPECT_EQ(cf_what(outcome->as<ic::check_error_t>().error), failure);
    }
    if (outcome->kind() == "blocked_url") {
        const auto& blocked = outcome->as<ic::blocked_url_t>();
        EXPECT_EQ(blocked.report.categories, 0x20000000u);
        EXPECT_EQ(blocked.legal_url(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaHookOutcome,
    testing::Combine(
        testing::Values(
            outcome_case_t{"pass", "return 'pass'", "allowed", "allowed", ""},
            outcome_case_t{"PASS", "return 'PASS'", "allowed", "allowed", ""},
            outcome_case_t{"block", "return 'block'", "blocked_url", "blocked_url", ""},
            outcome_case_t{"Block", "return 'Block'", "blocked_url", "blocked_url", ""},
            outcome_case_t{"blank_before", "return ' pass'", "allowed", "check_error", "Unexpected hook return value"},
            outcome_case_t{"number", "return 1", "allowed", "check_error", "Unexpected hook return value"},
            outcome_case_t{"nothing", "return", "allowed", "check_error", "Unexpected hook return value"},
            outcome_case_t{"two_values", "return 'pass', 1", "allowed", "check_error", "Unexpected hook return value"},
            outcome_case_t{"error", "error('went wrong', 0)", "allowed", "check_error", "went wrong"},
            outcome_case_t{"error_with_position", "error('went wrong')", "allowed", "check_error",
                           "[string \"function message_hook(t)...\"]:2: went wrong"},
            outcome_case_t{"error_table", "error(setmetatable({}, {__tostring = function() return 'shown' end}))",
                           "allowed", "check_error", "shown"},
            // A failing __tostring of the error value is reported, not
            // taken to Lua's panic.
            outcome_case_t{"error_tostring_fails",
                           "error(setmetatable({}, {__tostring = function() error('again', 0) end}))", "allowed",
                           "check_error", "again"},
            outcome_case_t{"standard_yield_values", "coroutine.yield(1)", "allowed", "check_error",
                           "Invalid coroutine tag"},
            outcome_case_t{"standard_yield_nothing", "coroutine.yield()", "allowed", "check_error",
                           "Coroutine tag not found"},
            outcome_case_t{"module_failure", "require('orvex').load_array('/nonexistent/file')", "allowed",
                           "check_error",
                           "[string \"function message_hook(t)...\"]:2: Cannot open /nonexistent/file: No such file "
                           "or directory"}),
        testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_block_unchecked" : "");
    });

class LuaHook : public hook_test::fixture_t {
protected:
    LuaHook() { EXPECT_EQ(eval("1"), "1"); }
};

// A failure that reaches the script as an exception value comes back out
// of the hook as the very exception.
TEST_F(LuaHook, NativeFailureIsTheSameException)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  local task = orvex.async(function() orvex.sleep(0.01) error('task failed', 0) end)\n"
                     "  task.wait()\n"
                     "end",
                     true));
    const auto outcome = run();
    ASSERT_EQ(outcome->kind(), "check_error");
    try {
        std::rethrow_exception(outcome->as<ic::check_error_t>().error);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task failed");
    }
}

TEST_F(LuaHook, CompletionRunsFromTheLoopEvenWithoutSuspension)
{
    ASSERT_TRUE(load("function message_hook(t) return 'pass' end"));
    const auto outcome = start(make_context());
    EXPECT_FALSE(outcome->done);
    EXPECT_TRUE(run_until([&] { return outcome->done; }));
}

// A transaction that suspends goes on from the loop while another one runs
// and finishes first.
TEST_F(LuaHook, SuspendedHookResumesFromTheLoop)
{
    ASSERT_TRUE(load("orvex = require('orvex') order = {}\n"
                     "function message_hook(t)\n"
                     "  local slow = t.icap.value('X-Slow') ~= nil\n"
                     "  if slow then orvex.sleep(0.2) end\n"
                     "  order[#order + 1] = slow and 'slow' or 'fast'\n"
                     "  return slow and 'block' or 'pass'\n"
                     "end"));
    const auto slow = start(make_context({{{"X-Slow", "1"}}, hook_test::simple_request, ""}));
    const auto fast = start(make_context());
    EXPECT_TRUE(run_until([&] { return fast->done; }));
    EXPECT_FALSE(slow->done);
    EXPECT_TRUE(run_until([&] { return slow->done; }));
    EXPECT_EQ(eval("table.concat(order, ',')"), "fast,slow");
    EXPECT_EQ(slow->kind(), "blocked_url");
    EXPECT_EQ(fast->kind(), "allowed");
}

// A completion that comes after its hook was destroyed does nothing.
TEST_F(LuaHook, HookDestroyedUnderAPendingSleep)
{
    ASSERT_TRUE(
        load("orvex = require('orvex') function message_hook(t) orvex.sleep(0.05) woke = true return 'pass' end"));
    bool completed = false;
    ox::lua::registry_get(L(), "ic.message_hook");
    auto hook = std::make_unique<ic::hook_t>(
        L(), *inventory, make_context(),
        [&completed](ic::context::context_t, const std::shared_ptr<ic::verdict_t>&) { completed = true; });
    hook.reset();
    run_until([] { return false; }, 300ms);
    EXPECT_FALSE(completed);
    EXPECT_EQ(eval("woke"), "nil");

    // And when the whole runtime goes while a hook sleeps.
    const auto outcome = start(make_context());
    inventory.reset();
    EXPECT_FALSE(outcome->done);
}

// Coroutines of coroutine.make let host operations through; a standard
// coroutine of the script receives them itself.
TEST_F(LuaHook, TaggedCoroutinesLetHostOperationsThrough)
{
    ASSERT_TRUE(load("orvex = require('orvex') cm = require('coroutine.make')()\n"
                     "function message_hook(t)\n"
                     "  local co = cm.wrap(function() orvex.sleep(0.01) cm.yield('inner') return 'pass' end)\n"
                     "  got = co()\n"
                     "  return co()\n"
                     "end"));
    const auto outcome = run();
    EXPECT_EQ(outcome->kind(), "allowed");
    EXPECT_EQ(eval("got"), "inner");
}

// While the script runs, ox::util log lines carry the hook's prefix; while
// it is suspended, after it finished and after it failed, they do not.
TEST_F(LuaHook, LogLinesOfTheScriptCarryTheHooksPrefix)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  orvex.info('before')\n"
                     "  orvex.sleep(0.05)\n"
                     "  orvex.info('after')\n"
                     "  if t.icap.value('X-Fail') then error('failed', 0) end\n"
                     "  return 'pass'\n"
                     "end"));
    const auto outcome = start(make_context());
    ox::util::log(1, "while suspended");
    EXPECT_TRUE(run_until([&] { return outcome->done; }));
    ox::util::log(1, "after finishing");
    const auto failing = run(make_context({{{"X-Fail", "1"}}, hook_test::simple_request, ""}));
    ox::util::log(1, "after failing");

    std::vector<std::string> lines;
    for (const auto& record : log->records)
        if (record.level == cf_log_info)
            lines.push_back(record.text);
    ASSERT_EQ(lines.size(), 8u);
    const std::regex tagged("Hook (0x[0-9a-f]+): (.*)");
    std::smatch first, second;
    ASSERT_TRUE(std::regex_match(lines[0], first, tagged)) << lines[0];
    EXPECT_EQ(first[2], "Lua: before");
    EXPECT_EQ(lines[1], "while suspended");
    ASSERT_TRUE(std::regex_match(lines[2], second, tagged)) << lines[2];
    EXPECT_EQ(second[2], "Lua: after");
    EXPECT_EQ(first[1], second[1]);
    EXPECT_EQ(lines[3], "after finishing");
    EXPECT_TRUE(std::regex_match(lines[4], tagged));
    EXPECT_TRUE(std::regex_match(lines[5], tagged));
    EXPECT_NE(lines[6].find("Check failure: failed"), std::string::npos);
    EXPECT_EQ(lines[7], "after failing");
}

TEST_F(LuaHook, TaskStartedByTheHookLogsWithItsPrefix)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  task = orvex.async(function() orvex.sleep(0.05) orvex.info('from task') end)\n"
                     "  return 'pass'\n"
                     "end"));
    const auto outcome = run();
    ox::util::log(1, "hook done");
    EXPECT_TRUE(run_until([&] { return eval("task.wait ~= nil and select(1, pcall(task.wait))") == "true"; }));
    const auto tagged = records_with(cf_log_info, ": Lua: from task");
    ASSERT_EQ(tagged.size(), 1u);
    EXPECT_EQ(tagged[0].rfind("Hook 0x", 0), 0u);
    ox::util::log(1, "untagged");
    EXPECT_EQ(log->records.back().text, "untagged");
}

// The prefix passes from task to task: a task a task started logs with the
// hook's too, and a line of the hook and of both tasks name the same hook.
TEST_F(LuaHook, NestedTaskLogsWithTheHooksPrefix)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  orvex.info('from hook')\n"
                     "  outer = orvex.async(function()\n"
                     "    inner = orvex.async(function() orvex.sleep(0.02) orvex.info('from inner') end)\n"
                     "    orvex.sleep(0.01) orvex.info('from outer')\n"
                     "  end)\n"
                     "  return 'pass'\n"
                     "end"));
    run();
    EXPECT_TRUE(run_until([&] { return eval("select(1, pcall(inner.wait))") == "true"; }));
    const std::regex tagged("Hook (0x[0-9a-f]+): Lua: from (hook|outer|inner)");
    std::vector<std::string> hooks;
    for (const auto& record : records_with(cf_log_info, "Lua: from ")) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(record, match, tagged)) << record;
        hooks.push_back(match[1]);
    }
    ASSERT_EQ(hooks.size(), 3u);
    EXPECT_EQ(hooks[1], hooks[0]);
    EXPECT_EQ(hooks[2], hooks[0]);
}

// A hook reads the settings that were current when it started.
TEST_F(LuaHook, HookKeepsTheSettingsItStartedWith)
{
    const std::string script = "orvex = require('orvex') config = require('orvex.config')\n"
                               "function message_hook(t)\n"
                               "  if t.icap.value('X-Slow') then orvex.sleep(0.05) end\n"
                               "  return config.block_unchecked and 'block' or 'pass'\n"
                               "end";
    ASSERT_TRUE(load(script, false));
    const auto early = start(make_context({{{"X-Slow", "1"}}, hook_test::simple_request, ""}));
    ASSERT_TRUE(load(script, true));
    const auto late = run();
    EXPECT_TRUE(run_until([&] { return early->done; }));
    EXPECT_EQ(early->kind(), "allowed");
    EXPECT_EQ(late->kind(), "blocked_url");
}

// A failed body transfer decides before the script's answer does.
TEST_F(LuaHook, FailedBodyTransferOverridesTheScript)
{
    ASSERT_TRUE(load("function message_hook(t) return 'pass' end"));
    struct case_t {
        const char* name;
        boost::system::error_code error;
        bool stream;
        const char* kind;
        const char* text;
    };
    const auto stream = io::http::body_stream_t::make_empty(inventory->io_context);
    for (const case_t& c : {
             case_t{"protocol error", io::protocol_error, false, "protocol_error", ""},
             case_t{"protocol error with a stream", io::protocol_error, true, "protocol_error", ""},
             case_t{"suite error", ox::make_error_code(ox::EC_NO_VETTER), false, "check_error",
                    "Message body processing: Vetter is not available [ox.Error:123]"},
             case_t{"system error", boost::system::error_code(ECONNRESET, boost::system::system_category()), false,
                    "check_error", "ICAP: Connection reset by peer [system:104]"},
             case_t{"suite error with a stream", ox::make_error_code(ox::EC_NO_VETTER), true, "allowed", ""},
         }) {
        SCOPED_TRACE(c.name);
        auto context = make_context();
        context.set_scan_result(c.error, ox::ScanReport(), io::icap::preview_t(),
                                c.stream ? stream : std::shared_ptr<io::http::body_stream_t>());
        const auto outcome = run(std::move(context));
        EXPECT_EQ(outcome->kind(), c.kind);
        if (outcome->kind() == "check_error") {
            EXPECT_EQ(cf_what(outcome->as<ic::check_error_t>().error), c.text);
        }
    }
}

TEST_F(LuaHook, ScriptCatchingTheProtocolErrorStillGetsIt)
{
    ASSERT_TRUE(load("function message_hook(t) pcall(error, 'body failed') return 'pass' end", true));
    auto context = make_context();
    context.set_scan_result(io::protocol_error, ox::ScanReport(), io::icap::preview_t(), nullptr);
    EXPECT_EQ(run(std::move(context))->kind(), "protocol_error");
}

// "block" blocks for the last reason a check found.
TEST_F(LuaHook, BlockFollowsTheBlockReason)
{
    ASSERT_TRUE(load("function message_hook(t) return 'block' end"));

    auto by_url = make_context();
    by_url.url_report.piracy_legal_url = "http://legal.example/";
    by_url.set_block_reason(ic::context::url_bits_t{0x1004});
    auto outcome = run(std::move(by_url));
    ASSERT_EQ(outcome->kind(), "blocked_url");
    EXPECT_EQ(outcome->as<ic::blocked_url_t>().report.categories, 0x1004u);
    EXPECT_EQ(outcome->as<ic::blocked_url_t>().legal_url(), "http://legal.example/");
    ASSERT_TRUE(outcome->as<ic::blocked_url_t>().url);
    EXPECT_EQ(outcome->as<ic::blocked_url_t>().url->to_string(1), "http://www.example.com/index.html");

    auto without_notice = make_context();
    without_notice.url_report.piracy_legal_url = "http://legal.example/";
    without_notice.set_block_reason(ic::context::url_bits_t{0x4});
    EXPECT_EQ(run(std::move(without_notice))->as<ic::blocked_url_t>().legal_url(), "");

    ox::ScanReport report;
    auto* virus = report.add_virus();
    virus->set_type(ox::SE_ADWARE);
    virus->set_name("Ad.Thing");
    auto by_threat = make_context({{}, hook_test::simple_request, "HTTP/1.1 200 OK\r\n\r\n"});
    by_threat.set_scan_result({}, report, io::icap::preview_t(), nullptr);
    by_threat.set_block_reason(ic::context::threat_bits_t{0x8});
    outcome = run(std::move(by_threat));
    ASSERT_EQ(outcome->kind(), "threat_found");
    EXPECT_EQ(outcome->as<ic::threat_found_t>().summary->block_set, 0x8u);
    EXPECT_TRUE(outcome->as<ic::threat_found_t>().response_side);

    auto by_scan_error = make_context();
    by_scan_error.set_block_reason(ox::SE_PASSWORD_PROTECTED);
    outcome = run(std::move(by_scan_error));
    ASSERT_EQ(outcome->kind(), "check_error");
    try {
        std::rethrow_exception(outcome->as<ic::check_error_t>().error);
    } catch (const cf_exception_t& e) {
        EXPECT_EQ(std::string(e.what()), "Message body scan: " + cf_enum_text(ox::SE_PASSWORD_PROTECTED));
        EXPECT_EQ(e.code(), ox::make_error_code(cf_scan_error_to_proto(ox::SE_PASSWORD_PROTECTED)));
    }
}

// An exit order thrown while a hook is on the stack ends the process with
// its status, though Lua catches every exception inside lua_resume and the
// script catches the error Lua makes of it.
TEST_F(LuaHook, ExitOrderLeavesThroughTheHook)
{
    ASSERT_TRUE(load("orvex = require('orvex')\n"
                     "function message_hook(t)\n"
                     "  if t.icap.value('X-Later') then orvex.sleep(0.01) end\n"
                     "  pcall(orvex.warning, 'x')\n"
                     "  return 'pass'\n"
                     "end"));
    // The process-wide log function gives the orders.
    lua_test::util_logger_t capture;
    ox::util::set_logger([](ox::util::log_level_t, const std::string& text) {
        if (text.find("Lua: x") != std::string::npos)
            throw ox::EC_APP_TERMINATED;
    });

    // From a host call made while run_hook runs the script.
    try {
        start(make_context());
        ADD_FAILURE() << "no exit order";
    } catch (ox::ErrorCode code) {
        EXPECT_EQ(code, ox::EC_APP_TERMINATED);
    }

    // From a handler of the loop that resumes a hook.
    const auto later = start(make_context({{{"X-Later", "1"}}, hook_test::simple_request, ""}));
    EXPECT_EQ(run_until_stopped(), ox::EC_APP_TERMINATED);
    EXPECT_FALSE(later->done);

    ox::util::set_logger([](ox::util::log_level_t, const std::string&) { throw ic::need_restart_t(); });
    EXPECT_THROW(start(make_context()), ic::need_restart_t);
    // The hook's tagging function is gone from the process-wide slot.
    EXPECT_THROW(ox::util::log(3, "direct"), ic::need_restart_t);
}

// Whatever one hook did with its coroutine, the next hook starts as on a
// new one: with the transaction table alone, no debug hook, and not on a
// thread the script kept (which still holds the first hook's results, so
// it is suspended, not running).
TEST_F(LuaHook, NextHookStartsClean)
{
    struct case_t {
        const char* name;
        const char* first; // the first hook's body
    };
    for (const case_t& c :
         {case_t{"returns_more", "return 'pass', 'more', 'values'"}, case_t{"fails", "error('bad')"},
          case_t{"suspends", "orvex.sleep(0.01) return 'pass'"},
          case_t{"keeps_its_thread", "kept = coroutine.running() return 'pass'"},
          case_t{"sets_a_debug_hook", "debug.sethook(function() lines = true end, 'l') return 'pass'"},
          case_t{"fails_suspended", "orvex.sleep(0.01) error('bad')"}}) {
        ASSERT_TRUE(load(std::string("orvex = require('orvex') n = 0 kept = nil lines = nil\n"
                                     "function message_hook(t, ...)\n"
                                     "  n = n + 1\n"
                                     "  if n == 1 then\n") +
                         c.first +
                         "\n  end\n"
                         "  r = {extra = select('#', ...), hooked = debug.gethook() ~= nil,\n"
                         "       kept = kept and coroutine.status(kept), direction = t.direction}\n"
                         "  return 'pass'\n"
                         "end"));
        run();
        const auto second = run();
        EXPECT_EQ(second->kind(), "allowed") << c.name;
        EXPECT_EQ(eval("r.extra"), "0") << c.name;
        EXPECT_EQ(eval("r.hooked"), "false") << c.name;
        EXPECT_EQ(eval("tostring(r.kept)"), c.name == std::string("keeps_its_thread") ? "suspended" : "nil") << c.name;
        EXPECT_EQ(eval("r.direction"), "request") << c.name;
        EXPECT_EQ(eval("lines"), "nil") << c.name;
    }
}

// Ten thousand hooks leave the interpreter's memory where it was.
TEST_F(LuaHook, NoLeakOverManyHooks)
{
    ASSERT_TRUE(load("function message_hook(t)\n"
                     "  local n = #t.icap.field + #t.request.field\n"
                     "  local m = t.request.method .. t.direction\n"
                     "  return t.icap.search('nothing') and 'block' or 'pass'\n"
                     "end"));
    const auto settle = [&] {
        run_until([] { return false; }, 20ms);
        lua_gc(L(), LUA_GCCOLLECT, 0);
        lua_gc(L(), LUA_GCCOLLECT, 0);
        return lua_gc(L(), LUA_GCCOUNT, 0);
    };
    const hook_test::query_t query{{{"X-Client-IP", "10.1.2.3"}}, hook_test::simple_request, ""};
    const auto batch = [&](int count) {
        int done = 0;
        for (int i = 0; i < count; ++i) {
            inventory->lua->run_hook(make_context(query), [&done](ic::context::context_t,
                                                                  const std::shared_ptr<ic::verdict_t>&) { ++done; });
            if (i % 100 == 99)
                run_until([&] { return done == i + 1; });
        }
        EXPECT_TRUE(run_until([&] { return done == count; }));
        return settle();
    };
    // The first batch lets the interpreter's tables reach the size that
    // this many hooks at a time need.
    const int level = batch(10000);
    EXPECT_LE(batch(10000), level); // KiB
}

} // namespace
