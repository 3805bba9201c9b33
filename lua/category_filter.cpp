#include "lua/category_filter.hpp"

#include "icap/verdicts/category_bits.hpp"
#include "lua/script_texts.hpp"
#include "lua/value_readers.hpp"

namespace ic::context {

const category_names_t url_category_names = {url_category_name_to_bit,
                                             "unknown URL category: ", "URL category should be string"};
const category_names_t threat_category_names = {threat_category_name_to_bit,
                                                "unknown threat category: ", "threat category should be string"};

namespace {

// The bit of the string at index, with a warning for a name nobody knows.
std::uint32_t name_bit(lua_State* L, int index, const category_names_t& names)
{
    const std::string name = ox::lua::to_string(L, index);
    const std::uint32_t bit = names.to_bit(name);
    if (bit == 0)
        warn(L, names.unknown + name);
    return bit;
}

} // namespace

std::uint32_t list_mask(lua_State* L, int list, const category_names_t& names)
{
    list = lua_absindex(L, list);
    std::uint32_t mask = 0;
    const lua_Integer length = luaL_len(L, list);
    for (lua_Integer i = 1; i <= length; ++i) {
        if (lua_geti(L, list, i) == LUA_TSTRING)
            mask |= name_bit(L, -1, names);
        else
            warn(L, names.not_string);
        lua_pop(L, 1);
    }
    return mask;
}

std::uint32_t filter_mask(lua_State* L, int filter, const char* key, std::uint32_t fallback,
                          const category_names_t& names)
{
    std::uint32_t mask = fallback;
    switch (const int type = lua_getfield(L, filter, key)) {
    case LUA_TTABLE:
        mask = list_mask(L, -1, names);
        break;
    case LUA_TSTRING:
        mask = name_bit(L, -1, names);
        break;
    case LUA_TNIL:
        break;
    default:
        warn(L, key_type_text(key, type));
        break;
    }
    lua_pop(L, 1);
    return mask;
}

} // namespace ic::context
