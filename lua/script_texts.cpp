#include "lua/script_texts.hpp"

#include "common/util_log.hpp"
#include "lua/library.hpp"

namespace ic::context {

namespace {

constexpr ox::util::log_level_t warning_level = 3;

} // namespace

std::string location_prefix(lua_State* L)
{
    lua_Debug caller;
    if (lua_getstack(L, 1, &caller) == 0)
        return {};
    lua_getinfo(L, "Sl", &caller);
    if (caller.currentline <= 0)
        return {};
    return std::string(caller.short_src) + ":" + std::to_string(caller.currentline) + ": ";
}

std::string type_text(int expected, int actual)
{
    return std::string(lua_typename(nullptr, expected)) + " expected, got " + lua_typename(nullptr, actual);
}

std::string type_text(int expected, int second, int actual)
{
    return std::string(lua_typename(nullptr, expected)) + " or " + lua_typename(nullptr, second) + " expected, got " +
           lua_typename(nullptr, actual);
}

std::string key_type_text(const char* key, int actual)
{
    return std::string("value of invalid type found at key '") + key +
           "': " + type_text(LUA_TSTRING, LUA_TTABLE, actual);
}

void warn(lua_State* L, const std::string& text)
{
    if (ox::util::get_log_level() <= warning_level)
        ox::lua::log(L, warning_level, location_prefix(L) + text);
}

void check_table_argument(lua_State* L, int argument)
{
    // Formatted by Lua: nothing here may throw a C++ exception.
    const int type = lua_type(L, argument);
    if (type != LUA_TTABLE)
        luaL_argerror(L, argument,
                      lua_pushfstring(L, "%s expected, got %s", lua_typename(L, LUA_TTABLE), lua_typename(L, type)));
}

} // namespace ic::context
