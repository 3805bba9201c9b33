#pragma once

// The script's view of a Content-Type: type, subtype, parameters, the raw
// text, and match(patterns), which tests it against media-type patterns
// with "*" wildcards. A new table for each read of a "content_type" key.

#include <lua.hpp>

#include "lua/media_type.hpp"

namespace ic::context {

// Pushes the table of the media type, which is that of the request or the
// response head of the transaction whose weak reference is at `reference`.
void push_media_type_table(lua_State* L, int reference, const media_type_t& media_type, bool response);

} // namespace ic::context
