#include "lua/body_table.hpp"

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "icap/verdicts/category_bits.hpp"
#include "icap/verdicts/summary.hpp"
#include "lua/category_filter.hpp"
#include "lua/context.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "lua/protect.hpp"
#include "lua/script_texts.hpp"
#include "lua/value_readers.hpp"
#include "lua/weak_ref.hpp"
#include "schemas/error.pb.h"

namespace ic::context {

namespace {

constexpr std::uint32_t all_classes = 0xFFFFFFFF;

// What threats() iterates: the summary, the filter's classes and the next
// threat to look at.
struct summary_view_t {
    std::shared_ptr<summary_t> summary;
    std::uint32_t mask;
    std::size_t next;
};

context_t& this_context(lua_State* L)
{
    return lock_weak_ref(L, lua_upvalueindex(1));
}

bool has_class(const ox::Virus& virus, std::uint32_t mask)
{
    return (threat_category_to_bit(virus.type()) & mask) != 0;
}

// The body check's completion: stores the outcome while the transaction
// lives, then resumes every coroutine that waits for it. A failed check
// keeps the body stream it hands back (the body as read so far followed by
// the unread rest, or the whole body when Vetter could not be asked), so
// that the message can still pass unchanged.
void body_checked(const std::weak_ptr<context_t>& handle, const ox::ScanReport& report,
                  const io::icap::preview_t& preview, const std::shared_ptr<io::http::body_stream_t>& stream,
                  const boost::system::error_code& error)
{
    std::vector<std::function<void()>> waiters;
    if (const std::shared_ptr<context_t> context = handle.lock()) {
        context->set_scan_result(error, report, preview, stream);
        waiters = context->body_check.finish();
    }
    // The transaction is not held while they run: one of them may end it.
    for (const std::function<void()>& resume : waiters)
        resume();
}

// Whether the body check has completed. Otherwise the running coroutine now
// waits for it (the check is started unless it runs already) and the caller
// suspends it. A message without a body completes at once, without Vetter.
bool body_check_done(lua_State* L, context_t& context)
{
    if (context.body_check_error)
        return true;
    if (!context.body_check.running() && !context.body_getter) {
        ox::lua::protect(L, [&] {
            context.set_scan_result({}, ox::ScanReport(), io::icap::preview_t(), nullptr);
            return 0;
        });
        return true;
    }
    // Before the getter is taken: it can be used once.
    ox::lua::coroutine_t* coroutine = ox::lua::current_coroutine(L);
    ox::lua::protect(L, [&] {
        if (!context.body_check.running()) {
            body_getter_t getter = std::move(context.body_getter);
            context.body_getter = nullptr;
            context.delegate->check_body(
                std::move(getter),
                [handle = context.handle()](const ox::ScanReport& report, const io::icap::preview_t& preview,
                                            const std::shared_ptr<io::http::body_stream_t>& stream,
                                            const boost::system::error_code& error) {
                    body_checked(handle, report, preview, stream, error);
                });
            context.body_check.start();
        }
        context.body_check.add_waiter(coroutine);
        return 0;
    });
    return false;
}

// The summary of the completed body check; raises its failure.
summary_t& scanned_summary(lua_State* L, context_t& context)
{
    const boost::system::error_code& error = *context.body_check_error;
    if (error) {
        ox::lua::protect(L, [&] {
            ox::lua::push_string(L, "failed to check message body: " + error.message());
            return lua_error(L);
        });
    }
    return *context.summary;
}

// The classes of the filter at 1, all of them without one.
std::uint32_t filter_classes(lua_State* L)
{
    if (lua_gettop(L) < 1)
        return all_classes;
    return filter_mask(L, 1, "category", all_classes, threat_category_names) &
           ~filter_mask(L, 1, "category_not", 0, threat_category_names);
}

int has_threat_continue(lua_State* L, int, lua_KContext)
{
    context_t& context = this_context(L);
    const summary_t& summary = scanned_summary(L, context);
    return ox::lua::protect(L, [&] {
        const std::uint32_t mask = filter_classes(L);
        bool found = false;
        for (const summary_t::threat_t& threat : summary.threats)
            if ((found = has_class(threat.virus, mask)))
                break;
        if (found)
            context.set_block_reason(threat_bits_t{mask});
        lua_pushboolean(L, found);
        return 1;
    });
}

// has_threat(filter): whether the scan found a threat of the filter's
// classes.
int has_threat(lua_State* L)
{
    context_t& context = this_context(L);
    if (lua_gettop(L) >= 1)
        check_table_argument(L, 1);
    if (!body_check_done(L, context))
        return ox::lua::yield(L, 0, has_threat_continue);
    return has_threat_continue(L, LUA_OK, 0);
}

// Iterator of threats(): {type = class name, name = threat name} of the
// next threat of the view's classes.
int next_threat(lua_State* L)
{
    auto* view = static_cast<summary_view_t*>(luaL_checkudata(L, 1, summary_view_metatable));
    return ox::lua::protect(L, [&] {
        if (!view->summary)
            return 0;
        const std::vector<summary_t::threat_t>& threats = view->summary->threats;
        while (view->next < threats.size()) {
            const ox::Virus& virus = threats[view->next++].virus;
            if (!has_class(virus, view->mask))
                continue;
            lua_createtable(L, 0, 2);
            ox::lua::push_string(L, threat_category_name(virus.type()));
            lua_setfield(L, -2, "type");
            ox::lua::push_string(L, virus.name());
            lua_setfield(L, -2, "name");
            return 1;
        }
        lua_pushnil(L);
        return 1;
    });
}

int threats_continue(lua_State* L, int, lua_KContext)
{
    context_t& context = this_context(L);
    summary_t& summary = scanned_summary(L, context);
    return ox::lua::protect(L, [&] {
        const std::uint32_t mask = filter_classes(L);
        lua_pushcfunction(L, next_threat);
        ox::lua::new_userdata<summary_view_t>(L, summary_view_t{context.summary, mask, 0});
        ox::lua::registry_get(L, summary_view_metatable);
        lua_setmetatable(L, -2);
        for (const summary_t::threat_t& threat : summary.threats) {
            if (has_class(threat.virus, mask)) {
                context.set_block_reason(threat_bits_t{mask});
                break;
            }
        }
        lua_pushnil(L);
        return 3;
    });
}

// threats(filter): for a generic for, the threats of the filter's classes
// in the summary's order.
int threats(lua_State* L)
{
    context_t& context = this_context(L);
    if (lua_gettop(L) >= 1)
        check_table_argument(L, 1);
    if (!body_check_done(L, context))
        return ox::lua::yield(L, 0, threats_continue);
    return threats_continue(L, LUA_OK, 0);
}

// The name of a scan error: its enum name less "SE_", lower case; the
// number of a value the schema does not define.
std::string scan_error_name(ox::ScanError error)
{
    const google::protobuf::EnumValueDescriptor* value = ox::ScanError_descriptor()->FindValueByNumber(error);
    if (value == nullptr)
        return std::to_string(static_cast<int>(error));
    std::string name = value->name().substr(3);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return name;
}

// __index of the body table: its functions, "content_type" (that of the
// request or response table, by direction) and "scan_error" (what an
// earlier scan left; it never starts one), stored once known.
int body_index(lua_State* L)
{
    if (index_lazy_function(L, {{"has_threat", has_threat}, {"threats", threats}}))
        return 1;
    context_t& context = this_context(L);
    if (lua_type(L, 2) != LUA_TSTRING)
        return 0;
    lua_settop(L, 2);
    const char* key = lua_tostring(L, 2);
    if (std::strcmp(key, "content_type") == 0) {
        lua_pushvalue(L, lua_upvalueindex(2));
        lua_getfield(L, 3, "direction");
        const char* direction = lua_tostring(L, -1);
        const bool response = direction != nullptr && std::strcmp(direction, "response") == 0;
        lua_getfield(L, 3, response ? "response" : "request");
        if (lua_getfield(L, -1, "content_type") == LUA_TNIL)
            return 0;
        lua_replace(L, 3);
        lua_settop(L, 3);
        return ox::lua::store_field(L);
    }
    if (std::strcmp(key, "scan_error") == 0) {
        if (!context.summary || !context.summary->has_error)
            return 0;
        return ox::lua::protect(L, [&] {
            const ox::ScanError error = context.summary->error();
            ox::lua::push_string(L, scan_error_name(error));
            context.set_block_reason(error);
            return ox::lua::store_field(L);
        });
    }
    return 0;
}

} // namespace

void push_body_table(lua_State* L, int reference, int transaction)
{
    reference = lua_absindex(L, reference);
    transaction = lua_absindex(L, transaction);
    lua_createtable(L, 0, 5);
    lua_pushvalue(L, reference);
    lua_pushvalue(L, transaction);
    lua_pushcclosure(L, body_index, 2);
    lua_setfield(L, -2, "__index");
    lua_pushvalue(L, -1);
    lua_setmetatable(L, -2);
}

int summary_view_gc(lua_State* L)
{
    // Reachable from scripts through getmetatable: it may meet other
    // values, and the same one twice.
    if (auto* view = static_cast<summary_view_t*>(luaL_testudata(L, 1, summary_view_metatable)))
        view->summary.reset();
    return 0;
}

} // namespace ic::context
