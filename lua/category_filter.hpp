#pragma once

// The category filters of the URL object and the body table: lists of URL
// category or threat class names, read from tables a script passes, as bit
// sets. Names nobody knows and entries of the wrong type are warnings and
// count for nothing.

#include <cstdint>
#include <string>

#include <lua.hpp>

namespace ic::context {

struct category_names_t {
    // The bit of a name; 0 for a name outside the list.
    std::uint32_t (*to_bit)(const std::string& name);
    // Warning texts: before an unknown name, and for an entry that is no
    // string.
    const char* unknown;
    const char* not_string;
};

extern const category_names_t url_category_names;
extern const category_names_t threat_category_names;

// The OR of the bits of the entries 1 to #list of the table at `list`
// (read as Lua reads them, metamethods included).
std::uint32_t list_mask(lua_State* L, int list, const category_names_t& names);

// The bits filter[key] names for the filter table at `filter`: a list of
// names or one name; `fallback` when the key is nil or of another type.
std::uint32_t filter_mask(lua_State* L, int filter, const char* key, std::uint32_t fallback,
                          const category_names_t& names);

} // namespace ic::context
