#pragma once

// A Lua error value that carries a native failure: a full userdata holding
// one std::exception_ptr. A host operation raises its failure as such a
// value, and the coroutine's owner takes the same exception back out, so a
// native failure crosses a script unchanged.

#include <exception>

#include <lua.hpp>

namespace ox::lua {

// Creates the metatable "ox.lua.exception_ptr_metatable" in the registry.
void register_exception_ptr_metatable(lua_State* L);

// Pushes a new exception userdata holding e.
void push_exception_ptr(lua_State* L, std::exception_ptr e);

// The exception held by the value at index; null when the value is no
// exception userdata.
std::exception_ptr* to_exception_ptr(lua_State* L, int index);

// __gc: releases the exception (a second call finds it released).
int exception_ptr_gc(lua_State* L);
// __tostring: the exception's what() text, "Unexpected exception" for one
// that is no std::exception.
int exception_ptr_tostring(lua_State* L);

} // namespace ox::lua
