#pragma once

// Typed readers of Lua values and of table fields, with fixed error texts.

#include <optional>
#include <string>
#include <vector>

#include <lua.hpp>

namespace ox::lua {

// "nil", "boolean", "light userdata", "number", "string", "table",
// "function", "userdata", "thread"; "no value" for any other code.
const char* type_name(int type);

// A copy of a string or number value; the empty string for other values.
std::string to_string(lua_State* L, int index);
// The value's __tostring result, else a string or number (anything else
// raises Lua's "string expected" argument error).
std::string to_string_meta(lua_State* L, int index);
// What tostring() gives for the value.
std::string to_display_string(lua_State* L);
std::string to_display_string(lua_State* L, int index);
// What tostring() gives for the value on top, which is popped, in
// protected mode: for host code that runs outside any script, where a
// failing __tostring must not reach Lua's panic. A failure gives its own
// error text.
std::string to_display_string_protected(lua_State* L);
// The text of the error value on top, which is popped: a string or number
// unchanged, a value with a metatable as tostring() gives it, anything else
// "Unexpected error".
std::string error_text(lua_State* L);

// "Expected <wanted>, got <found>"
std::string type_mismatch_text(int wanted, int found);
// "Value of invalid type found at key \"<key>\": " and the mismatch text
std::string field_type_error_text(const std::string& key, int wanted, int found);
// Throws the bare mismatch text when the value on top is not of the type.
void check_top_type(lua_State* L, int wanted);

// Readers of a field of the table on top (raw get). They throw
// std::runtime_error for a missing or mistyped field and leave the stack as
// they found it, except the table readers on success, which leave the table
// pushed.
lua_Integer get_integer_field(lua_State* L, const std::string& key);
lua_Number get_number_field(lua_State* L, const std::string& key);
bool get_optional_table_field(lua_State* L, const std::string& key);
void get_table_field(lua_State* L, const std::string& key);
std::optional<std::string> get_optional_string_field(lua_State* L, const std::string& key);
std::string get_string_field(lua_State* L, const std::string& key);
std::optional<std::vector<std::string>> get_optional_string_array_field(lua_State* L, const std::string& key);
std::vector<std::string> get_string_array_field(lua_State* L, const std::string& key);

} // namespace ox::lua
