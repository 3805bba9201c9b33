#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lua_state.hpp"
#include "util_logger.hpp"

namespace {

using lua_test::util_record_t;
using strings = std::vector<std::string>;
using namespace std::chrono_literals;

class LuaOrvexLog : public lua_test::modules_test_t {};

TEST_F(LuaOrvexLog, LevelsAndTexts)
{
    lua_test::util_logger_t logger;
    EXPECT_EQ(run("orvex.log('WARNING', 'w') orvex.log('debug', 5) orvex.error('e', 'ignored') orvex.notice(true)"),
              "");
    EXPECT_EQ(logger.records,
              (std::vector<util_record_t>{{3, "Lua: w"}, {0, "Lua: 5"}, {4, "Lua: e"}, {2, "Lua: true"}}));
    logger.records.clear();
    EXPECT_EQ(run("orvex.info({})"), "");
    ASSERT_EQ(logger.records.size(), 1u);
    EXPECT_EQ(logger.records[0].text.rfind("Lua: table: 0x", 0), 0u);
    EXPECT_EQ(run("orvex.info(setmetatable({}, {__tostring = function() return 'shown' end}))"), "");
    EXPECT_EQ(logger.records.back(), (util_record_t{1, "Lua: shown"}));
}

TEST_F(LuaOrvexLog, FilteredByTheUtilLevel)
{
    lua_test::util_logger_t logger(3);
    EXPECT_EQ(run("orvex.info('hidden') orvex.warning('shown') orvex.log('notice', 'hidden')"), "");
    EXPECT_EQ(logger.records, (std::vector<util_record_t>{{3, "Lua: shown"}}));
    // Arguments are checked whatever the level.
    EXPECT_NE(error_of("orvex.info()").find("bad argument #1 to 'info' (value expected)"), std::string::npos);
    EXPECT_NE(error_of("orvex.log('info')").find("bad argument #2 to 'log' (value expected)"), std::string::npos);
}

TEST_F(LuaOrvexLog, BadArguments)
{
    lua_test::util_logger_t logger;
    EXPECT_NE(error_of("orvex.log('warn', 'x')").find("bad argument #1 to 'log'"), std::string::npos);
    EXPECT_NE(error_of("orvex.log({}, 'x')").find("bad argument #1 to 'log' (string expected, got table)"),
              std::string::npos);
    EXPECT_NE(error_of("orvex.info(setmetatable({}, {__tostring = function() return {} end}))")
                  .find("'__tostring' must return a string"),
              std::string::npos);
    EXPECT_TRUE(logger.records.empty());
}

class LuaOrvexFiles : public lua_test::modules_test_t {
protected:
    LuaOrvexFiles()
    {
        char name[] = "/tmp/traxd-lua-XXXXXX";
        directory = ::mkdtemp(name);
    }
    ~LuaOrvexFiles() override { std::filesystem::remove_all(directory); }

    std::string file(const std::string& name, const std::string& content)
    {
        const std::string path = directory + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // The table the call gave, as sorted "key=value" texts.
    strings entries(const std::string& call)
    {
        const std::string code = "local t = " + call +
                                 " local out = {} for k, v in pairs(t) do out[#out + 1] = tostring(k) .. '=' .. "
                                 "tostring(v) end table.sort(out) return table.concat(out, '|')";
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
            return {"error: " + ox::lua::error_text(L)};
        std::string joined = lua_tostring(L, -1);
        lua_pop(L, 1);
        strings out;
        for (std::size_t start = 0; !joined.empty() && start <= joined.size();) {
            const auto bar = joined.find('|', start);
            out.push_back(joined.substr(start, bar - start));
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        return out;
    }

    std::string directory;
};

TEST_F(LuaOrvexFiles, LinesAsArrayAndSet)
{
    const std::string path = file("lines", "a\n\n  \nb\r\n\nb");
    EXPECT_EQ(entries("orvex.load_array('" + path + "')"), (strings{"1=a", "2=b\r", "3=b"}));
    EXPECT_EQ(entries("orvex.load_set('" + path + "')"), (strings{"a=true", "b\r=true", "b=true"}));
    const std::string empty = file("empty", "");
    EXPECT_EQ(entries("orvex.load_array('" + empty + "')"), strings{});
    EXPECT_EQ(entries("orvex.load_set('" + empty + "')"), strings{});
    const std::string spaced = file("spaced", " x \n\t\n");
    EXPECT_EQ(entries("orvex.load_array('" + spaced + "')"), (strings{"1= x "}));
}

TEST_F(LuaOrvexFiles, LinesAcrossTheReadBlocks)
{
    for (const std::size_t size : {8191u, 8192u, 8193u}) {
        // A line that ends just before, at or just after the block edge,
        // then one more line.
        const std::string first(size - 1, 'x');
        const std::string path = file("block", first + "\nlast");
        EXPECT_EQ(eval("#orvex.load_array('" + path + "')"), "2") << size;
        EXPECT_EQ(eval("#orvex.load_array('" + path + "')[1]"), std::to_string(size - 1)) << size;
        EXPECT_EQ(eval("orvex.load_array('" + path + "')[2]"), "last") << size;
    }
}

TEST_F(LuaOrvexFiles, UnreadableFiles)
{
    EXPECT_NE(error_of("orvex.load_array('" + directory + "/missing')")
                  .find("]:1: Cannot open " + directory + "/missing: No such file or directory"),
              std::string::npos);
    EXPECT_NE(error_of("orvex.load_set('" + directory + "')").find("Cannot read " + directory + ": Is a directory"),
              std::string::npos);
    // A NUL byte would open another file.
    file("cut", "x");
    EXPECT_NE(error_of("orvex.load_array('" + directory + "/cut\\0tail')").find(": Invalid argument"),
              std::string::npos);
    EXPECT_NE(error_of("orvex.load_array({})").find("bad argument #1 to 'load_array'"), std::string::npos);
}

class LuaOrvexSleep : public lua_test::modules_test_t {};

TEST_F(LuaOrvexSleep, SuspendsUntilTheLoopRunsTheTimer)
{
    auto co = coroutine("orvex.sleep(0) orvex.sleep(-1) orvex.sleep(0.01) return 'done'");
    co->resume(0);
    EXPECT_EQ(co->events, (strings{"resume", "yield"}));
    run_loop();
    EXPECT_EQ(co->events, (strings{"resume", "yield", "resume", "yield", "resume", "yield", "resume", "finish"}));
    EXPECT_EQ(co->results, (strings{"done"}));
}

TEST_F(LuaOrvexSleep, ArgumentsAndPlace)
{
    EXPECT_NE(error_of("orvex.sleep(0)").find("No coroutine is running"), std::string::npos);
    auto co = coroutine("orvex.sleep('x')");
    co->resume(0);
    EXPECT_NE(co->error.find("bad argument #1 to 'sleep' (number expected, got string)"), std::string::npos);
}

// Delays outside the timer's range are clamped, never converted with an
// undefined result: a huge or infinite one does not come at once, an
// infinitely negative or NaN one does.
TEST_F(LuaOrvexSleep, DelaysOutOfRangeAreClamped)
{
    struct case_t {
        const char* seconds;
        bool fires;
    };
    for (const case_t& c : {case_t{"1e300", false}, case_t{"math.huge", false}, case_t{"9.3e9", false},
                            case_t{"-math.huge", true}, case_t{"-1e300", true}, case_t{"0/0", true}}) {
        auto co = coroutine(std::string("orvex.sleep(") + c.seconds + ") return 'woke'");
        co->resume(0);
        run_loop(50ms);
        EXPECT_EQ(co->results, c.fires ? strings{"woke"} : strings{}) << c.seconds;
    }
}

TEST_F(LuaOrvexSleep, CompletionAfterTheCoroutineIsGoneDoesNothing)
{
    auto co = coroutine("orvex.sleep(0.01) error('must not run')");
    co->resume(0);
    co.reset();
    lua_gc(L, LUA_GCCOLLECT, 0);
    run_loop();
    // The timer's anchor is gone with it: a full collection frees it.
    const int before = lua_gc(L, LUA_GCCOUNT, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_LE(lua_gc(L, LUA_GCCOUNT, 0), before);
}

class LuaOrvexAsync : public lua_test::modules_test_t {};

TEST_F(LuaOrvexAsync, WaitGivesTheResultsAgainAndAgain)
{
    EXPECT_EQ(eval("(function() local t = orvex.async(function(a, b) return a + b, 'two' end, 1, 2) "
                   "local x, y = t.wait() local z, w = t:wait() return table.concat({x, y, z, w}, ',') end)()"),
              "3,two,3,two");
    EXPECT_NE(error_of("orvex.async(5)").find("bad argument #1 to 'async' (function expected, got number)"),
              std::string::npos);
}

TEST_F(LuaOrvexAsync, WaitSuspendsUntilTheTaskEnds)
{
    auto co = coroutine("local t = orvex.async(function(x) orvex.sleep(0.01) return x * 2 end, 21)\n"
                        "return t.wait()");
    co->resume(0);
    EXPECT_EQ(co->events, (strings{"resume", "yield"}));
    run_loop();
    EXPECT_EQ(co->results, (strings{"42"}));
    // Outside a coroutine only a finished task can be waited for.
    EXPECT_NE(error_of("orvex.async(function() orvex.sleep(1) end).wait()").find("No coroutine is running"),
              std::string::npos);
}

TEST_F(LuaOrvexAsync, FailedTaskRaisesItsError)
{
    auto co = coroutine("t = orvex.async(function() orvex.sleep(0.01) error('task failed') end)\n"
                        "local ok, e = pcall(t.wait)\n"
                        "local ok2, e2 = pcall(t.wait)\n"
                        "return type(e), tostring(e), type(e2), e2");
    co->resume(0);
    run_loop();
    ASSERT_EQ(co->results.size(), 4u);
    // The waiter that was suspended gets an exception value of the text;
    // a later wait raises the task's own error value.
    EXPECT_EQ(co->results[0], "userdata");
    EXPECT_NE(co->results[1].find("task failed"), std::string::npos);
    EXPECT_EQ(co->results[2], "string");
    EXPECT_EQ(co->results[3], co->results[1]);
}

TEST_F(LuaOrvexAsync, WaitersResumeInTheOrderTheyWaited)
{
    ASSERT_EQ(run("order = {} task = orvex.async(function() orvex.sleep(0.01) return 'r' end)"), "");
    auto first = coroutine("local r = task.wait() order[#order + 1] = 'first' return r");
    auto second = coroutine("local r = task.wait() order[#order + 1] = 'second' return r");
    second->resume(0);
    first->resume(0);
    run_loop();
    EXPECT_EQ(eval("table.concat(order, ',')"), "second,first");
    EXPECT_EQ(first->results, (strings{"r"}));
}

// A task logs with the log function in force where it was made.
TEST_F(LuaOrvexAsync, TaskLogsThroughTheLoggerOfItsCreation)
{
    lua_test::util_logger_t made_under;
    auto co = coroutine("local t = orvex.async(function() orvex.sleep(0.01) orvex.info('from task') end) t.wait()");
    co->resume(0);
    lua_test::util_logger_t later;
    run_loop();
    EXPECT_EQ(made_under.records, (std::vector<util_record_t>{{1, "Lua: from task"}}));
    EXPECT_TRUE(later.records.empty());
    EXPECT_EQ(run("orvex.info('after')"), "");
    EXPECT_EQ(later.records, (std::vector<util_record_t>{{1, "Lua: after"}}));
}

TEST_F(LuaOrvexAsync, DroppedTaskIsCollectedAndItsTimerDoesNothing)
{
    ASSERT_EQ(run("orvex.async(function() orvex.sleep(0.01) error('must not run') end)"), "");
    lua_gc(L, LUA_GCCOLLECT, 0);
    run_loop();
    EXPECT_EQ(run("collectgarbage()"), "");
    EXPECT_EQ(run("meta = debug.getregistry()['ox.lua.orvex.future_metatable'] meta.__gc({})"), "");
}

} // namespace
