#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lua_state.hpp"

namespace {

using lua_test::run_pending;
using strings = std::vector<std::string>;

class LuaCoroutineMake : public lua_test::state_test_t {};

TEST_F(LuaCoroutineMake, TaggedCoroutinesWorkLikeTheStandardOnes)
{
    ASSERT_EQ(run("cm = require('coroutine.make')()\n"
                  "co = cm.create(function(a) local b = cm.yield(a + 1) return b * 2 end)"),
              "");
    ASSERT_EQ(run("ok, value = cm.resume(co, 1)"), "");
    EXPECT_EQ(eval("tostring(ok) .. ',' .. value"), "true,2");
    EXPECT_EQ(eval("select(2, cm.resume(co, 5))"), "10");
    EXPECT_EQ(eval("cm.status(co)"), "dead");
    EXPECT_EQ(eval("cm.resume(co)"), "false");
    EXPECT_EQ(eval("select(2, cm.resume(cm.create(function() error('oops', 0) end)))"), "oops");
    EXPECT_EQ(eval("cm.wrap(function(a) cm.yield(a) end)(7)"), "7");
    EXPECT_EQ(eval("cm.running == coroutine.running and cm.isyieldable == coroutine.isyieldable"), "true");
}

// A host operation inside a tagged coroutine suspends the coroutine the host
// runs; its completion continues inside the tagged one, and resume returns
// only the tagged coroutine's own values.
TEST_F(LuaCoroutineMake, HostSuspensionPassesThroughATaggedCoroutine)
{
    auto co =
        coroutine("local cm = require('coroutine.make')()\n"
                  "local inner = cm.create(function() local w = host_wait() cm.yield('own', w) return 'end' end)\n"
                  "local ok1, a, b = cm.resume(inner)\n"
                  "local ok2, c = cm.resume(inner)\n"
                  "local wrapped = cm.wrap(function() return host_wait() end)\n"
                  "return a, b, c, wrapped()");
    co->resume(0);
    EXPECT_EQ(co->events, (strings{"resume", "yield"}));
    run_pending();
    EXPECT_EQ(co->events, (strings{"resume", "yield", "resume", "yield", "resume", "finish"}));
    EXPECT_EQ(co->results, (strings{"own", "woken", "end", "woken"}));
}

// Why scripts need the module: the standard resume receives the host's
// suspension itself.
TEST_F(LuaCoroutineMake, StandardCoroutineSwallowsTheHostSuspension)
{
    auto co = coroutine("local inner = coroutine.create(function() return host_wait() end)\n"
                        "local ok, value = coroutine.resume(inner)\n"
                        "return type(value), value == debug.getregistry()['ox.lua.coroutine_tag']");
    co->resume(0);
    EXPECT_EQ(co->results, (strings{"table", "true"}));
}

TEST_F(LuaCoroutineMake, TwoTagsStayApart)
{
    auto co = coroutine("local make = require('coroutine.make')\n"
                        "local outer_cm, inner_cm = make(), make()\n"
                        "local outer = outer_cm.wrap(function()\n"
                        "  local inner = inner_cm.wrap(function() outer_cm.yield('to outer') return 'inner done' end)\n"
                        "  return inner()\n"
                        "end)\n"
                        "return outer(), outer()");
    co->resume(0);
    EXPECT_EQ(co->results, (strings{"to outer", "inner done"}));
}

} // namespace
