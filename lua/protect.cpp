#include "lua/protect.hpp"

#include <exception>
#include <utility>

#include "app/core/need_restart.hpp"
#include "lua/exception_ptr.hpp"
#include "lua/library.hpp"
#include "schemas/error.pb.h"

namespace ox::lua {

namespace {

// Exit orders parked in any state and not yet thrown: while there are none,
// no resumption needs to look in its registry.
int parked_exit_orders = 0;

int raise(lua_State* L, std::exception_ptr failure, bool exit_order)
{
    push_exception_ptr(L, std::move(failure));
    if (exit_order) {
        registry_get(L, key::exit_order);
        if (lua_isnil(L, -1))
            ++parked_exit_orders;
        lua_pop(L, 1);
        lua_pushvalue(L, -1);
        registry_set(L, key::exit_order);
    }
    return lua_error(L);
}

} // namespace

int protect_call(lua_State* L, int (*body)(void*), void* context)
{
    std::exception_ptr failure;
    bool exit_order = false;
    try {
        return body(context);
    } catch (ox::ErrorCode) {
        failure = std::current_exception();
        exit_order = true;
    } catch (const ic::need_restart_t&) {
        failure = std::current_exception();
        exit_order = true;
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    // Raised outside the handlers: Lua's unwinding is an exception too.
    return raise(L, std::move(failure), exit_order);
}

bool exit_order_pending(lua_State* L)
{
    if (parked_exit_orders == 0)
        return false;
    registry_get(L, key::exit_order);
    const bool pending = !lua_isnil(L, -1);
    lua_pop(L, 1);
    return pending;
}

void rethrow_exit_order(lua_State* L)
{
    if (parked_exit_orders == 0)
        return;
    registry_get(L, key::exit_order);
    std::exception_ptr* order = to_exception_ptr(L, -1);
    const std::exception_ptr taken = order != nullptr ? *order : nullptr;
    lua_pop(L, 1);
    if (!taken)
        return;
    lua_pushnil(L);
    registry_set(L, key::exit_order);
    --parked_exit_orders;
    std::rethrow_exception(taken);
}

} // namespace ox::lua
