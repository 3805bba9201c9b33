#include <gtest/gtest.h>

#include <string>

#include "lua/make_const.hpp"
#include "lua_state.hpp"

namespace {

class LuaMakeConst : public lua_test::state_test_t {
protected:
    LuaMakeConst()
    {
        // const(t) gives the read-only view of t.
        lua_pushcfunction(L, [](lua_State* L) {
            lua_settop(L, 1);
            ox::lua::make_const(L);
            return 1;
        });
        lua_setglobal(L, "const");
        EXPECT_EQ(run("plain = {1, 2, 3, name = 'n', _hidden = 'h', ['~tilde'] = 't', nested = {deep = {x = 1}}}\n"
                      "view = const(plain)"),
                  "");
    }
};

TEST_F(LuaMakeConst, ViewReadsTheTableAndHidesItsPrivateKeys)
{
    EXPECT_EQ(eval("const(plain) == view"), "true");
    EXPECT_EQ(eval("view.name"), "n");
    EXPECT_EQ(eval("view[2]"), "2");
    EXPECT_EQ(eval("view._hidden"), "nil");
    EXPECT_EQ(eval("view['~tilde']"), "nil");
    EXPECT_EQ(eval("#view"), "3");
    EXPECT_EQ(eval("getmetatable(view)"), "true");
    EXPECT_EQ(eval("rawget(view, 'name')"), "nil");
    EXPECT_EQ(eval("next(view)"), "nil");
    EXPECT_EQ(eval("view.nested == const(plain.nested)"), "true");
    EXPECT_EQ(eval("view.nested.deep.x"), "1");
    EXPECT_EQ(eval("tostring(view) == tostring(plain)"), "true");
    EXPECT_EQ(eval("select('#', ipairs(view)) and (function() local n = 0 for _ in ipairs(view) do n = n + 1 end "
                   "return n end)()"),
              "3");
}

TEST_F(LuaMakeConst, PairsSkipsHiddenKeysAndGivesNestedViews)
{
    ASSERT_EQ(run("seen = {} for k, v in pairs(view) do seen[#seen + 1] = tostring(k) .. '=' .. type(v) "
                  "if k == 'nested' then nested_is_view = getmetatable(v) == true end end table.sort(seen)"),
              "");
    EXPECT_EQ(eval("table.concat(seen, ',')"), "1=number,2=number,3=number,name=string,nested=table");
    EXPECT_EQ(eval("nested_is_view"), "true");
}

TEST_F(LuaMakeConst, ModificationIsRefusedAtTheAssigningLine)
{
    EXPECT_EQ(run("\nview.name = 'x'"), "[string \"...\"]:2: Table modification is not allowed");
    EXPECT_EQ(run("view.new = 1"), "[string \"view.new = 1\"]:1: Table modification is not allowed");
    EXPECT_EQ(run("view.nested.deep.x = 2"),
              "[string \"view.nested.deep.x = 2\"]:1: Table modification is not allowed");
    EXPECT_NE(run("setmetatable(view, {})").find("cannot change a protected metatable"), std::string::npos);
    EXPECT_EQ(eval("plain.name"), "n");
}

TEST_F(LuaMakeConst, TableWithItsOwnNewindexTakesTheAssignment)
{
    ASSERT_EQ(
        run("log = {} open = setmetatable({}, {__newindex = function(t, k, v) log[#log + 1] = k rawset(t, k, v) end})\n"
            "open_view = const(open)\n"
            "open_view.a = 1"),
        "");
    EXPECT_EQ(eval("open.a"), "1");
    EXPECT_EQ(eval("log[1]"), "a");
    // A hidden key is refused all the same.
    EXPECT_EQ(run("open_view._b = 1"), "[string \"open_view._b = 1\"]:1: Table modification is not allowed");
}

TEST_F(LuaMakeConst, ConcatenationFollowsTheTablesOwnConcat)
{
    ASSERT_EQ(run("named = setmetatable({}, {__concat = function(a, b) "
                  "return (type(a) == 'table' and 'T' or a) .. (type(b) == 'table' and 'T' or b) end})\n"
                  "named_view = const(named)"),
              "");
    EXPECT_EQ(eval("'x' .. named_view"), "xT");
    EXPECT_EQ(eval("named_view .. 'y'"), "Ty");
}

// The __concat helper for values with __tostring.
TEST_F(LuaMakeConst, TostringConcatOnEitherSide)
{
    lua_pushcfunction(L, [](lua_State* L) {
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setmetatable(L, -2);
        lua_pushcfunction(L, [](lua_State* L) {
            lua_pushliteral(L, "OBJ");
            return 1;
        });
        lua_setfield(L, -2, "__tostring");
        lua_pushvalue(L, -1);
        lua_pushcclosure(L, ox::lua::tostring_concat_closure, 1);
        lua_setfield(L, -2, "__concat");
        return 1;
    });
    lua_setglobal(L, "object");
    ASSERT_EQ(run("o = object()"), "");
    EXPECT_EQ(eval("'<' .. o"), "<OBJ");
    EXPECT_EQ(eval("o .. '>'"), "OBJ>");
    EXPECT_EQ(eval("o .. 1"), "OBJ1");
    // A right operand with its own __concat decides.
    EXPECT_EQ(eval("o .. setmetatable({}, {__concat = function(a, b) return 'own:' .. tostring(a) end})"), "own:OBJ");
}

TEST_F(LuaMakeConst, StoreFieldKeepsTheComputedValue)
{
    lua_pushcfunction(L, [](lua_State* L) {
        lua_settop(L, 2);
        lua_pushstring(L, "computed");
        return ox::lua::store_field(L);
    });
    lua_setglobal(L, "index");
    ASSERT_EQ(run("lazy = setmetatable({}, {__index = index})"), "");
    EXPECT_EQ(eval("lazy.k"), "computed");
    EXPECT_EQ(eval("rawget(lazy, 'k')"), "computed");
}

} // namespace
