#pragma once

// The native side of a lua_CFunction runs through `protect`. Lua compiled
// as C++ catches every exception inside lua_pcall and lua_resume and makes
// it a Lua error, and a C++ exception that left a lua_CFunction would be
// lost there. `protect` catches what the native code throws before Lua sees
// it:
//
// - a std::exception becomes a Lua error whose value carries it (an
//   exception userdata), which a script may catch with pcall and which the
//   coroutine's owner takes back out unchanged;
// - an exit order (a thrown ox::ErrorCode, or ic::need_restart_t) must end
//   the process, whatever the script does. It is raised as such an error
//   too, so that Lua unwinds, and parked in the registry: the C++ code that
//   resumed or called into Lua throws it again as soon as Lua has returned
//   (`rethrow_exit_order`), even when the script caught the error.
//
// Lua's own errors and yields pass through untouched.

#include <type_traits>

#include <lua.hpp>

namespace ox::lua {

// Runs body(ctx) and returns its result; raises what it throws as above.
int protect_call(lua_State* L, int (*body)(void*), void* context);

template <class body_t>
int protect(lua_State* L, body_t&& body)
{
    using function_t = std::remove_reference_t<body_t>;
    return protect_call(
        L, [](void* context) { return (*static_cast<function_t*>(context))(); }, &body);
}

// True when an exit order is parked.
bool exit_order_pending(lua_State* L);
// Throws the parked exit order, if any, and clears the slot.
void rethrow_exit_order(lua_State* L);

} // namespace ox::lua
