#include "lua/exception_ptr.hpp"

#include <utility>

#include "common/exception_ptr_text.hpp"
#include "lua/library.hpp"
#include "lua/protect.hpp"

namespace ox::lua {

void register_exception_ptr_metatable(lua_State* L)
{
    lua_createtable(L, 0, 3);
    lua_pushcfunction(L, exception_ptr_gc);
    lua_setfield(L, -2, "__gc");
    lua_pushcfunction(L, exception_ptr_tostring);
    lua_setfield(L, -2, "__tostring");
    lua_pushstring(L, key::exception_ptr_metatable.name);
    lua_setfield(L, -2, "__name");
    registry_set(L, key::exception_ptr_metatable);
}

void push_exception_ptr(lua_State* L, std::exception_ptr e)
{
    new_userdata<std::exception_ptr>(L, std::move(e));
    registry_get(L, key::exception_ptr_metatable);
    lua_setmetatable(L, -2);
}

std::exception_ptr* to_exception_ptr(lua_State* L, int index)
{
    return static_cast<std::exception_ptr*>(luaL_testudata(L, index, key::exception_ptr_metatable.name));
}

int exception_ptr_gc(lua_State* L)
{
    // The metamethod is reachable from scripts: it may meet other values,
    // and the same value twice. The userdata's memory goes with Lua; an
    // empty pointer owns nothing.
    if (std::exception_ptr* e = to_exception_ptr(L, 1))
        *e = nullptr;
    return 0;
}

int exception_ptr_tostring(lua_State* L)
{
    auto* e = static_cast<std::exception_ptr*>(luaL_checkudata(L, 1, key::exception_ptr_metatable.name));
    return protect(L, [&] {
        push_string(L, ox::util::exception_ptr_text(*e));
        return 1;
    });
}

} // namespace ox::lua
