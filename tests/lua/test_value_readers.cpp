#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "lua_state.hpp"

namespace {

class LuaValueReaders : public lua_test::state_test_t {
protected:
    // Pushes the table of the expression.
    void push(const std::string& expression)
    {
        ASSERT_EQ(luaL_loadstring(L, ("return " + expression).c_str()), LUA_OK);
        ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    }

    template <class reader_t>
    std::string failure(reader_t reader)
    {
        const int top = lua_gettop(L);
        try {
            reader();
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(lua_gettop(L), top);
            return e.what();
        }
        return "no failure";
    }
};

TEST_F(LuaValueReaders, TypeNames)
{
    const std::vector<std::string> names = {"nil",   "boolean",  "light userdata", "number", "string",
                                            "table", "function", "userdata",       "thread"};
    for (int type = 0; type < 9; ++type)
        EXPECT_EQ(ox::lua::type_name(type), names[type]);
    EXPECT_STREQ(ox::lua::type_name(LUA_TNONE), "no value");
    EXPECT_STREQ(ox::lua::type_name(9), "no value");
}

TEST_F(LuaValueReaders, FieldReadersTakeWhatTheyAskFor)
{
    push("{n = 3, f = 2.5, s = 'text', t = {1}, a = {'x', 'y'}}");
    EXPECT_EQ(ox::lua::get_integer_field(L, "n"), 3);
    EXPECT_EQ(ox::lua::get_number_field(L, "f"), 2.5);
    EXPECT_EQ(ox::lua::get_string_field(L, "s"), "text");
    EXPECT_EQ(ox::lua::get_optional_string_field(L, "missing"), std::nullopt);
    EXPECT_EQ(ox::lua::get_string_array_field(L, "a"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(ox::lua::get_optional_string_array_field(L, "missing"), std::nullopt);
    EXPECT_FALSE(ox::lua::get_optional_table_field(L, "missing"));
    EXPECT_EQ(lua_gettop(L), 1);
    ASSERT_TRUE(ox::lua::get_optional_table_field(L, "t"));
    EXPECT_EQ(lua_gettop(L), 2);
    lua_pop(L, 1);
    ox::lua::get_table_field(L, "t");
    EXPECT_TRUE(lua_istable(L, -1));
}

TEST_F(LuaValueReaders, FieldReadersNameWhatTheyFound)
{
    push("{s = 'text', f = 2.5, a = {'x', 5}, t = 'no table'}");
    EXPECT_EQ(failure([&] { ox::lua::get_integer_field(L, "s"); }),
              "Value of invalid type found at key \"s\": Expected number, got string");
    EXPECT_EQ(failure([&] { ox::lua::get_integer_field(L, "f"); }),
              "Value of invalid type found at key \"f\": Expected number, got number");
    EXPECT_EQ(failure([&] { ox::lua::get_number_field(L, "missing"); }),
              "Value of invalid type found at key \"missing\": Expected number, got nil");
    EXPECT_EQ(failure([&] { ox::lua::get_string_field(L, "missing"); }),
              "Value of invalid type found at key \"missing\": Expected string, got nil");
    EXPECT_EQ(failure([&] { ox::lua::get_optional_string_field(L, "f"); }),
              "Value of invalid type found at key \"f\": Expected string, got number");
    EXPECT_EQ(failure([&] { ox::lua::get_table_field(L, "s"); }),
              "Value of invalid type found at key \"s\": Expected table, got string");
    EXPECT_EQ(failure([&] { ox::lua::get_string_array_field(L, "a"); }),
              "Key \"a\": Index 2: Expected string, got number");
    EXPECT_EQ(failure([&] { ox::lua::get_optional_string_array_field(L, "t"); }),
              "Key \"t\": Value of invalid type found at key \"t\": Expected table, got string");
    EXPECT_EQ(failure([&] { ox::lua::get_string_array_field(L, "missing"); }),
              "Value of invalid type found at key \"missing\": Expected table, got nil");
    lua_pushinteger(L, 1);
    EXPECT_EQ(failure([&] { ox::lua::check_top_type(L, LUA_TSTRING); }), "Expected string, got number");
}

TEST_F(LuaValueReaders, ValueTexts)
{
    push("setmetatable({}, {__tostring = function() return 'shown' end})");
    EXPECT_EQ(ox::lua::to_display_string(L, -1), "shown");
    EXPECT_EQ(ox::lua::to_string_meta(L, -1), "shown");
    EXPECT_EQ(ox::lua::to_string(L, -1), "");
    EXPECT_EQ(ox::lua::error_text(L), "shown");
    EXPECT_EQ(lua_gettop(L), 0);

    lua_pushnumber(L, 1.5);
    EXPECT_EQ(ox::lua::to_string(L, -1), "1.5");
    EXPECT_EQ(ox::lua::error_text(L), "1.5");
    lua_newtable(L);
    EXPECT_EQ(ox::lua::error_text(L), "Unexpected error");
    lua_pushboolean(L, 1);
    EXPECT_EQ(ox::lua::to_display_string(L), "true");
    EXPECT_EQ(ox::lua::error_text(L), "Unexpected error");
}

} // namespace
