#include "lua/weak_ref.hpp"

#include "lua/body_table.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"

namespace ic::context {

namespace {

int weak_ref_gc(lua_State* L)
{
    // Reachable from scripts through getmetatable: it may meet other
    // values, and the same one twice.
    if (auto* ref = static_cast<weak_ref_t*>(luaL_testudata(L, 1, weak_ptr_metatable)))
        ref->pointer.reset();
    return 0;
}

} // namespace

void register_metatables(lua_State* L)
{
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, summary_view_gc);
    lua_setfield(L, -2, "__gc");
    ox::lua::registry_set(L, summary_view_metatable);

    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, weak_ref_gc);
    lua_setfield(L, -2, "__gc");
    ox::lua::registry_set(L, weak_ptr_metatable);
}

void push_weak_ref(lua_State* L, const std::shared_ptr<int>& token, void* object, type_tag_t type)
{
    ox::lua::new_userdata<weak_ref_t>(L, weak_ref_t{std::shared_ptr<void>(token, object), type});
    ox::lua::registry_get(L, weak_ptr_metatable);
    lua_setmetatable(L, -2);
}

void* lock_weak_ref(lua_State* L, int index, type_tag_t type)
{
    auto* ref = static_cast<weak_ref_t*>(luaL_testudata(L, index, weak_ptr_metatable));
    if (ref == nullptr || ref->type != type)
        raise_script_error(L, "invalid transaction reference");
    void* object = ref->pointer.lock().get();
    if (object == nullptr)
        raise_script_error(L, "trying to use expired pointer");
    return object;
}

void set_weak_closure(lua_State* L, int reference, lua_CFunction function, const char* name)
{
    lua_pushvalue(L, reference);
    lua_pushcclosure(L, function, 1);
    lua_setfield(L, -2, name);
}

bool is_key(lua_State* L, int index, std::string_view text)
{
    if (lua_type(L, index) != LUA_TSTRING)
        return false;
    std::size_t length = 0;
    const char* key = lua_tolstring(L, index, &length);
    return std::string_view(key, length) == text;
}

bool index_lazy_function(lua_State* L, std::initializer_list<lazy_function_t> functions)
{
    if (lua_type(L, 2) != LUA_TSTRING)
        return false;
    std::size_t length = 0;
    const char* text = lua_tolstring(L, 2, &length);
    const std::string_view key(text, length);
    for (const lazy_function_t& entry : functions) {
        if (key == entry.name) {
            lua_settop(L, 2);
            lua_pushvalue(L, lua_upvalueindex(1));
            lua_pushcclosure(L, entry.function, 1);
            ox::lua::store_field(L);
            return true;
        }
    }
    return false;
}

void raise_script_error(lua_State* L, const char* text)
{
    lua_pushstring(L, text);
    lua_error(L);
    // lua_error unwinds as an exception of Lua's own type.
    __builtin_unreachable();
}

} // namespace ic::context
