#pragma once

// The module "coroutine.make": coroutines for scripts that stay transparent
// to the host's suspensions. A host operation suspends the coroutine the
// host runs (the hook or a future); inside a coroutine of the standard
// library its yield would reach the script's own coroutine.resume instead.
// The coroutines made here mark their own traffic with a tag and pass every
// other suspension outward.

#include <lua.hpp>

namespace ox::lua {

// Registers the module in package.loaded.
void open_coroutine_make(lua_State* L);

} // namespace ox::lua
