#include "lua/make_const.hpp"

#include "lua/library.hpp"

namespace ox::lua {

namespace {

// Keys beginning with '~' or '_' are hidden. A view is an empty table; its
// metatable (protected: getmetatable gives true) holds the object and the
// metamethods. Tables read through a view come out as views too.
const char make_const_chunk[] = R"lua(
local views = setmetatable({}, { __mode = "k" })
local error, next, rawequal, rawget, tostring, type = error, next, rawequal, rawget, tostring, type
local getmetatable, setmetatable, sub = debug.getmetatable, setmetatable, string.sub

local function hidden(key)
    if type(key) ~= "string" then
        return false
    end
    local first = sub(key, 1, 1)
    return first == "~" or first == "_"
end

local make_const

local function read(obj, key)
    if hidden(key) then
        return nil
    end
    local value = obj[key]
    if type(value) == "table" then
        return make_const(value)
    end
    return value
end

make_const = function(obj)
    if type(obj) ~= "table" then
        return obj
    end
    local view = views[obj]
    if view then
        return view
    end
    view = {}
    local meta = { __metatable = true, object = obj }
    meta.__index = function(_, key)
        return read(obj, key)
    end
    meta.__newindex = function(_, key, value)
        if not hidden(key) then
            local own = getmetatable(obj)
            if own ~= nil and rawget(own, "__newindex") ~= nil then
                obj[key] = value
                return
            end
        end
        error("Table modification is not allowed", 2)
    end
    meta.__len = function()
        return #obj
    end
    meta.__tostring = function()
        return tostring(obj)
    end
    meta.__concat = function(first, second)
        if rawequal(second, view) then
            return first .. obj
        end
        return obj .. second
    end
    meta.__pairs = function(self)
        local function iterate(_, key)
            local found = next(obj, key)
            while found ~= nil and hidden(found) do
                found = next(obj, found)
            end
            if found == nil then
                return nil
            end
            return found, read(obj, found)
        end
        return iterate, self
    end
    setmetatable(view, meta)
    views[obj] = view
    return view
end

return make_const
)lua";

int concat_continuation(lua_State*, int, lua_KContext)
{
    return 1;
}

} // namespace

void register_make_const(lua_State* L)
{
    luaL_loadbufferx(L, make_const_chunk, sizeof make_const_chunk - 1, "make_const", nullptr);
    lua_pcall(L, 0, 1, 0);
    registry_set(L, key::make_const);
}

int make_const(lua_State* L)
{
    registry_get(L, key::make_const);
    lua_insert(L, -2);
    return lua_pcall(L, 1, 1, 0);
}

int store_field(lua_State* L)
{
    lua_settop(L, 3);
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 3);
    lua_rawset(L, 1);
    return 1;
}

int tostring_concat(lua_State* L, int object)
{
    luaL_checkany(L, 1);
    luaL_checkany(L, 2);
    lua_settop(L, 2);
    if (lua_rawequal(L, object, 1)) {
        if (luaL_getmetafield(L, 2, "__concat") != LUA_TNIL) {
            luaL_tolstring(L, object, nullptr);
            lua_pushvalue(L, 2);
            lua_callk(L, 2, 1, 0, concat_continuation);
            return 1;
        }
        luaL_tolstring(L, object, nullptr);
        lua_pushvalue(L, 2);
        lua_concat(L, 2);
        return 1;
    }
    lua_pushvalue(L, 1);
    luaL_tolstring(L, object, nullptr);
    lua_concat(L, 2);
    return 1;
}

int tostring_concat_closure(lua_State* L)
{
    return tostring_concat(L, lua_upvalueindex(1));
}

} // namespace ox::lua
