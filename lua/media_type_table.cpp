#include "lua/media_type_table.hpp"

#include <stdexcept>
#include <string>

#include "common/what.hpp"
#include "lua/context.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "lua/protect.hpp"
#include "lua/script_texts.hpp"
#include "lua/value_readers.hpp"
#include "lua/weak_ref.hpp"

namespace ic::context {

namespace {

// The media type of the head the second upvalue names (true: the response
// head), reached through the weak reference of the first.
const media_type_t& this_media_type(lua_State* L)
{
    context_t& context = lock_weak_ref(L, lua_upvalueindex(1));
    return lua_toboolean(L, lua_upvalueindex(2)) ? context.response_content_type() : context.request_content_type();
}

// match(patterns): whether one of the patterns names the media type. A bad
// pattern or an entry that is no string is a warning, and the next one is
// tried.
int content_type_match(lua_State* L)
{
    const media_type_t& media_type = this_media_type(L);
    check_table_argument(L, 1);
    return ox::lua::protect(L, [&] {
        bool found = false;
        const lua_Integer length = luaL_len(L, 1);
        for (lua_Integer i = 1; i <= length && !found; ++i) {
            if (lua_geti(L, 1, i) == LUA_TSTRING) {
                const std::string pattern = ox::lua::to_string(L, -1);
                try {
                    found = media_type.matches(pattern);
                } catch (const std::runtime_error& e) {
                    warn(L, cf_what(e));
                }
            } else {
                warn(L, "media type should be string");
            }
            lua_pop(L, 1);
        }
        lua_pushboolean(L, found);
        return 1;
    });
}

int media_type_tostring(lua_State* L)
{
    const media_type_t& media_type = this_media_type(L);
    ox::lua::push_string(L, media_type.raw);
    return 1;
}

void set_text(lua_State* L, const char* key, const std::string& text)
{
    if (text.empty())
        return;
    ox::lua::push_string(L, text);
    lua_setfield(L, -2, key);
}

} // namespace

void push_media_type_table(lua_State* L, int reference, const media_type_t& media_type, bool response)
{
    reference = lua_absindex(L, reference);
    lua_createtable(L, 0, 6);
    set_text(L, "type", media_type.type);
    set_text(L, "subtype", media_type.subtype);

    lua_createtable(L, static_cast<int>(media_type.parameters.size()), 0);
    lua_Integer index = 0;
    for (const auto& [name, value] : media_type.parameters) {
        lua_createtable(L, 0, 2);
        ox::lua::push_string(L, name);
        lua_setfield(L, -2, "name");
        ox::lua::push_string(L, value);
        lua_setfield(L, -2, "value");
        lua_rawseti(L, -2, ++index);
    }
    lua_setfield(L, -2, "param");

    lua_pushvalue(L, reference);
    lua_pushboolean(L, response);
    lua_pushcclosure(L, content_type_match, 2);
    lua_setfield(L, -2, "match");
    lua_pushvalue(L, reference);
    lua_pushboolean(L, response);
    lua_pushcclosure(L, media_type_tostring, 2);
    lua_setfield(L, -2, "__tostring");

    lua_pushvalue(L, -1);
    lua_pushcclosure(L, ox::lua::tostring_concat_closure, 1);
    lua_setfield(L, -2, "__concat");
    lua_pushvalue(L, -1);
    lua_setmetatable(L, -2);
}

} // namespace ic::context
