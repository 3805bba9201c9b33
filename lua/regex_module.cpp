#include "lua/regex_module.hpp"

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <boost/regex/icu.hpp>
#include <unicode/unistr.h>

#include "lua/protect.hpp"

namespace ox::lua::regex {

namespace {

enum class test_t { match, search };

// The text: its __tostring result, else a string or number; any other
// value is the empty text.
icu::UnicodeString to_unicode_text(lua_State* L, int index)
{
    luaL_checkany(L, index);
    const bool converted = luaL_callmeta(L, index, "__tostring");
    std::size_t length = 0;
    const char* text = lua_tolstring(L, converted ? -1 : index, &length);
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text, text ? length : 0));
    if (converted)
        lua_pop(L, 1);
    return unicode;
}

boost::u32regex compile(const char* pattern, std::size_t length, bool ignore_case)
{
    const auto syntax =
        ignore_case ? boost::regex_constants::perl | boost::regex_constants::icase : boost::regex_constants::perl;
    return boost::make_u32regex(pattern, pattern + length, syntax);
}

bool test(test_t kind, const char* pattern, std::size_t length, const icu::UnicodeString& text, bool ignore_case)
{
    const boost::u32regex expression = compile(pattern, length, ignore_case);
    return kind == test_t::match ? boost::u32regex_match(text, expression, boost::match_perl)
                                 : boost::u32regex_search(text, expression, boost::match_perl);
}

int run(lua_State* L, test_t kind)
{
    const bool ignore_case = (luaL_optinteger(L, 3, 0) & 1) != 0;
    return protect(L, [&] {
        const icu::UnicodeString text = to_unicode_text(L, 2);
        const int type = lua_type(L, 1);
        if (type != LUA_TSTRING && type != LUA_TTABLE)
            return luaL_argerror(L, 1, "must be string or array of strings");

        // Compilation and matching errors become one Lua error, raised
        // outside the handler; a pattern that is not UTF-8 is one of them.
        std::optional<std::string> failure;
        bool found = false;
        if (type == LUA_TSTRING) {
            std::size_t length = 0;
            const char* pattern = lua_tolstring(L, 1, &length);
            try {
                found = test(kind, pattern, length, text, ignore_case);
            } catch (const std::exception& e) {
                failure = e.what();
            }
        } else {
            const lua_Integer count = luaL_len(L, 1);
            for (lua_Integer i = 1; i <= count && !found && !failure; ++i) {
                if (lua_geti(L, 1, i) != LUA_TSTRING)
                    return luaL_argerror(L, 1, "all elements of regex array must be strings");
                std::size_t length = 0;
                const char* pattern = lua_tolstring(L, -1, &length);
                try {
                    found = test(kind, pattern, length, text, ignore_case);
                } catch (const std::exception& e) {
                    failure = e.what();
                }
                lua_pop(L, 1);
            }
        }
        if (failure)
            return luaL_error(L, "Cannot call regex function: %s", failure->c_str());
        lua_pushboolean(L, found);
        return 1;
    });
}

int load(lua_State* L)
{
    lua_createtable(L, 0, 3);
    lua_pushcfunction(L, match);
    lua_setfield(L, -2, "match");
    lua_pushcfunction(L, search);
    lua_setfield(L, -2, "search");
    lua_pushinteger(L, 1);
    lua_setfield(L, -2, "ignore_case");
    return 1;
}

} // namespace

void open(lua_State* L)
{
    luaL_requiref(L, "orvex.regex", load, 0);
    lua_pop(L, 1);
}

int match(lua_State* L)
{
    return run(L, test_t::match);
}

int search(lua_State* L)
{
    return run(L, test_t::search);
}

} // namespace ox::lua::regex
