#include "lua/value_readers.hpp"

#include <stdexcept>

#include "lua/protect.hpp"

namespace ox::lua {

namespace {

// Pushes the raw field of the table on top; its Lua type.
int push_field(lua_State* L, const std::string& key)
{
    lua_pushlstring(L, key.data(), key.size());
    return lua_rawget(L, -2);
}

[[noreturn]] void throw_field_error(lua_State* L, const std::string& key, int wanted, int found)
{
    lua_pop(L, 1);
    throw std::runtime_error(field_type_error_text(key, wanted, found));
}

std::string copy_string(lua_State* L, int index)
{
    std::size_t length = 0;
    const char* text = lua_tolstring(L, index, &length);
    return std::string(text, length);
}

// The elements 1, 2, ... of the table on top, up to the first nil.
std::vector<std::string> read_string_array(lua_State* L)
{
    std::vector<std::string> items;
    for (lua_Integer i = 1;; ++i) {
        const int type = lua_geti(L, -1, i);
        if (type == LUA_TNIL) {
            lua_pop(L, 1);
            return items;
        }
        if (type != LUA_TSTRING) {
            lua_pop(L, 1);
            throw std::runtime_error("Index " + std::to_string(i) + ": " + type_mismatch_text(LUA_TSTRING, type));
        }
        items.push_back(copy_string(L, -1));
        lua_pop(L, 1);
    }
}

std::optional<std::vector<std::string>> read_string_array_field(lua_State* L, const std::string& key, bool required)
{
    const int type = push_field(L, key);
    if (type == LUA_TNIL) {
        lua_pop(L, 1);
        if (!required)
            return std::nullopt;
        throw std::runtime_error(field_type_error_text(key, LUA_TTABLE, type));
    }
    try {
        if (type != LUA_TTABLE)
            throw std::runtime_error(field_type_error_text(key, LUA_TTABLE, type));
        auto items = read_string_array(L);
        lua_pop(L, 1);
        return items;
    } catch (const std::runtime_error& e) {
        lua_pop(L, 1);
        throw std::runtime_error("Key \"" + key + "\": " + e.what());
    }
}

} // namespace

const char* type_name(int type)
{
    switch (type) {
    case LUA_TNIL:
        return "nil";
    case LUA_TBOOLEAN:
        return "boolean";
    case LUA_TLIGHTUSERDATA:
        return "light userdata";
    case LUA_TNUMBER:
        return "number";
    case LUA_TSTRING:
        return "string";
    case LUA_TTABLE:
        return "table";
    case LUA_TFUNCTION:
        return "function";
    case LUA_TUSERDATA:
        return "userdata";
    case LUA_TTHREAD:
        return "thread";
    default:
        return "no value";
    }
}

std::string to_string(lua_State* L, int index)
{
    std::size_t length = 0;
    const char* text = lua_tolstring(L, index, &length);
    return text != nullptr ? std::string(text, length) : std::string();
}

std::string to_string_meta(lua_State* L, int index)
{
    luaL_checkany(L, index);
    if (luaL_callmeta(L, index, "__tostring")) {
        std::string text = to_string(L, -1);
        lua_pop(L, 1);
        return text;
    }
    std::size_t length = 0;
    const char* text = luaL_checklstring(L, index, &length);
    return std::string(text, length);
}

std::string to_display_string(lua_State* L)
{
    return to_display_string(L, -1);
}

std::string to_display_string(lua_State* L, int index)
{
    std::size_t length = 0;
    const char* text = luaL_tolstring(L, index, &length);
    std::string copy(text, length);
    lua_pop(L, 1);
    return copy;
}

std::string to_display_string_protected(lua_State* L)
{
    lua_pushcfunction(L, [](lua_State* L) {
        luaL_tolstring(L, 1, nullptr);
        return 1;
    });
    lua_insert(L, -2);
    const int status = lua_pcall(L, 1, 1, 0);
    rethrow_exit_order(L);
    if (status != LUA_OK)
        return error_text(L);
    std::string text = copy_string(L, -1);
    lua_pop(L, 1);
    return text;
}

std::string error_text(lua_State* L)
{
    std::string text;
    const int type = lua_type(L, -1);
    if (type == LUA_TSTRING || type == LUA_TNUMBER)
        text = copy_string(L, -1);
    else if (lua_getmetatable(L, -1)) {
        lua_pop(L, 1);
        text = to_display_string(L, -1);
    } else
        text = "Unexpected error";
    lua_pop(L, 1);
    return text;
}

std::string type_mismatch_text(int wanted, int found)
{
    return std::string("Expected ") + type_name(wanted) + ", got " + type_name(found);
}

std::string field_type_error_text(const std::string& key, int wanted, int found)
{
    return "Value of invalid type found at key \"" + key + "\": " + type_mismatch_text(wanted, found);
}

void check_top_type(lua_State* L, int wanted)
{
    const int found = lua_type(L, -1);
    if (found != wanted)
        throw std::runtime_error(type_mismatch_text(wanted, found));
}

lua_Integer get_integer_field(lua_State* L, const std::string& key)
{
    const int type = push_field(L, key);
    if (!lua_isinteger(L, -1))
        throw_field_error(L, key, LUA_TNUMBER, type);
    const lua_Integer value = lua_tointeger(L, -1);
    lua_pop(L, 1);
    return value;
}

lua_Number get_number_field(lua_State* L, const std::string& key)
{
    const int type = push_field(L, key);
    if (!lua_isnumber(L, -1))
        throw_field_error(L, key, LUA_TNUMBER, type);
    const lua_Number value = lua_tonumber(L, -1);
    lua_pop(L, 1);
    return value;
}

bool get_optional_table_field(lua_State* L, const std::string& key)
{
    const int type = push_field(L, key);
    if (type == LUA_TTABLE)
        return true;
    if (type == LUA_TNIL) {
        lua_pop(L, 1);
        return false;
    }
    throw_field_error(L, key, LUA_TTABLE, type);
}

void get_table_field(lua_State* L, const std::string& key)
{
    const int type = push_field(L, key);
    if (type != LUA_TTABLE)
        throw_field_error(L, key, LUA_TTABLE, type);
}

std::optional<std::string> get_optional_string_field(lua_State* L, const std::string& key)
{
    const int type = push_field(L, key);
    if (type == LUA_TNIL) {
        lua_pop(L, 1);
        return std::nullopt;
    }
    if (type != LUA_TSTRING)
        throw_field_error(L, key, LUA_TSTRING, type);
    std::string value = copy_string(L, -1);
    lua_pop(L, 1);
    return value;
}

std::string get_string_field(lua_State* L, const std::string& key)
{
    const int type = push_field(L, key);
    if (type != LUA_TSTRING)
        throw_field_error(L, key, LUA_TSTRING, type);
    std::string value = copy_string(L, -1);
    lua_pop(L, 1);
    return value;
}

std::optional<std::vector<std::string>> get_optional_string_array_field(lua_State* L, const std::string& key)
{
    return read_string_array_field(L, key, false);
}

std::vector<std::string> get_string_array_field(lua_State* L, const std::string& key)
{
    return *read_string_array_field(L, key, true);
}

} // namespace ox::lua
