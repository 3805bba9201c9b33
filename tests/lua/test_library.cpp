#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/need_restart.hpp"
#include "lua/exception_ptr.hpp"
#include "lua/protect.hpp"
#include "lua/registry_ref.hpp"
#include "lua/thread_pool.hpp"
#include "lua_state.hpp"
#include "schemas/error.pb.h"

namespace {

using lua_test::recording_coroutine_t;
using lua_test::run_pending;
using strings = std::vector<std::string>;

class LuaLibrary : public lua_test::state_test_t {};

TEST_F(LuaLibrary, RegistrySlotsAfterOpening)
{
    struct slot_t {
        const char* key;
        int type;
    };
    for (const slot_t& slot :
         {slot_t{"ox.lua.regid_state", LUA_TLIGHTUSERDATA}, slot_t{"ox.lua.table_getter", LUA_TFUNCTION},
          slot_t{"ox.lua.make_const", LUA_TFUNCTION}, slot_t{"ox.lua.coroutine_tag", LUA_TTABLE},
          slot_t{"ox.lua.coroutine", LUA_TLIGHTUSERDATA}, slot_t{"ox.lua.coroutine_environment", LUA_TTABLE},
          slot_t{"ox.lua.exception_ptr_metatable", LUA_TTABLE}}) {
        ox::lua::registry_get(L, slot.key);
        EXPECT_EQ(lua_type(L, -1), slot.type) << slot.key;
        lua_pop(L, 1);
    }
    EXPECT_EQ(ox::lua::main_state(L), L);
    ox::lua::registry_get(L, "ox.lua.coroutine");
    EXPECT_EQ(lua_touserdata(L, -1), nullptr);
    lua_pop(L, 1);

    // The table getter takes a table and a key, metamethods included.
    ox::lua::registry_get(L, "ox.lua.table_getter");
    ASSERT_EQ(run("t = setmetatable({}, {__index = function(_, k) return k .. '!' end})"), "");
    lua_getglobal(L, "t");
    lua_pushstring(L, "x");
    ASSERT_EQ(lua_pcall(L, 2, 1, 0), LUA_OK);
    EXPECT_STREQ(lua_tostring(L, -1), "x!");
    lua_pop(L, 1);
}

// The interpreter's blocks come from a cache of size classes: a block that
// grows or shrinks within its class stays, one that leaves it moves with its
// bytes. Tables grow and are rehashed smaller, strings and buffers take
// every size up to beyond the cached ones; the sanitizer sees a block
// smaller than Lua asked for.
TEST_F(LuaLibrary, ValuesKeepTheirContentWhileTheirMemoryGrowsAndShrinks)
{
    EXPECT_EQ(
        eval("(function()\n"
             "  local t = {}\n"
             "  for i = 1, 3000 do t[i] = i * 3 end\n"
             "  for i = 1, 3000 do if t[i] ~= i * 3 then return 'grown array at ' .. i end end\n"
             "  local h = {}\n"
             "  for i = 1, 3000 do h['k' .. i] = i end\n"
             "  for i = 1, 2990 do h['k' .. i] = nil end\n"
             "  collectgarbage()\n"
             "  for i = 1, 40 do h[-i] = i end\n"
             "  for i = 2991, 3000 do if h['k' .. i] ~= i then return 'rehashed table at ' .. i end end\n"
             "  for n = 1, 3000, 7 do\n"
             "    local s = string.rep('ab', n // 2) .. string.rep('c', n % 2)\n"
             "    if #s ~= n or s:sub(-1) ~= (n % 2 == 1 and 'c' or 'b') then return 'string of ' .. n end\n"
             "  end\n"
             "  local parts = {}\n"
             "  for i = 1, 2000 do parts[i] = tostring(i) end\n"
             "  local joined = table.concat(parts, ',')\n"
             "  if select(2, joined:gsub(',', '')) ~= 1999 or joined:sub(-9) ~= '1999,2000' then return 'buffer' end\n"
             "  return 'kept'\n"
             "end)()"),
        "kept");
}

TEST_F(LuaLibrary, RegistryReferenceKeepsAndReleasesItsValue)
{
    lua_pushstring(L, "kept");
    ox::lua::registry_ref_t ref(L);
    EXPECT_EQ(lua_gettop(L), 0);
    ASSERT_GT(ref.ref(), 0);
    const int number = ref.ref();

    ox::lua::registry_ref_t moved(std::move(ref));
    EXPECT_EQ(ref.ref(), LUA_REFNIL);
    moved.push(L);
    EXPECT_STREQ(lua_tostring(L, -1), "kept");
    lua_pop(L, 1);

    {
        ox::lua::registry_ref_t gone(std::move(moved));
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, number);
    EXPECT_FALSE(lua_isstring(L, -1));
    lua_pop(L, 1);
}

// How a resumption ends, as the coroutine's owner is told.
struct outcome_case_t {
    const char* name;
    const char* code;
    strings events;
    std::string error;
    strings results;
};

class LuaCoroutineOutcome : public lua_test::state_test_t, public testing::WithParamInterface<outcome_case_t> {};

TEST_P(LuaCoroutineOutcome, IsReportedToTheOwner)
{
    const outcome_case_t& c = GetParam();
    auto co = coroutine(c.code);
    co->resume(0);
    EXPECT_EQ(co->events, c.events);
    EXPECT_EQ(co->error, c.error);
    EXPECT_EQ(co->results, c.results);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaCoroutineOutcome,
    testing::Values(
        outcome_case_t{"returns", "return 1, 'two'", {"resume", "finish"}, "", {"1", "two"}},
        outcome_case_t{"fails", "error('bad', 0)", {"resume", "error"}, "bad", {}},
        outcome_case_t{"yields_values", "coroutine.yield(1, 2)", {"resume", "error"}, "Invalid coroutine tag", {}},
        outcome_case_t{"yields_nothing", "coroutine.yield()", {"resume", "error"}, "Coroutine tag not found", {}},
        outcome_case_t{"yields_tag_then_value",
                       "local tag = debug.getregistry()['ox.lua.coroutine_tag'] coroutine.yield(tag, 5)",
                       {"resume", "error"},
                       "Invalid coroutine tag",
                       {}},
        outcome_case_t{"yields_across_c_call",
                       "table.sort({3, 2, 1}, function(a, b) host_wait() return a < b end)",
                       {"resume", "error"},
                       "attempt to yield across a C-call boundary",
                       {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LuaLibrary, HostOperationSuspendsAndItsCompletionResumes)
{
    auto co = coroutine("local a = host_wait() local b = host_wait() return a, b");
    co->resume(0);
    EXPECT_EQ(co->events, (strings{"resume", "yield"}));
    EXPECT_EQ(run_pending(), 2u);
    EXPECT_EQ(co->events, (strings{"resume", "yield", "resume", "yield", "resume", "finish"}));
    EXPECT_EQ(co->results, (strings{"woken", "woken"}));
}

TEST_F(LuaLibrary, CompletionAfterTheCoroutineIsGoneDoesNothing)
{
    auto co = coroutine("host_wait() error('must not run')");
    co->resume(0);
    co.reset();
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(run_pending(), 1u);
}

TEST_F(LuaLibrary, NoCoroutineIsRunningOutsideTheHost)
{
    EXPECT_EQ(run("host_wait()"), "[string \"host_wait()\"]:1: No coroutine is running");
    // A coroutine of the standard library is none of the host's either.
    EXPECT_NE(eval("select(2, coroutine.resume(coroutine.create(function() host_wait() end)))")
                  .find("No coroutine is running"),
              std::string::npos);
}

// Records the running coroutine, which the registry names too.
void record_running(lua_State* L)
{
    std::vector<void*>* seen = static_cast<std::vector<void*>*>(lua_touserdata(L, lua_upvalueindex(1)));
    seen->push_back(ox::lua::current_coroutine(L));
    ox::lua::registry_get(L, "ox.lua.coroutine");
    EXPECT_EQ(lua_touserdata(L, -1), seen->back());
    lua_pop(L, 1);
}

// A host function that records which coroutine is running, before and
// after it ran a nested one.
int nested(lua_State* L)
{
    record_running(L);
    luaL_loadstring(L, "record()");
    recording_coroutine_t inner(L, -1);
    static_cast<std::vector<void*>*>(lua_touserdata(L, lua_upvalueindex(1)))->push_back(&inner);
    inner.resume(0);
    record_running(L);
    return 0;
}

int record(lua_State* L)
{
    record_running(L);
    return 0;
}

TEST_F(LuaLibrary, ResumptionsNest)
{
    std::vector<void*> seen;
    lua_pushlightuserdata(L, &seen);
    lua_pushcclosure(L, nested, 1);
    lua_setglobal(L, "nested");
    lua_pushlightuserdata(L, &seen);
    lua_pushcclosure(L, record, 1);
    lua_setglobal(L, "record");

    auto outer = coroutine("nested()");
    outer->resume(0);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], outer.get());
    EXPECT_EQ(seen[2], seen[1]); // the inner one while it runs
    EXPECT_EQ(seen[3], outer.get());
    EXPECT_EQ(ox::lua::running_coroutine(L), nullptr);
    ox::lua::registry_get(L, "ox.lua.coroutine");
    EXPECT_EQ(lua_touserdata(L, -1), nullptr);
    lua_pop(L, 1);
}

// Either way a coroutine is first resumed: later, or at once as it is made
// (when it takes its table only if it suspends itself).
constexpr ox::lua::coroutine_t::first_resumption_t first_resumptions[] = {ox::lua::coroutine_t::later,
                                                                          ox::lua::coroutine_t::at_once};

TEST_F(LuaLibrary, CoroutineSeesTheEnvironmentOfItsCreation)
{
    for (const auto first : first_resumptions) {
        ASSERT_EQ(run("debug.getregistry()['ox.lua.coroutine_environment'] = {name = 'first'}"), "");
        luaL_loadstring(L, "host_wait() return debug.getregistry()['ox.lua.coroutine_environment'].name");
        recording_coroutine_t co(L, -1, nullptr, nullptr, first);
        co.resume(0);
        ASSERT_EQ(run("debug.getregistry()['ox.lua.coroutine_environment'] = {name = 'second'}"), "");
        run_pending();
        EXPECT_EQ(co.results, (strings{"first"})) << first;
        EXPECT_EQ(eval("debug.getregistry()['ox.lua.coroutine_environment'].name"), "second") << first;
    }
}

// A kept thread brings the settings table its last coroutine ran with; the
// next one runs with the table in force when it is made.
TEST_F(LuaLibrary, KeptThreadTakesTheCurrentEnvironment)
{
    for (const auto first : first_resumptions) {
        ox::lua::thread_pool_t pool(4);
        lua_State* kept = nullptr;
        for (const char* name : {"first", "second", "second", "first"}) {
            ASSERT_EQ(run(std::string("local r = debug.getregistry()\n"
                                      "if r['ox.lua.coroutine_environment'].name ~= '") +
                          name + "' then r['ox.lua.coroutine_environment'] = {name = '" + name + "'} end"),
                      "");
            luaL_loadstring(L, "return debug.getregistry()['ox.lua.coroutine_environment'].name");
            recording_coroutine_t co(L, -1, &pool, nullptr, first);
            if (kept != nullptr) {
                EXPECT_EQ(co.thread(), kept) << name << ' ' << first;
            }
            co.resume(0);
            EXPECT_EQ(co.results, (strings{name})) << first;
            kept = co.thread();
        }
    }
}

TEST_F(LuaLibrary, CallbackWrapperDropsCallsAfterDestruction)
{
    int calls = 0;
    std::function<void(int)> wrapped;
    {
        ox::util::callback_wrapper_t owner;
        wrapped = owner.wrap([&calls](int n) { calls += n; });
        wrapped(2);
    }
    wrapped(5);
    EXPECT_EQ(calls, 2);
}

int throw_runtime_error(lua_State* L)
{
    return ox::lua::protect(L, []() -> int { throw std::runtime_error("native failure"); });
}

TEST_F(LuaLibrary, NativeFailureCrossesTheScriptUnchanged)
{
    lua_register(L, "fail", throw_runtime_error);
    EXPECT_EQ(eval("select(2, pcall(fail))"), "native failure");
    EXPECT_EQ(eval("tostring(select(2, pcall(fail)))"), "native failure");

    // The owner of a failed coroutine takes the very exception back out.
    auto co = coroutine("fail()");
    co->resume(0);
    std::exception_ptr* carried = ox::lua::to_exception_ptr(co->thread(), -1);
    ASSERT_NE(carried, nullptr);
    try {
        std::rethrow_exception(*carried);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "native failure");
    }
}

TEST_F(LuaLibrary, ExceptionMetamethodsRejectOtherValues)
{
    lua_register(L, "fail", throw_runtime_error);
    ASSERT_EQ(run("meta = getmetatable(select(2, pcall(fail)))"), "");
    EXPECT_EQ(eval("meta.__name"), "ox.lua.exception_ptr_metatable");
    EXPECT_EQ(run("meta.__gc({}) meta.__gc(1)"), "");
    EXPECT_NE(run("meta.__tostring({})").find("bad argument #1"), std::string::npos);
    // Released twice by hand, then collected: nothing happens twice.
    EXPECT_EQ(run("local e = select(2, pcall(fail)) meta.__gc(e) meta.__gc(e) collectgarbage()"), "");
}

int throw_exit_code(lua_State* L)
{
    return ox::lua::protect(L, []() -> int { throw ox::EC_BAD_CONFIG; });
}

int throw_need_restart(lua_State* L)
{
    return ox::lua::protect(L, []() -> int { throw ic::need_restart_t(); });
}

// An exit order is not a script error: even when the script catches what
// Lua makes of it, it leaves the resumption as what was thrown.
TEST_F(LuaLibrary, ExitOrderLeavesTheResumptionThoughTheScriptCatchesIt)
{
    lua_register(L, "exit_code", throw_exit_code);
    lua_register(L, "need_restart", throw_need_restart);

    auto co = coroutine("pcall(exit_code) return 'went on'");
    try {
        co->resume(0);
        ADD_FAILURE() << "no exit order";
    } catch (ox::ErrorCode code) {
        EXPECT_EQ(code, ox::EC_BAD_CONFIG);
    }
    EXPECT_EQ(co->events, (strings{"resume", "abandon"}));
    EXPECT_FALSE(ox::lua::exit_order_pending(L));

    // From a completion that resumes a suspended coroutine.
    auto later = coroutine("host_wait() need_restart()");
    later->resume(0);
    EXPECT_THROW(run_pending(), ic::need_restart_t);
    EXPECT_EQ(later->events, (strings{"resume", "yield", "resume", "abandon"}));
}

// A pool gets back only the thread of a function that returned and whose
// thread the script never got hold of; a thread it hands out again shows
// nothing of its last run.
struct reuse_case_t {
    const char* name;
    const char* code;
    bool completed; // the host operations it waits for complete
    bool reused;
};

class LuaThreadReuse : public lua_test::state_test_t, public testing::WithParamInterface<reuse_case_t> {};

TEST_P(LuaThreadReuse, OnlyCleanThreadsComeBack)
{
    const reuse_case_t& c = GetParam();
    lua_register(L, "exit_code", throw_exit_code);
    // A new thread must not get the address of one collected meanwhile.
    lua_gc(L, LUA_GCSTOP, 0);
    ox::lua::thread_pool_t pool(4);
    ASSERT_EQ(luaL_loadstring(L, c.code), LUA_OK);
    auto first = std::make_unique<recording_coroutine_t>(L, -1, &pool);
    lua_State* const thread = first->thread();
    try {
        first->resume(0);
    } catch (ox::ErrorCode) {
    }
    if (c.completed)
        run_pending();
    first.reset();

    ASSERT_EQ(luaL_loadstring(L, "return select('#', ...), debug.gethook()"), LUA_OK);
    recording_coroutine_t second(L, -1, &pool);
    EXPECT_EQ(second.thread() == thread, c.reused);
    second.resume(0);
    EXPECT_EQ(second.results, (strings{"0", "nil", "", "0"}));
    EXPECT_EQ(eval("select(2, coroutine.running())"), "true");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaThreadReuse,
    testing::Values(reuse_case_t{"returns", "return 1, 2, 3", false, true},
                    reuse_case_t{"fails", "error('bad')", false, false},
                    reuse_case_t{"yields_without_tag", "coroutine.yield()", false, false},
                    reuse_case_t{"left_suspended", "host_wait() return 1", false, false},
                    reuse_case_t{"resumed_to_its_end", "host_wait() return 1", true, true},
                    reuse_case_t{"exit_order", "pcall(exit_code) return 1", false, false},
                    reuse_case_t{"gives_its_thread_away", "kept = coroutine.running()", false, false},
                    reuse_case_t{"gives_a_nested_thread_away",
                                 "coroutine.wrap(function() kept = coroutine.running() end)()", false, true},
                    reuse_case_t{"sets_a_debug_hook", "debug.sethook(function() end, 'l')", false, false},
                    reuse_case_t{"clears_its_debug_hook", "debug.sethook(function() end, 'l') debug.sethook()", false,
                                 true}),
    [](const auto& info) { return std::string(info.param.name); });

void count_lines(lua_State*, lua_Debug*) {}

// A kept thread gets the debug hook a new one would; none is kept while the
// main state has one.
TEST_F(LuaLibrary, ThreadPoolAndTheMainStatesDebugHook)
{
    lua_gc(L, LUA_GCSTOP, 0);
    ox::lua::thread_pool_t pool(4);
    const auto run_one = [&] {
        luaL_loadstring(L, "return 1");
        recording_coroutine_t co(L, -1, &pool);
        co.resume(0);
        return co.thread();
    };
    lua_State* const kept = run_one();
    lua_sethook(L, count_lines, LUA_MASKLINE, 0);
    ox::lua::thread_pool_t::thread_t taken = pool.take(L);
    EXPECT_EQ(taken.thread, kept);
    EXPECT_EQ(lua_gethook(taken.thread), count_lines);
    EXPECT_EQ(lua_gethookmask(taken.thread), LUA_MASKLINE);
    pool.give_back(std::move(taken));
    lua_sethook(L, nullptr, 0, 0);
    EXPECT_NE(run_one(), kept);
}

} // namespace
