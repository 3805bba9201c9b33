// The script's view of a transaction: the table message_hook receives and
// the ICAP, request and response tables hanging off it. Everything in them
// but their metamethods, functions included, is made on first use and
// stored in the table, and reaches the context through a weak reference,
// so that nothing costs anything unless the script asks for it and nothing
// outlives the transaction.

#include <string>
#include <vector>

#include "common/util_log.hpp"
#include "lua/body_table.hpp"
#include "lua/context.hpp"
#include "lua/ip_address.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "lua/media_type_table.hpp"
#include "lua/protect.hpp"
#include "lua/regex_module.hpp"
#include "lua/url_object.hpp"
#include "lua/value_readers.hpp"
#include "lua/weak_ref.hpp"

namespace ic::context {

namespace {

enum class head_t { icap, request, response };

// The request head as a script sees it: an empty request when the query
// carries none, else the parsed head.
const io::http::request_t& request_for_script(lua_State* L, context_t& context)
{
    static const std::shared_ptr<io::http::request_t> empty = io::http::request_t::make();
    if (context.request_head.size() == 0)
        return *empty;
    const std::shared_ptr<io::http::request_t>& request = context.request_header();
    if (!request)
        raise_script_error(L, "failed to parse HTTP request header");
    return *request;
}

const io::http::response_t& response_for_script(lua_State* L, context_t& context)
{
    static const std::shared_ptr<io::http::response_t> empty = io::http::response_t::make();
    if (context.response_head.size() == 0)
        return *empty;
    const std::shared_ptr<io::http::response_t>& response = context.response_header();
    if (!response)
        raise_script_error(L, "failed to parse HTTP response header");
    return *response;
}

template <head_t head>
const io::http::param_map_t& fields_of(lua_State* L, context_t& context)
{
    if constexpr (head == head_t::icap)
        return *context.icap_fields;
    else if constexpr (head == head_t::request)
        return request_for_script(L, context).fields;
    else
        return response_for_script(L, context).fields;
}

context_t& this_context(lua_State* L)
{
    return lock_weak_ref(L, lua_upvalueindex(1));
}

// search(patterns): whether one "name: value" line of the fields matches,
// by orvex.regex's match without regard to case.
template <head_t head>
int search(lua_State* L)
{
    context_t& context = this_context(L);
    const io::http::param_map_t& fields = fields_of<head>(L, context);
    lua_settop(L, 1);
    return ox::lua::protect(L, [&] {
        for (const auto& [name, values] : fields.fields()) {
            for (const std::string& value : values) {
                lua_pushcfunction(L, ox::lua::regex::match);
                lua_pushvalue(L, 1);
                ox::lua::push_string(L, name + ": " + value);
                lua_pushinteger(L, 1);
                lua_call(L, 3, 1);
                const bool found = lua_toboolean(L, -1);
                lua_pop(L, 1);
                if (found) {
                    lua_pushboolean(L, 1);
                    return 1;
                }
            }
        }
        lua_pushboolean(L, 0);
        return 1;
    });
}

// value(name): the field's first value, nil when absent.
template <head_t head>
int value(lua_State* L)
{
    context_t& context = this_context(L);
    const io::http::param_map_t& fields = fields_of<head>(L, context);
    luaL_checktype(L, 1, LUA_TSTRING);
    return ox::lua::protect(L, [&] {
        const auto& values = fields.get_all(ox::lua::to_string(L, 1));
        if (values.empty())
            lua_pushnil(L);
        else
            ox::lua::push_string(L, values.front());
        return 1;
    });
}

// {name = ..., value = ...} per value, in the field map's order.
void push_field_array(lua_State* L, const io::http::param_map_t& fields)
{
    lua_newtable(L);
    lua_Integer index = 0;
    for (const auto& [name, values] : fields.fields()) {
        for (const std::string& value : values) {
            lua_createtable(L, 0, 2);
            ox::lua::push_string(L, name);
            lua_setfield(L, -2, "name");
            ox::lua::push_string(L, value);
            lua_setfield(L, -2, "value");
            lua_rawseti(L, -2, ++index);
        }
    }
}

int user_tostring(lua_State* L)
{
    lua_pushvalue(L, lua_upvalueindex(1));
    return 1;
}

// The user table of X-Client-Username: user and domain split at the last
// at sign; it prints as the raw value.
void push_user(lua_State* L, const std::string& raw)
{
    lua_createtable(L, 0, 2);
    if (!raw.empty()) {
        const auto at = raw.rfind('@');
        if (at == std::string::npos || at + 1 == raw.size()) {
            ox::lua::push_string(L, raw);
            lua_setfield(L, -2, "user");
        } else {
            ox::lua::push_string(L, raw.substr(0, at));
            lua_setfield(L, -2, "user");
            ox::lua::push_string(L, raw.substr(at + 1));
            lua_setfield(L, -2, "domain");
        }
    }
    lua_createtable(L, 0, 2);
    ox::lua::push_string(L, raw);
    lua_pushcclosure(L, user_tostring, 1);
    lua_setfield(L, -2, "__tostring");
    lua_pushvalue(L, -2);
    lua_pushcclosure(L, ox::lua::tostring_concat_closure, 1);
    lua_setfield(L, -2, "__concat");
    lua_setmetatable(L, -2);
}

// The client's address from X-Client-IP; false when there is none.
bool push_source(lua_State* L, const io::http::param_map_t& fields)
{
    const std::string& text = fields.get("X-Client-IP");
    if (text.empty())
        return false;
    boost::system::error_code error;
    const boost::asio::ip::address address = ox::lua::orvex::make_address(text, error);
    if (!error) {
        ox::lua::orvex::push_ip_address(L, address);
        return true;
    }
    if (ox::util::get_log_level() <= 0)
        ox::lua::log(L, 0, "make_address: " + error.message() + ": " + text);
    return false;
}

// __index of the ICAP, request and response tables: the lazy keys, stored
// in the table once computed (nil is not stored). The functions and the
// URL object come first: making them needs nothing of the transaction.
template <head_t head>
int index(lua_State* L)
{
    if (index_lazy_function(L, {{"search", search<head>}, {"value", value<head>}}))
        return 1;
    if constexpr (head == head_t::request) {
        if (is_key(L, 2, "url")) {
            lua_settop(L, 2);
            push_url_object(L, lua_upvalueindex(1));
            return ox::lua::store_field(L);
        }
    }
    context_t& context = this_context(L);
    if (lua_type(L, 2) != LUA_TSTRING)
        return 0;
    lua_settop(L, 2);
    return ox::lua::protect(L, [&] {
        const std::string key = ox::lua::to_string(L, 2);
        if (key == "field") {
            push_field_array(L, fields_of<head>(L, context));
            return ox::lua::store_field(L);
        }
        if constexpr (head == head_t::icap) {
            if (key == "src") {
                if (!push_source(L, *context.icap_fields))
                    return 0;
                return ox::lua::store_field(L);
            }
            if (key == "user") {
                push_user(L, context.icap_fields->get("X-Client-Username"));
                return ox::lua::store_field(L);
            }
        } else if constexpr (head == head_t::request) {
            if (key == "content_type") {
                push_media_type_table(L, lua_upvalueindex(1), context.request_content_type(), false);
                return ox::lua::store_field(L);
            }
            if (key == "method") {
                const std::string& method = request_for_script(L, context).method;
                if (method.empty())
                    return 0;
                ox::lua::push_string(L, method);
                return ox::lua::store_field(L);
            }
        } else {
            if (key == "content_type") {
                push_media_type_table(L, lua_upvalueindex(1), context.response_content_type(), true);
                return ox::lua::store_field(L);
            }
            if (key == "status") {
                const int code = response_for_script(L, context).code;
                if (code == -1)
                    return 0;
                lua_pushinteger(L, code);
                return ox::lua::store_field(L);
            }
            if (key == "reason") {
                const std::string& reason = response_for_script(L, context).reason;
                if (reason.empty())
                    return 0;
                ox::lua::push_string(L, reason);
                return ox::lua::store_field(L);
            }
        }
        return 0;
    });
}

// A table that is its own metatable, with __index over one field map.
template <head_t head>
void push_head_table(lua_State* L, int reference)
{
    lua_createtable(L, 0, 4);
    set_weak_closure(L, reference, index<head>, "__index");
    lua_pushvalue(L, -1);
    lua_setmetatable(L, -2);
}

bool is_shared_metatable(lua_State* L, int index)
{
    index = lua_absindex(L, index);
    ox::lua::push_held(L, ox::lua::held_t::transaction_metatable);
    const bool shared = lua_rawequal(L, index, -1);
    lua_pop(L, 1);
    return shared;
}

// Pushes the weak reference of the table at `table` whose metatable is at
// `metatable`: bound to the table while it has the shared metatable, else
// held by its own.
void push_reference(lua_State* L, int table, int metatable)
{
    if (is_shared_metatable(L, metatable))
        push_weak_ref(L, bound_ref(lua_topointer(L, table)));
    else
        lua_rawgeti(L, metatable, 1);
}

// __index of the transaction table: the ICAP, request, response and body
// tables, made on first read and stored, so that a hook pays only for the
// tables it reads. Making them needs nothing of the transaction but its
// weak reference: reading one never fails, even once the transaction is
// over.
int transaction_index(lua_State* L)
{
    lua_settop(L, 2);
    if (!lua_getmetatable(L, 1))
        return 0;
    push_reference(L, 1, 3);
    lua_replace(L, 3);
    const int reference = 3;
    if (is_key(L, 2, "icap"))
        push_head_table<head_t::icap>(L, reference);
    else if (is_key(L, 2, "request"))
        push_head_table<head_t::request>(L, reference);
    else if (is_key(L, 2, "response"))
        push_head_table<head_t::response>(L, reference);
    else if (is_key(L, 2, "body"))
        push_body_table(L, reference, 1);
    else
        return 0;
    lua_replace(L, 3);
    return ox::lua::store_field(L);
}

// The iterator of pairs over the transaction table: a raw next, whatever a
// script may have assigned to the global "next".
int transaction_next(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TTABLE);
    lua_settop(L, 2);
    if (lua_next(L, 1) != 0)
        return 2;
    lua_pushnil(L);
    return 1;
}

// __pairs of the transaction table: a script that walks the table sees the
// same five keys as when every table was made up front.
int transaction_pairs(lua_State* L)
{
    for (const char* key : {"icap", "request", "response", "body"}) {
        lua_getfield(L, 1, key);
        lua_pop(L, 1);
    }
    lua_pushcfunction(L, transaction_next);
    lua_pushvalue(L, 1);
    lua_pushnil(L);
    return 3;
}

// Gives the transaction table at `table` a metatable of its own and pushes
// it: the one weak reference that serves every function of the
// transaction, and the shared metamethods.
void push_own_metatable(lua_State* L, int table)
{
    table = lua_absindex(L, table);
    lua_createtable(L, 0, 3);
    push_weak_ref(L, bound_ref(lua_topointer(L, table)));
    lua_rawseti(L, -2, 1);
    lua_pushcfunction(L, transaction_index);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, transaction_pairs);
    lua_setfield(L, -2, "__pairs");
    lua_pushvalue(L, -1);
    lua_setmetatable(L, table);
}

// Pushes the metatable of the value at 1, nil when it has none; a
// transaction table gets its own first: a script never meets the shared
// one, and what it does to the metatable it gets stays with its
// transaction.
void push_metatable(lua_State* L)
{
    luaL_checkany(L, 1);
    if (!lua_getmetatable(L, 1)) {
        lua_pushnil(L);
    } else if (is_shared_metatable(L, -1)) {
        lua_pop(L, 1);
        push_own_metatable(L, 1);
    }
}

// getmetatable and debug.getmetatable as the standard library has them,
// but for the transaction tables.
int get_metatable(lua_State* L)
{
    push_metatable(L);
    luaL_getmetafield(L, 1, "__metatable");
    return 1;
}

int debug_get_metatable(lua_State* L)
{
    push_metatable(L);
    return 1;
}

} // namespace

void register_transaction_metatable(lua_State* L)
{
    // The metamethods are plain functions: one metatable serves every
    // transaction table until a script asks for a table's metatable.
    lua_createtable(L, 0, 2);
    lua_pushcfunction(L, transaction_index);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, transaction_pairs);
    lua_setfield(L, -2, "__pairs");
    ox::lua::set_held(L, ox::lua::held_t::transaction_metatable);
    lua_pushcfunction(L, get_metatable);
    lua_setglobal(L, "getmetatable");
    if (lua_getglobal(L, "debug") == LUA_TTABLE) {
        lua_pushcfunction(L, debug_get_metatable);
        lua_setfield(L, -2, "getmetatable");
    }
    lua_pop(L, 1);
}

void context_t::push(lua_State* L)
{
    lua_createtable(L, 0, 5);
    lua_pushstring(L, is_response() ? "response" : "request");
    lua_setfield(L, -2, "direction");
    // The table stays plain to the script: its lazy members come from its
    // metatable, so no metamethod shows among its keys. The metatable is
    // the shared one, and the table reaches its transaction through the
    // weak reference bound to it, until a script asks for its metatable.
    ox::lua::push_held(L, ox::lua::held_t::transaction_metatable);
    lua_setmetatable(L, -2);
    if (const weak_ref_t reference = weak_ref())
        bind_table(reference, lua_topointer(L, -1));
}

} // namespace ic::context
