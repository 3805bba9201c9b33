#pragma once

// How the objects given to a script reach their transaction: through weak
// references bound to the transaction's lifetime token, so that nothing a
// script keeps can reach a transaction that is over.

#include <initializer_list>
#include <memory>
#include <string_view>

#include <lua.hpp>

namespace ic::context {

inline constexpr const char* weak_ptr_metatable = "ic.context.weak_ptr_metatable";

// Creates the metatables of the transaction's userdata in the registry.
void register_metatables(lua_State* L);

// The type of the object a reference points to, by the address of a
// variable of its own.
using type_tag_t = const void*;
template <class T>
inline constexpr char type_tag_of = 0;

struct weak_ref_t {
    std::weak_ptr<void> pointer;
    type_tag_t type;
};

// Pushes a weak reference to object that expires with token.
void push_weak_ref(lua_State* L, const std::shared_ptr<int>& token, void* object, type_tag_t type);

template <class T>
void push_weak_ref(lua_State* L, const std::shared_ptr<int>& token, T* object)
{
    push_weak_ref(L, token, static_cast<void*>(object), &type_tag_of<T>);
}

// The object of the weak reference at index (an upvalue index included);
// raises the script error "trying to use expired pointer" once the
// transaction is over.
void* lock_weak_ref(lua_State* L, int index, type_tag_t type);

template <class T>
T& lock_weak_ref(lua_State* L, int index)
{
    return *static_cast<T*>(lock_weak_ref(L, index, &type_tag_of<T>));
}

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
