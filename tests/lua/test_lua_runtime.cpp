#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "hook_fixture.hpp"

namespace {

// Settings whose script cannot be used end the process with 102 after an
// Error line "Lua: " and the reason.
struct refused_case_t {
    const char* name;
    std::function<void(ox::TRAXDConfig&)> spoil;
    std::string line; // the Error line, or its beginning when it ends in "..."
};

void PrintTo(const refused_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class LuaRuntimeRefuses : public hook_test::fixture_t, public testing::WithParamInterface<refused_case_t> {};

TEST_P(LuaRuntimeRefuses, ScriptsItCannotUse)
{
    const refused_case_t& c = GetParam();
    auto config = settings();
    c.spoil(config);
    EXPECT_FALSE(apply(config));
    const auto lines = records_with(cf_log_error, "Lua: ");
    ASSERT_EQ(lines.size(), 1u);
    if (c.line.ends_with("..."))
        EXPECT_EQ(lines[0].substr(0, c.line.size() - 3), c.line.substr(0, c.line.size() - 3));
    else
        EXPECT_EQ(lines[0], c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaRuntimeRefuses,
    testing::Values(refused_case_t{"no_chunk", [](auto& s) { s.clear_message_hook(); }, "Lua: No chunk set"},
                    refused_case_t{"syntax_error_on_line_3",
                                   [](auto& s) { s.mutable_message_hook()->set_buffer("x = 1\ny = 2\nz = = 3\n"); },
                                   "Lua: [string \"x = 1...\"]:3: ..."},
                    refused_case_t{"no_message_hook", [](auto& s) { s.mutable_message_hook()->set_buffer("x = 1"); },
                                   "Lua: Cannot find function 'message_hook'"},
                    refused_case_t{"message_hook_not_a_function",
                                   [](auto& s) { s.mutable_message_hook()->set_buffer("message_hook = 1"); },
                                   "Lua: Cannot find function 'message_hook'"},
                    refused_case_t{"top_level_error",
                                   [](auto& s) { s.mutable_message_hook()->set_buffer("error('x', 0)"); }, "Lua: x"},
                    refused_case_t{"top_level_table_error",
                                   [](auto& s) { s.mutable_message_hook()->set_buffer("error({}, 0)"); },
                                   "Lua: Unexpected error"},
                    refused_case_t{"host_operation_at_top_level",
                                   [](auto& s) { s.mutable_message_hook()->set_buffer("require('orvex').sleep(0)"); },
                                   "Lua: [string \"require('orvex').sleep(0)\"]:1: No coroutine is running"},
                    refused_case_t{"missing_file",
                                   [](auto& s) { s.mutable_message_hook()->set_file("/nonexistent/hook.lua"); },
                                   "Lua: cannot open /nonexistent/hook.lua: No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

class LuaRuntime : public hook_test::fixture_t {};

// The "package" failure shows at the next reload: the script replaced it.
TEST_F(LuaRuntime, ReplacedPackageIsFoundAtTheNextReload)
{
    auto config = settings();
    config.mutable_message_hook()->set_buffer("package = 1 function message_hook() return 'pass' end");
    EXPECT_TRUE(apply(config));
    EXPECT_FALSE(apply(config));
    EXPECT_EQ(records_with(cf_log_error, "Lua: "),
              std::vector<std::string>{"Lua: Global variable 'package' is not a table but number"});
}

TEST_F(LuaRuntime, ScriptFromAFile)
{
    char name[] = "/tmp/traxd-hook-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(name) << "function message_hook(t) return 'block' end\n";
    auto config = settings();
    config.mutable_message_hook()->set_file(name);
    EXPECT_TRUE(apply(config));
    EXPECT_EQ(run()->kind(), "blocked_url");
    ::unlink(name);
}

TEST_F(LuaRuntime, PackagePathsComeFromTheSettingsOnly)
{
    ::setenv("LUA_PATH_5_3", "/from/environment/?.lua", 1);
    auto config = settings();
    EXPECT_TRUE(apply(config));
    EXPECT_EQ(eval("package.path"), "");
    EXPECT_EQ(eval("package.cpath"), "");
    config.set_lua_package_path("/scripts/?.lua");
    config.set_lua_package_c_path("/modules/?.so");
    EXPECT_TRUE(apply(config));
    EXPECT_EQ(eval("package.path"), "/scripts/?.lua");
    EXPECT_EQ(eval("package.cpath"), "/modules/?.so");
    ::unsetenv("LUA_PATH_5_3");
}

TEST_F(LuaRuntime, ModulesAreNoGlobals)
{
    EXPECT_EQ(eval("type(package.loaded['orvex']) .. type(package.loaded['orvex.regex']) .. "
                   "type(package.loaded['orvex.config']) .. type(package.loaded['coroutine.make'])"),
              "tabletabletablefunction");
    EXPECT_EQ(eval("tostring(orvex) .. tostring(regex)"), "nilnil");
    EXPECT_EQ(eval("type(bit32) .. type(utf8) .. type(debug)"), "tabletabletable");
}

// Reloads leave a suspended hook with the function and settings it started
// with; hooks started after each reload use the newest.
TEST_F(LuaRuntime, ReloadsWhileAHookIsSuspended)
{
    const auto script = [](const char* version) {
        return std::string("orvex = require('orvex') config = require('orvex.config')\n"
                           "function message_hook(t)\n"
                           "  if t.icap.value('X-Slow') then orvex.sleep(0.05) end\n"
                           "  seen[#seen + 1] = '") +
               version + "' .. tostring(config.block_unchecked)\n  return 'pass'\nend";
    };
    EXPECT_TRUE(load("seen = {}\n" + script("v1"), false));
    const auto slow = start(make_context({{{"X-Slow", "1"}}, hook_test::simple_request, ""}));
    EXPECT_TRUE(load(script("v2"), true));
    run();
    EXPECT_TRUE(load(script("v3"), false));
    run();
    EXPECT_TRUE(run_until([&] { return slow->done; }));
    EXPECT_EQ(eval("table.concat(seen, ',')"), "v2true,v3false,v1false");
}

TEST_F(LuaRuntime, HookRemovedAfterItsCompletion)
{
    ASSERT_TRUE(load("function message_hook(t) return 'pass' end"));
    int calls = 0;
    inventory->lua->run_hook(make_context(),
                             [&](ic::context::context_t, const std::shared_ptr<ic::verdict_t>&) { ++calls; });
    EXPECT_EQ(calls, 0);
    run_until([&] { return calls == 1; });
    // A second transaction after the first one's removal still runs.
    EXPECT_EQ(run()->kind(), "allowed");
    EXPECT_EQ(calls, 1);
}

// The collector may let the heap grow by a megabyte beyond the script's
// data rather than to twice the data, and no further, however much garbage
// the hooks make; a pause the script set itself stays.
struct collector_case_t {
    const char* name;
    const char* prologue;
    // The pause after the hooks ran; 0: more than Lua's own 200.
    int pause;
};

void PrintTo(const collector_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class LuaRuntimeCollector : public hook_test::fixture_t, public testing::WithParamInterface<collector_case_t> {};

TEST_P(LuaRuntimeCollector, HeapStaysWithinTheHeadroom)
{
    const collector_case_t& c = GetParam();
    ASSERT_TRUE(load(std::string(c.prologue) + "function message_hook(t)\n"
                                               "  local garbage = {}\n"
                                               "  for i = 1, 100 do garbage[i] = {i, i + 1} end\n"
                                               "  return 'pass'\n"
                                               "end"));
    const double data_kb = std::stod(eval("collectgarbage('count')"));
    double largest_kb = 0;
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(run()->kind(), "allowed");
        largest_kb = std::max(largest_kb, std::stod(eval("collectgarbage('count')")));
    }
    // Two thousand hooks make some twenty megabytes of garbage.
    EXPECT_LT(largest_kb, data_kb + 1024 + 256) << c.name;
    const int pause = std::stoi(eval("(function() local p = collectgarbage('setpause', 200)\n"
                                     "collectgarbage('setpause', p) return p end)()"));
    if (c.pause == 0)
        EXPECT_GT(pause, 200) << c.name;
    else
        EXPECT_EQ(pause, c.pause) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Pauses, LuaRuntimeCollector,
                         testing::Values(collector_case_t{"tuned", "", 0},
                                         collector_case_t{"scripts_own", "collectgarbage('setpause', 150)\n", 150}),
                         [](const testing::TestParamInfo<collector_case_t>& info) { return info.param.name; });

} // namespace
