#include "lua/library.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>

#include "lua/block_pool.hpp"
#include "lua/coroutine.hpp"
#include "lua/exception_ptr.hpp"
#include "lua/make_const.hpp"

namespace ox::lua {

namespace {

const char table_getter_chunk[] = "local table, key = ...\nreturn table[key]\n";

// What the library keeps of an interpreter outside its registry, in a
// userdata the registry holds. Every thread made after the library was
// opened starts with a copy of the main state's extra space, which points
// here: any thread finds it without a lookup.
struct library_state_t {
    lua_State* main;
    // Registry references to the names of the library's slots.
    int names[key::count];
    // Registry references to the held values.
    int held[static_cast<int>(held_t::count)];
    // The coroutine the host resumes, null outside every resumption.
    coroutine_t* running = nullptr;
};

library_state_t& library_state(lua_State* L)
{
    return **static_cast<library_state_t**>(lua_getextraspace(L));
}

// What a state of the auxiliary library does on an error outside any
// protected call, before Lua aborts.
int panic(lua_State* L)
{
    std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n", lua_tostring(L, -1));
    std::fflush(stderr);
    return 0;
}

} // namespace

void state_deleter_t::operator()(lua_State* L) const noexcept
{
    void* pool = nullptr;
    const lua_Alloc allocate = lua_getallocf(L, &pool);
    lua_close(L);
    if (allocate == block_pool_t::allocate)
        delete static_cast<block_pool_t*>(pool);
}

state_ptr_t new_state()
{
    auto pool = std::make_unique<block_pool_t>();
    lua_State* L = lua_newstate(block_pool_t::allocate, pool.get());
    if (L == nullptr)
        throw std::runtime_error("Cannot create Lua state: Not enough memory");
    pool.release();
    lua_atpanic(L, panic);
    return state_ptr_t(L);
}

void open_library(lua_State* L)
{
    // Plain values only: the memory goes with the interpreter, and no
    // finalizer is needed.
    auto* state = new_userdata<library_state_t>(L);
    luaL_ref(L, LUA_REGISTRYINDEX);
    state->main = L;
    for (const registry_key_t& slot : key::all) {
        lua_pushstring(L, slot.name);
        state->names[slot.index] = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    for (int& held : state->held) {
        lua_pushboolean(L, 0);
        held = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    *static_cast<library_state_t**>(lua_getextraspace(L)) = state;

    lua_pushlightuserdata(L, L);
    registry_set(L, key::regid_state);

    luaL_loadbufferx(L, table_getter_chunk, sizeof table_getter_chunk - 1, "table_getter", nullptr);
    registry_set(L, key::table_getter);

    register_make_const(L);

    lua_newtable(L);
    registry_set(L, key::coroutine_tag);

    lua_pushlightuserdata(L, nullptr);
    registry_set(L, key::coroutine);

    lua_newtable(L);
    registry_set(L, key::coroutine_environment);

    register_exception_ptr_metatable(L);
    watch_coroutine_running(L);
}

void registry_get(lua_State* L, const char* key)
{
    lua_pushstring(L, key);
    lua_rawget(L, LUA_REGISTRYINDEX);
}

void registry_set(lua_State* L, const char* key)
{
    lua_pushstring(L, key);
    lua_insert(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

void push_key(lua_State* L, const registry_key_t& key)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, library_state(L).names[key.index]);
}

void registry_get(lua_State* L, const registry_key_t& key)
{
    push_key(L, key);
    lua_rawget(L, LUA_REGISTRYINDEX);
}

void registry_set(lua_State* L, const registry_key_t& key)
{
    push_key(L, key);
    lua_insert(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

void registry_set(lua_State* L, const registry_key_t& key, void* pointer)
{
    push_key(L, key);
    lua_pushlightuserdata(L, pointer);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

void set_held(lua_State* L, held_t slot)
{
    lua_rawseti(L, LUA_REGISTRYINDEX, library_state(L).held[static_cast<int>(slot)]);
}

void push_held(lua_State* L, held_t slot)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, library_state(L).held[static_cast<int>(slot)]);
}

lua_State* main_state(lua_State* L)
{
    return library_state(L).main;
}

int load_chunk(lua_State* L, const char* name, const std::string& text)
{
    return luaL_loadbufferx(L, text.data(), text.size(), name, nullptr);
}

coroutine_t* running_coroutine(lua_State* L)
{
    return library_state(L).running;
}

coroutine_t* exchange_running_coroutine(lua_State* L, coroutine_t* coroutine)
{
    // The registry slot names it too, for a script that looks there.
    registry_set(L, key::coroutine, coroutine);
    return std::exchange(library_state(L).running, coroutine);
}

coroutine_t* current_coroutine(lua_State* L)
{
    coroutine_t* const coroutine = running_coroutine(L);
    if (coroutine == nullptr)
        luaL_error(L, "No coroutine is running");
    return coroutine;
}

void log(lua_State* L, ox::util::log_level_t level, const std::string& text)
{
    const coroutine_t* const coroutine = running_coroutine(L);
    if (coroutine == nullptr) {
        ox::util::log(level, text);
        return;
    }
    ox::util::log(level, coroutine->log_prefix() + text);
}

int yield(lua_State* L, lua_KContext context, lua_KFunction k)
{
    registry_get(L, key::coroutine_tag);
    return lua_yieldk(L, 1, context, k);
}

} // namespace ox::lua
