#pragma once

// The script's view of a Content-Type: type, subtype, parameters, the raw
// text, and match(patterns), which tests it against media-type patterns
// with "*" wildcards. A new table for each read of a "content_type" key.

#include <memory>

#include <lua.hpp>

#include "lua/media_type.hpp"

namespace ic::context {

// Pushes the table of the media type, which reaches its object through a
// weak reference that expires with token.
void push_media_type_table(lua_State* L, const std::shared_ptr<int>& token, const media_type_t& media_type);

} // namespace ic::context
