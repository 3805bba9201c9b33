#pragma once

// The module "orvex.lookup": lookup(spec, params) and check(value, spec,
// params) ask the suite's directory service, through the lookup engine and
// its cache, for the strings a lookup yields or whether a value is among
// them. Both suspend the calling script until the answer arrives. The
// module reaches the engine only through ox::lua::lookup::delegate_t.

#include <string>
#include <unordered_map>
#include <utility>

#include <lua.hpp>

#include "clients/lookup_delegate.hpp"

namespace ox::lua::lookup {

inline constexpr const char* delegate_key = "ox.lua.lookup.delegate";

// Names the delegate every script call uses; it outlives the state. Runs
// before any script calls the module.
void set_delegate(lua_State* L, delegate_t* delegate);
delegate_t* get_delegate(lua_State* L);

// Registers the module (a read-only view) in package.loaded.
void open(lua_State* L);

// The kind and the tag of the lookup spec at `argument`: its text split at the
// first at sign.
std::pair<std::string, std::string> split_spec(lua_State* L, int argument);
// The params table at `argument` (none when the call has fewer
// arguments), keys lower-cased.
std::unordered_map<std::string, std::string> read_params(lua_State* L, int argument);
// Continuation of both calls: raises the exception value on top, else
// returns it.
int raise_if_exception(lua_State* L, int status, lua_KContext context);

} // namespace ox::lua::lookup
