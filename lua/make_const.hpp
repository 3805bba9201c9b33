#pragma once

// Read-only views of Lua tables, through which every module and settings
// table reaches the scripts, and two helpers for the tables the host builds
// for scripts.

#include <lua.hpp>

namespace ox::lua {

// Loads the view function and stores it as "ox.lua.make_const".
void register_make_const(lua_State* L);

// Replaces the table on top by its read-only view (one view per table, as
// long as the table lives); Lua's status of the call.
int make_const(lua_State* L);

// For __index handlers that computed a value: with the table at 1, the key
// at 2 and the value at 3, stores the value raw in the table, so that later
// reads find it without the handler, and returns it as the one result.
int store_field(lua_State* L);

// __concat for a value that has __tostring: the object is the operand at
// `object` (1 or 2, or an upvalue index); the other operand is
// concatenated with the object's text.
int tostring_concat(lua_State* L, int object);
// The same with the object in the first upvalue.
int tostring_concat_closure(lua_State* L);

} // namespace ox::lua
