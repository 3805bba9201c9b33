#pragma once

// The module "orvex.regex": Unicode regular expressions for scripts.
// match(patterns, text [, flags]) tests whether the whole text matches,
// search(patterns, text [, flags]) whether a pattern occurs in it; patterns
// is one pattern or an array of them, and the answer is true as soon as one
// does. Flag bit 0 (ignore_case) makes the patterns case-insensitive.
// Texts and patterns are UTF-8; matching runs on UTF-16 through ICU.

#include <lua.hpp>

namespace ox::lua::regex {

// Registers the module in package.loaded.
void open(lua_State* L);

// The module's functions; native callers may call match directly with the
// three values on the stack in that order.
int match(lua_State* L);
int search(lua_State* L);

} // namespace ox::lua::regex
