#include "lua/url_object.hpp"

#include <bit>
#include <cstdint>
#include <functional>
#include <locale>
#include <string>
#include <vector>

#include "common/idn.hpp"
#include "icap/verdicts/category_bits.hpp"
#include "lua/category_filter.hpp"
#include "lua/context.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "lua/protect.hpp"
#include "lua/script_texts.hpp"
#include "lua/value_readers.hpp"
#include "lua/weak_ref.hpp"

namespace ic::context {

namespace {

// Bits 0 to 16: the categories that have a name.
constexpr std::uint32_t named_categories = 0x1FFFF;
constexpr std::uint32_t all_categories = 0xFFFFFFFF;

// What an __index handler's native part answers for the key that needs the
// URL check.
constexpr int needs_url_check = -1;

context_t& this_context(lua_State* L)
{
    return lock_weak_ref(L, lua_upvalueindex(1));
}

// The request URL as a script sees it: an empty URL when the query carries
// no request head, else the request URL, or a script error.
const ox::oxs::url_t& url_for_script(lua_State* L, context_t& context)
{
    static const ox::oxs::url_t empty;
    if (context.request_head.size() == 0)
        return empty;
    if (const std::shared_ptr<ox::oxs::url_t>& url = context.request_url())
        return *url;
    if (!context.request_header())
        raise_script_error(L, "failed to parse HTTP request header");
    raise_script_error(L, "failed to get URL from HTTP request header");
}

// The URL check's completion: stores the outcome while the transaction
// lives, then resumes every coroutine that waits for it.
void url_checked(const std::weak_ptr<context_t>& handle, const ox::oxs::report_t& report,
                 const boost::system::error_code& error)
{
    std::vector<std::function<void()>> waiters;
    if (const std::shared_ptr<context_t> context = handle.lock()) {
        context->set_url_result(error, report);
        waiters = context->url_check.finish();
    }
    // The transaction is not held while they run: one of them may end it.
    for (const std::function<void()>& resume : waiters)
        resume();
}

// Whether the URL check has completed. Otherwise the running coroutine now
// waits for it (the check is started unless it runs already) and the
// caller suspends it.
bool url_check_done(lua_State* L, context_t& context)
{
    if (context.url_check_error)
        return true;
    if (context.request_head.size() == 0) {
        // Nothing to classify: nothing is sent to Tagger.
        ox::lua::protect(L, [&] {
            context.set_url_result({}, ox::oxs::report_t());
            return 0;
        });
        return true;
    }
    ox::lua::coroutine_t* coroutine = ox::lua::current_coroutine(L);
    ox::lua::protect(L, [&] {
        if (!context.url_check.running()) {
            context.delegate->check_url(&context, [handle = context.handle()](const ox::oxs::report_t& report,
                                                                              const boost::system::error_code& error) {
                url_checked(handle, report, error);
            });
            context.url_check.start();
        }
        context.url_check.add_waiter(coroutine);
        return 0;
    });
    return false;
}

// Raises the failure of the completed URL check; the errors of the URL
// itself come first.
void raise_url_check_failure(lua_State* L, context_t& context)
{
    const boost::system::error_code& error = *context.url_check_error;
    if (!error)
        return;
    ox::lua::protect(L, [&] {
        url_for_script(L, context);
        ox::lua::push_string(L, "failed to check URL: " + error.message());
        return lua_error(L);
    });
}

// Iterator of categories(): the name of the lowest category of the mask
// above the previous one.
int next_category(lua_State* L)
{
    const lua_Integer mask = luaL_checkinteger(L, 1) & named_categories;
    luaL_checkstring(L, 2);
    return ox::lua::protect(L, [&] {
        const std::uint32_t previous = url_category_name_to_bit(ox::lua::to_string(L, 2));
        for (int bit = previous == 0 ? 0 : std::countr_zero(previous) + 1; bit < 17; ++bit) {
            if ((mask & (lua_Integer{1} << bit)) != 0) {
                ox::lua::push_string(L, url_category_name(static_cast<ox::UrlCategory>(bit + 1)));
                return 1;
            }
        }
        lua_pushnil(L);
        return 1;
    });
}

int categories_continue(lua_State* L, int, lua_KContext)
{
    context_t& context = this_context(L);
    raise_url_check_failure(L, context);
    return ox::lua::protect(L, [&] {
        std::uint32_t mask = all_categories;
        if (lua_gettop(L) >= 1)
            mask = filter_mask(L, 1, "category", all_categories, url_category_names) &
                   ~filter_mask(L, 1, "category_not", 0, url_category_names);
        mask &= context.url_report.categories;
        if (mask != 0)
            context.set_block_reason(url_bits_t{mask});
        lua_pushcfunction(L, next_category);
        lua_pushinteger(L, mask);
        lua_pushliteral(L, "");
        return 3;
    });
}

// categories(filter): for a generic for, the names of the URL's categories
// that the filter lets through.
int categories(lua_State* L)
{
    context_t& context = this_context(L);
    if (lua_gettop(L) >= 1)
        check_table_argument(L, 1);
    if (!url_check_done(L, context))
        return ox::lua::yield(L, 0, categories_continue);
    return categories_continue(L, LUA_OK, 0);
}

int in_categories_continue(lua_State* L, int, lua_KContext)
{
    context_t& context = this_context(L);
    raise_url_check_failure(L, context);
    return ox::lua::protect(L, [&] {
        const std::uint32_t mask = list_mask(L, lua_gettop(L), url_category_names) & context.url_report.categories;
        if (mask != 0)
            context.set_block_reason(url_bits_t{mask});
        lua_pushboolean(L, mask != 0);
        return 1;
    });
}

// in_categories(list): whether the URL has one of the categories. The list
// is the last argument, so that a call with a colon works too.
int in_categories(lua_State* L)
{
    context_t& context = this_context(L);
    check_table_argument(L, 1);
    if (!url_check_done(L, context))
        return ox::lua::yield(L, 0, in_categories_continue);
    return in_categories_continue(L, LUA_OK, 0);
}

// Whether the host is the domain or one of its subdomains.
bool in_domain(const std::string& host, const std::string& domain)
{
    if (domain.empty() || host.size() < domain.size() ||
        host.compare(host.size() - domain.size(), domain.size(), domain) != 0)
        return false;
    return host.size() == domain.size() || host[host.size() - domain.size() - 1] == '.';
}

// A list entry as a domain: without its leading and trailing dots, lower
// case, in IDN ASCII form.
std::string domain_of(std::string entry)
{
    const auto first = entry.find_first_not_of('.');
    if (first == std::string::npos)
        return {};
    entry = entry.substr(first, entry.find_last_not_of('.') - first + 1);
    const std::locale locale;
    for (char& c : entry)
        c = std::tolower(c, locale);
    return ox::oxs::idn_to_ascii(entry);
}

// in_list(list): whether the URL's host is in one of the listed domains.
// The list is the last argument.
int in_list(lua_State* L)
{
    context_t& context = this_context(L);
    return ox::lua::protect(L, [&] {
        const ox::oxs::url_t& url = url_for_script(L, context);
        check_table_argument(L, 1);
        const int list = lua_gettop(L);
        const std::string host = ox::oxs::idn_to_ascii(url.host);
        bool found = false;
        if (!host.empty()) {
            const lua_Integer length = luaL_len(L, list);
            for (lua_Integer i = 1; i <= length && !found; ++i) {
                if (lua_geti(L, list, i) == LUA_TSTRING)
                    found = in_domain(host, domain_of(ox::lua::to_string(L, -1)));
                else
                    warn(L, "domain should be string");
                lua_pop(L, 1);
            }
        }
        lua_pushboolean(L, found);
        return 1;
    });
}

// Pushes the value of a part, or nothing when it is empty; the count.
int push_part(lua_State* L, const std::string& part)
{
    if (part.empty())
        return 0;
    ox::lua::push_string(L, part);
    return 1;
}

int push_port(lua_State* L, const ox::oxs::url_t& url)
{
    if (!url.port)
        return 0;
    lua_pushinteger(L, *url.port);
    return 1;
}

// The part of the URL object or of its raw twin named by the key at 2;
// the count of values pushed, or needs_url_check.
template <bool raw>
int push_url_part(lua_State* L, const ox::oxs::url_t& url)
{
    if (lua_type(L, 2) != LUA_TSTRING)
        return 0;
    const std::string key = ox::lua::to_string(L, 2);
    if (key == "scheme")
        return push_part(L, url.scheme);
    if (key == "port")
        return push_port(L, url);
    if constexpr (raw) {
        if (key == "host")
            return push_part(L, ox::oxs::idn_to_ascii(url.host));
        if (key == "path")
            return push_part(L, ox::oxs::url_t::percent_encode(url.path, '/'));
        if (key == "query")
            return push_part(L, ox::oxs::url_t::params_to_string(url.query, ox::oxs::url_t::encoded));
    } else {
        if (key == "host")
            return push_part(L, url.host);
        if (key == "path")
            return push_part(L, url.path);
        if (key == "query")
            return push_part(L, ox::oxs::url_t::params_to_string(url.query, ox::oxs::url_t::plain));
        if (key == "legal_url")
            return needs_url_check;
        if (key == "in_list") {
            lua_pushvalue(L, lua_upvalueindex(1));
            lua_pushcclosure(L, in_list, 1);
            return 1;
        }
    }
    return 0;
}

int legal_url_continue(lua_State* L, int, lua_KContext)
{
    context_t& context = this_context(L);
    raise_url_check_failure(L, context);
    return ox::lua::protect(L, [&] {
        if (push_part(L, context.url_report.piracy_legal_url) == 0)
            return 0;
        return ox::lua::store_field(L);
    });
}

template <bool raw>
void finish_url_table(lua_State* L, int reference);

// __index of the URL object and of its raw twin: the lazy keys, stored once
// computed. The URL is obtained before the key is looked at, except for the
// object's functions and its raw twin, which need nothing of it.
template <bool raw>
int url_index(lua_State* L)
{
    if constexpr (!raw) {
        if (index_lazy_function(L, {{"categories", categories}, {"in_categories", in_categories}}))
            return 1;
        if (is_key(L, 2, "raw")) {
            lua_settop(L, 2);
            lua_createtable(L, 0, 3);
            finish_url_table<true>(L, lua_upvalueindex(1));
            return ox::lua::store_field(L);
        }
    }
    context_t& context = this_context(L);
    lua_settop(L, 2);
    const int pushed = ox::lua::protect(L, [&] {
        const int count = push_url_part<raw>(L, url_for_script(L, context));
        return count == 1 ? ox::lua::store_field(L) : count;
    });
    if (pushed != needs_url_check)
        return pushed;
    if (!url_check_done(L, context))
        return ox::lua::yield(L, 0, legal_url_continue);
    return legal_url_continue(L, LUA_OK, 0);
}

template <unsigned mode>
int url_tostring(lua_State* L)
{
    context_t& context = this_context(L);
    return ox::lua::protect(L, [&] {
        ox::lua::push_string(L, url_for_script(L, context).to_string(mode));
        return 1;
    });
}

// The metamethods every URL object has, set on the table on top, which
// becomes its own metatable.
template <bool raw>
void finish_url_table(lua_State* L, int reference)
{
    lua_pushvalue(L, -1);
    lua_pushcclosure(L, ox::lua::tostring_concat_closure, 1);
    lua_setfield(L, -2, "__concat");
    set_weak_closure(L, reference, url_tostring < raw ? ox::oxs::url_t::encoded : ox::oxs::url_t::plain >,
                     "__tostring");
    set_weak_closure(L, reference, url_index<raw>, "__index");
    lua_pushvalue(L, -1);
    lua_setmetatable(L, -2);
}

} // namespace

void push_url_object(lua_State* L, int reference)
{
    reference = lua_absindex(L, reference);
    lua_createtable(L, 0, 6);
    finish_url_table<false>(L, reference);
}

} // namespace ic::context
