#pragma once

// The URL object of the request table: the parts of the transaction's
// request URL, its raw twin in wire form, a test of the host against domain
// lists, and the categories and legal URL that the URL check (Tagger)
// gives. The check runs once per transaction, on the first access that
// needs it, and suspends the script until it has completed.

#include <lua.hpp>

namespace ic::context {

// Pushes a new URL object whose functions reach the transaction through the
// weak reference at `reference`.
void push_url_object(lua_State* L, int reference);

} // namespace ic::context
