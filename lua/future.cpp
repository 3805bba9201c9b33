#include "lua/future.hpp"

#include <optional>
#include <stdexcept>
#include <utility>

#include "lua/exception_ptr.hpp"
#include "lua/library.hpp"
#include "lua/protect.hpp"
#include "lua/value_readers.hpp"

namespace ox::lua::orvex {

namespace {

using slot_t = std::optional<future_t>;

slot_t* to_slot(lua_State* L, int index)
{
    return static_cast<slot_t*>(luaL_testudata(L, index, future_metatable));
}

} // namespace

future_t::future_t(lua_State* L, int index) : coroutine_t(L, index), captured_logger_(ox::util::get_logger())
{
    if (const coroutine_t* const maker = running_coroutine(L))
        log_prefix_ = maker->log_prefix();
}

future_t::~future_t()
{
    if (saved_logger_)
        restore_logger();
}

int future_t::push_results(lua_State* target)
{
    lua_State* const own = thread();
    if (state_ == failed) {
        lua_checkstack(own, 1);
        lua_checkstack(target, 1);
        lua_pushvalue(own, -1);
        lua_xmove(own, target, 1);
        return -1;
    }
    const int count = lua_gettop(own);
    lua_checkstack(own, 1);
    lua_checkstack(target, count + 1);
    for (int i = 1; i <= count; ++i) {
        lua_pushvalue(own, i);
        lua_xmove(own, target, 1);
    }
    return count;
}

void future_t::on_coroutine_finish()
{
    complete(finished);
}

void future_t::on_coroutine_error()
{
    complete(failed);
}

void future_t::on_coroutine_yield()
{
    restore_logger();
    lua_settop(thread(), 0);
}

void future_t::on_coroutine_resume()
{
    install_logger();
}

void future_t::on_coroutine_abandon()
{
    restore_logger();
}

void future_t::install_logger()
{
    saved_logger_ = ox::util::set_logger(std::move(captured_logger_));
}

void future_t::restore_logger()
{
    captured_logger_ = ox::util::set_logger(std::move(saved_logger_));
    saved_logger_ = nullptr;
}

void future_t::complete(state_t state)
{
    restore_logger();
    state_ = state;
    auto waiters = std::move(waiters_);
    waiters_.clear();
    for (auto& waiter : waiters)
        waiter();
}

int wait(lua_State* L)
{
    slot_t* slot = to_slot(L, lua_upvalueindex(1));
    if (slot == nullptr || !*slot)
        return luaL_error(L, "The task is gone");
    future_t& future = **slot;
    switch (future.state()) {
    case future_t::finished:
        return future.push_results(L);
    case future_t::failed:
        future.push_results(L);
        return lua_error(L);
    case future_t::running:
        break;
    }
    coroutine_t* coroutine = current_coroutine(L);
    protect(L, [&] {
        future.add_waiter(coroutine->wrap([L, coroutine, &future] {
            if (future.state() == future_t::finished) {
                const int count = future.push_results(L);
                lua_pushinteger(L, count);
            } else {
                future.push_results(L);
                push_exception_ptr(L, std::make_exception_ptr(std::runtime_error(to_display_string_protected(L))));
            }
            coroutine->resume(0);
        }));
        return 0;
    });
    return yield(L, 0, wait_continuation);
}

int wait_continuation(lua_State* L, int, lua_KContext)
{
    if (to_exception_ptr(L, -1) != nullptr)
        return lua_error(L);
    const auto count = static_cast<int>(lua_tointeger(L, -1));
    lua_pop(L, 1);
    return count;
}

int future_gc(lua_State* L)
{
    // Reachable from scripts through getmetatable: it may meet other
    // values, and the same one twice.
    if (slot_t* slot = to_slot(L, 1))
        slot->reset();
    return 0;
}

int async(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TFUNCTION);
    const int arguments = lua_gettop(L) - 1;
    return protect(L, [&] {
        lua_createtable(L, 0, 1);
        slot_t* slot = new_userdata<slot_t>(L);
        registry_get(L, future_metatable);
        lua_setmetatable(L, -2);
        // The result table and the userdata below the function and its
        // arguments: [table, userdata, f, arguments...].
        lua_rotate(L, 1, 2);
        future_t& future = slot->emplace(L, 3);
        lua_xmove(L, future.thread(), arguments);

        lua_pushvalue(L, 2);
        lua_pushcclosure(L, wait, 1);
        lua_setfield(L, 1, "wait");

        future.resume(arguments);
        lua_settop(L, 1);
        return 1;
    });
}

} // namespace ox::lua::orvex
