#include "lua/lookup_module.hpp"

#include <exception>
#include <locale>
#include <stdexcept>
#include <vector>

#include "common/exception_ptr_text.hpp"
#include "lua/coroutine.hpp"
#include "lua/exception_ptr.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "lua/protect.hpp"
#include "lua/value_readers.hpp"

namespace ox::lua::lookup {

namespace {

// Pushes the failure as an exception value, its text after the prefix.
void push_failure(lua_State* L, const char* prefix, const std::exception_ptr& failure)
{
    push_exception_ptr(L, std::make_exception_ptr(std::runtime_error(prefix + ox::util::exception_ptr_text(failure))));
}

// Completions: what the continuation returns or raises goes on top of the
// waiting thread, then its coroutine goes on.
void lookup_done(lua_State* L, coroutine_t* coroutine, const std::exception_ptr& failure,
                 const std::vector<std::string>& data)
{
    if (failure) {
        push_failure(L, "Lookup: ", failure);
    } else {
        lua_createtable(L, static_cast<int>(data.size()), 0);
        lua_Integer index = 0;
        for (const std::string& item : data) {
            push_string(L, item);
            lua_rawseti(L, -2, ++index);
        }
    }
    coroutine->resume(0);
}

void check_done(lua_State* L, coroutine_t* coroutine, const std::exception_ptr& failure, bool result)
{
    if (failure)
        push_failure(L, "Check: ", failure);
    else
        lua_pushboolean(L, result);
    coroutine->resume(0);
}

// lookup(spec, params): the strings the lookup yields.
int lookup(lua_State* L)
{
    protect(L, [&] {
        auto [kind, tag] = split_spec(L, 1);
        auto params = read_params(L, 2);
        coroutine_t* coroutine = current_coroutine(L);
        get_delegate(L)->lookup(
            std::move(kind), std::move(tag), std::move(params),
            coroutine->wrap([L, coroutine](std::exception_ptr failure, std::vector<std::string> data) {
                lookup_done(L, coroutine, failure, data);
            }));
        return 0;
    });
    return yield(L, 0, raise_if_exception);
}

// check(value, spec, params): whether the lookup yields the value.
int check(lua_State* L)
{
    if (lua_type(L, 1) != LUA_TSTRING) {
        if (!luaL_callmeta(L, 1, "__tostring")) {
            protect(L, [&] {
                push_exception_ptr(L, std::make_exception_ptr(std::runtime_error(
                                          "Check: first arg must be a string or have __tostring metamethod")));
                return lua_error(L);
            });
        }
        lua_replace(L, 1);
    }
    protect(L, [&] {
        std::string value = to_string(L, 1);
        auto [kind, tag] = split_spec(L, 2);
        auto params = read_params(L, 3);
        coroutine_t* coroutine = current_coroutine(L);
        get_delegate(L)->check(std::move(kind), std::move(tag), std::move(value), std::move(params),
                               coroutine->wrap([L, coroutine](std::exception_ptr failure, bool result) {
                                   check_done(L, coroutine, failure, result);
                               }));
        return 0;
    });
    return yield(L, 0, raise_if_exception);
}

int load_module(lua_State* L)
{
    lua_createtable(L, 0, 2);
    lua_pushcfunction(L, lookup);
    lua_setfield(L, -2, "lookup");
    lua_pushcfunction(L, check);
    lua_setfield(L, -2, "check");
    make_const(L);
    return 1;
}

} // namespace

void set_delegate(lua_State* L, delegate_t* delegate)
{
    lua_pushlightuserdata(L, delegate);
    registry_set(L, delegate_key);
}

delegate_t* get_delegate(lua_State* L)
{
    registry_get(L, delegate_key);
    auto* delegate = static_cast<delegate_t*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    if (delegate == nullptr)
        luaL_error(L, "orvex.lookup has no delegate");
    return delegate;
}

void open(lua_State* L)
{
    luaL_requiref(L, "orvex.lookup", load_module, 0);
    lua_pop(L, 1);
}

std::pair<std::string, std::string> split_spec(lua_State* L, int argument)
{
    const std::string spec = to_string_meta(L, argument);
    const auto at = spec.find('@');
    if (at == std::string::npos)
        luaL_argerror(L, argument, "at character not found");
    return {spec.substr(0, at), spec.substr(at + 1)};
}

std::unordered_map<std::string, std::string> read_params(lua_State* L, int argument)
{
    std::unordered_map<std::string, std::string> params;
    if (lua_gettop(L) < argument)
        return params;
    luaL_checktype(L, argument, LUA_TTABLE);
    const std::locale locale;
    lua_pushnil(L);
    while (lua_next(L, argument) != 0) {
        if (lua_type(L, -2) != LUA_TSTRING || lua_type(L, -1) != LUA_TSTRING)
            luaL_argerror(L, argument, "all keys and values must be strings");
        std::string key = to_string(L, -2);
        for (char& c : key)
            c = std::tolower(c, locale);
        params.emplace(std::move(key), to_string(L, -1));
        lua_pop(L, 1);
    }
    return params;
}

int raise_if_exception(lua_State* L, int, lua_KContext)
{
    if (lua_type(L, -1) == LUA_TUSERDATA)
        return lua_error(L);
    return 1;
}

} // namespace ox::lua::lookup
