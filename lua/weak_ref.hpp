#pragma once

// How the objects given to a script reach their transaction: through weak
// references, so that nothing a script keeps can reach a transaction that
// is over. A reference is a light userdata, a plain value that costs the
// collector nothing, which names a slot of the thread's table of
// transactions and the generation the slot was given out in. A transaction
// takes its slot when a script first needs it and frees it when it is
// handed over or goes: from then on its references find the slot empty or
// in another generation.

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include <lua.hpp>

namespace ic::context {

class context_t;

// Creates the metatables of the transaction's userdata in the registry.
void register_metatables(lua_State* L);

// The value of a reference; zero is none.
using weak_ref_t = std::uintptr_t;

// Gives the context a slot; its reference.
weak_ref_t make_weak_ref(context_t& context);
// Frees the slot of the reference (none: nothing happens), and unbinds
// the table bound to it.
void expire_weak_ref(weak_ref_t reference) noexcept;

// Binds a table (its lua_topointer) to the live reference until the
// reference expires: a table whose metatable all transactions share
// reaches its own transaction so, without a table of its own to hold the
// reference. Binding a table again replaces the reference.
void bind_table(weak_ref_t reference, const void* table);
// The reference bound to the table; zero, a reference of no transaction,
// when none is.
weak_ref_t bound_ref(const void* table) noexcept;

inline void push_weak_ref(lua_State* L, weak_ref_t reference)
{
    lua_pushlightuserdata(L, reinterpret_cast<void*>(reference));
}

// The context of the weak reference at index (an upvalue index included);
// raises the script error "trying to use expired pointer" once the
// transaction is over, "invalid transaction reference" for a value that is
// no reference.
context_t& lock_weak_ref(lua_State* L, int index);

// Sets the field `name` of the table on top to a closure of function whose
// one upvalue is the weak reference at `reference`.
void set_weak_closure(lua_State* L, int reference, lua_CFunction function, const char* name);

// A function of a table the host builds for scripts that is made on first
// use, bound to the table's transaction.
struct lazy_function_t {
    const char* name;
    lua_CFunction function;
};

// The first step of the __index handler of such a table, before it reaches
// the transaction (so that reading the function never fails, even once the
// transaction is over): when the key at 2 names one of the functions, sets
// the table at 1 to a closure of it whose one upvalue is the handler's
// first (the weak reference), leaves the closure on top and returns true.
bool index_lazy_function(lua_State* L, std::initializer_list<lazy_function_t> functions);

// Whether the value at index is the string `text` (embedded zeros count).
bool is_key(lua_State* L, int index, std::string_view text);

// Raises a script error: the text alone, without a position.
[[noreturn]] void raise_script_error(lua_State* L, const char* text);

} // namespace ic::context
