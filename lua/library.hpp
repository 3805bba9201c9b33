#pragma once

// The conventions through which the host's native code and the policy
// scripts share one Lua interpreter on the event-loop thread: named slots
// in the registry, the coroutine being run, and the host-operation protocol
// (a native function suspends the calling coroutine with a private tag;
// the operation's completion resumes it later from the event loop).

#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include <lua.hpp>

#include "common/util_log.hpp"

namespace ox::lua {

class coroutine_t;

// A named slot of the registry of the main state, which every thread of it
// shares. Scripts see the slot under its name (debug.getregistry()); the
// host reaches a slot of the library through a reference to the interned
// name, made when the library is opened, which spares it hashing and
// comparing the name at every access.
struct registry_key_t {
    const char* name;
    // The place of the key among the library's.
    int index;
};

// Registry keys of the library.
namespace key {
inline constexpr registry_key_t regid_state{"ox.lua.regid_state", 0};
inline constexpr registry_key_t table_getter{"ox.lua.table_getter", 1};
inline constexpr registry_key_t make_const{"ox.lua.make_const", 2};
inline constexpr registry_key_t coroutine_tag{"ox.lua.coroutine_tag", 3};
inline constexpr registry_key_t coroutine{"ox.lua.coroutine", 4};
inline constexpr registry_key_t coroutine_environment{"ox.lua.coroutine_environment", 5};
inline constexpr registry_key_t exception_ptr_metatable{"ox.lua.exception_ptr_metatable", 6};
inline constexpr registry_key_t exit_order{"ox.lua.exit_order", 7};
// Every key, each at its place.
inline constexpr registry_key_t all[] = {
    regid_state, table_getter, make_const, coroutine_tag, coroutine, coroutine_environment, exception_ptr_metatable,
    exit_order};
inline constexpr int count = static_cast<int>(std::size(all));
static_assert([] {
    for (int i = 0; i < count; ++i)
        if (all[i].index != i)
            return false;
    return true;
}());
} // namespace key

// Values the host reaches for every message, each held by a reference in
// the registry's array part: reached by index, without hashing a key.
enum class held_t { transaction_metatable, count };

// Closes the interpreter, then frees what its allocator kept.
struct state_deleter_t {
    void operator()(lua_State* L) const noexcept;
};
using state_ptr_t = std::unique_ptr<lua_State, state_deleter_t>;

// A new interpreter state, allocating through a block_pool_t of its own;
// throws std::runtime_error "Cannot create Lua state: Not enough memory"
// when Lua cannot make one.
state_ptr_t new_state();

// Creates the library's registry slots and has coroutine.running tell the
// host coroutines when a script gets hold of their thread; run once, right
// after the standard libraries are opened.
void open_library(lua_State* L);

// Pushes the registry value of the key.
void registry_get(lua_State* L, const char* key);
void registry_get(lua_State* L, const registry_key_t& key);
// Stores the value on top under the key and pops it.
void registry_set(lua_State* L, const char* key);
void registry_set(lua_State* L, const registry_key_t& key);
// Stores a light userdata under the key.
void registry_set(lua_State* L, const registry_key_t& key, void* pointer);
// Pushes the key's name, for code that reads and writes the same slot: a
// copy of it on the stack is cheaper than reaching the name anew.
void push_key(lua_State* L, const registry_key_t& key);

// Pops the value on top into the slot, or pushes the slot's value (false
// until it was set).
void set_held(lua_State* L, held_t slot);
void push_held(lua_State* L, held_t slot);

// The main state of the interpreter L belongs to (once open_library ran).
lua_State* main_state(lua_State* L);

inline void push_string(lua_State* L, const std::string& s)
{
    lua_pushlstring(L, s.data(), s.size());
}

// Loads a chunk (source or precompiled) without running it; Lua's status.
int load_chunk(lua_State* L, const char* name, const std::string& text);

// The coroutine the host resumes, null when none runs. The host reads it
// here, at every resumption and in every host operation, rather than from
// the registry slot under key::coroutine; the slot is set alongside, for a
// script that looks there.
coroutine_t* running_coroutine(lua_State* L);
// Makes `coroutine` the running one; the one that ran before.
coroutine_t* exchange_running_coroutine(lua_State* L, coroutine_t* coroutine);

// The coroutine being resumed by the host; raises the Lua error "No
// coroutine is running" when there is none.
coroutine_t* current_coroutine(lua_State* L);

// Writes a line of the script through the ox::util log function, after the
// log prefix of the host coroutine that runs, if any: the lines of a hook
// and of the tasks it started carry the hook's.
void log(lua_State* L, ox::util::log_level_t level, const std::string& text);

// Suspends the calling coroutine for a host operation: yields the private
// tag with the continuation k (null: the function returns the values given
// to the resumption). Used as `return yield(...)`: from a C function it
// unwinds to the resumption and does not come back.
int yield(lua_State* L, lua_KContext context, lua_KFunction k);

// Constructs a T in a new full userdata pushed onto L. Lua aligns userdata
// memory for its largest scalar type.
template <class T, class... args_t>
T* new_userdata(lua_State* L, args_t&&... args)
{
    static_assert(alignof(T) <= alignof(lua_Number), "Lua does not align userdata for this type");
    void* memory = lua_newuserdata(L, sizeof(T));
    return new (memory) T(std::forward<args_t>(args)...);
}

} // namespace ox::lua
