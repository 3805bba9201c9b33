#include "lua/thread_pool.hpp"

#include <utility>

#include "lua/library.hpp"

namespace ox::lua {

thread_pool_t::thread_t thread_pool_t::take(lua_State* L)
{
    if (idle_.empty()) {
        lua_State* thread = lua_newthread(L);
        return {thread, registry_ref_t(L), {}};
    }
    thread_t taken = std::move(idle_.back());
    idle_.pop_back();
    // As lua_newthread does; a kept thread has none (see give_back).
    if (lua_Hook hook = lua_gethook(L))
        lua_sethook(taken.thread, hook, lua_gethookmask(L), lua_gethookcount(L));
    return taken;
}

void thread_pool_t::give_back(thread_t&& thread)
{
    if (idle_.size() >= capacity_ || lua_gethook(thread.thread) != nullptr ||
        lua_gethook(main_state(thread.thread)) != nullptr)
        return;
    lua_settop(thread.thread, 0);
    idle_.push_back(std::move(thread));
}

} // namespace ox::lua
