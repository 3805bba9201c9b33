#include "lua/coroutine.hpp"

#include <memory>
#include <utility>

#include "lua/library.hpp"
#include "lua/protect.hpp"
#include "lua/thread_pool.hpp"

namespace ox::lua {

namespace {

// coroutine.running, calling the standard library's (the upvalue).
int running(lua_State* L)
{
    coroutine_t* const coroutine = running_coroutine(L);
    if (coroutine != nullptr && coroutine->thread() == L)
        coroutine->keep_thread();
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

} // namespace

void watch_coroutine_running(lua_State* L)
{
    if (lua_getglobal(L, "coroutine") == LUA_TTABLE) {
        lua_getfield(L, -1, "running");
        lua_pushcclosure(L, running, 1);
        lua_setfield(L, -2, "running");
    }
    lua_pop(L, 1);
}

coroutine_t::coroutine_t(lua_State* L, int index, thread_pool_t* pool, std::shared_ptr<bool>&& spare_flag,
                         first_resumption_t first)
    : callback_wrapper_t(std::move(spare_flag)), thread_(nullptr), pool_(pool), environment_taken_(first == later)
{
    index = lua_absindex(L, index);
    if (pool_ != nullptr) {
        thread_pool_t::thread_t taken = pool_->take(L);
        thread_ = taken.thread;
        thread_ref_ = std::move(taken.reference);
        // A table this coroutine may never take goes now rather than stay
        // alive with the thread.
        if (environment_taken_)
            environment_ref_ = std::move(taken.environment);
    } else {
        thread_ = lua_newthread(L);
        thread_ref_ = registry_ref_t(L);
    }
    if (environment_taken_) {
        registry_get(L, key::coroutine_environment);
        take_environment(L);
    }
    lua_rotate(L, index, -1);
    lua_xmove(L, thread_, 1);
}

void coroutine_t::take_environment(lua_State* L)
{
    // The reference a kept thread brought serves when it is the same table.
    environment_ref_.push(L);
    const bool same = lua_rawequal(L, -1, -2);
    lua_pop(L, 1);
    if (same)
        lua_pop(L, 1);
    else
        environment_ref_ = registry_ref_t(L);
}

coroutine_t::~coroutine_t()
{
    if (pool_ != nullptr && returned_)
        pool_->give_back({thread_, std::move(thread_ref_), std::move(environment_ref_)});
}

void coroutine_t::resume(int arguments)
{
    // Only locals are used once Lua has run: the object may be gone then
    // (a future collected while its own function ran).
    lua_State* const thread = thread_;
    lua_State* const main = main_state(thread);
    const std::shared_ptr<bool> destroyed = destroyed_flag();

    lua_checkstack(main, 5);
    // Kept on the main stack while Lua runs: the thread, so that it stays
    // reachable for the collector whatever happens to this object, the name
    // of the settings table's registry slot, and the settings table of the
    // resumption this one is nested in, which goes back in place afterwards
    // (the script may have replaced it). The coroutine's own table is put in
    // place only when it is another one; at a first resumption as the
    // coroutine is made, the table in place is its own.
    thread_ref_.push(main);
    push_key(main, key::coroutine_environment);
    lua_pushvalue(main, -1);
    lua_rawget(main, LUA_REGISTRYINDEX);
    if (environment_taken_) {
        environment_ref_.push(main);
        if (lua_rawequal(main, -1, -2)) {
            lua_pop(main, 1);
        } else {
            lua_pushvalue(main, -3);
            lua_insert(main, -2);
            lua_rawset(main, LUA_REGISTRYINDEX);
        }
    }
    coroutine_t* const outer = exchange_running_coroutine(main, this);

    on_coroutine_resume();
    const int status = lua_resume(thread, nullptr, arguments);

    exchange_running_coroutine(main, outer);
    // A coroutine that will be resumed again keeps the table it was made
    // with, which is the one about to be put back.
    if (!*destroyed && !environment_taken_ && status == LUA_YIELD) {
        environment_taken_ = true;
        lua_pushvalue(main, -1);
        take_environment(main);
    }
    // The settings table under its name.
    lua_rawset(main, LUA_REGISTRYINDEX);
    lua_pop(main, 1);

    if (*destroyed) {
        rethrow_exit_order(main);
        return;
    }
    if (exit_order_pending(main)) {
        on_coroutine_abandon();
        rethrow_exit_order(main);
    }

    switch (status) {
    case LUA_OK:
        returned_ = true;
        on_coroutine_finish();
        break;
    case LUA_YIELD:
        if (lua_gettop(thread) == 0) {
            lua_pushliteral(thread, "Coroutine tag not found");
            on_coroutine_error();
            break;
        }
        registry_get(thread, key::coroutine_tag);
        if (lua_rawequal(thread, -1, -2)) {
            lua_pop(thread, 2);
            on_coroutine_yield();
        } else {
            lua_pop(thread, 1);
            lua_pushliteral(thread, "Invalid coroutine tag");
            on_coroutine_error();
        }
        break;
    default:
        on_coroutine_error();
        break;
    }
}

} // namespace ox::lua
