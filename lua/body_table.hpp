#pragma once

// The body table of the transaction: the body scan (Vetter) and the threats
// it found, filtered by threat class, the scan error Vetter reported, and
// the content type of the encapsulated message. The scan runs once per
// transaction, on the first call that needs it, and suspends the script
// until it is over; the body is fetched only then.

#include <lua.hpp>

namespace ic::context {

inline constexpr const char* summary_view_metatable = "ic.context.summary_view_metatable";

// Pushes a new body table whose functions reach the transaction through the
// weak reference at `reference`; `transaction` is the index of the
// transaction table, whose request or response table gives the content
// type.
void push_body_table(lua_State* L, int reference, int transaction);

// __gc of the summary view that threats() iterates with.
int summary_view_gc(lua_State* L);

} // namespace ic::context
