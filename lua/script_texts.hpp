#pragma once

// The texts with which the transaction's script functions report what they
// cannot use: warnings for problems that do not stop a script (a category
// name nobody knows, a bad media-type pattern, a list entry of the wrong
// type), and the type texts of argument errors.

#include <string>

#include <lua.hpp>

namespace ic::context {

// "<short source>:<line>: " of the Lua function that called the running
// host function; empty when there is none or it has no current line.
std::string location_prefix(lua_State* L);

// "<expected> expected, got <actual>", or "<expected> or <second> expected,
// got <actual>", with Lua's type names.
std::string type_text(int expected, int actual);
std::string type_text(int expected, int second, int actual);

// "value of invalid type found at key '<key>': " and the type text of a
// string or a table expected.
std::string key_type_text(const char* key, int actual);

// Writes the location prefix and the text at Warning level through the
// ox::util log function, when its level lets Warnings through.
void warn(lua_State* L, const std::string& text);

// Raises Lua's argument error with the type text when the argument is no
// table.
void check_table_argument(lua_State* L, int argument);

} // namespace ic::context
