#include "lua/thread_pool.hpp"

#include "lua/library.hpp"

namespace ox::lua {

std::pair<lua_State*, registry_ref_t> thread_pool_t::take(lua_State* L)
{
    if (idle_.empty()) {
        lua_State* thread = lua_newthread(L);
        return {thread, registry_ref_t(L)};
    }
    std::pair<lua_State*, registry_ref_t> taken = std::move(idle_.back());
    idle_.pop_back();
    // As lua_newthread does.
    lua_sethook(taken.first, lua_gethook(L), lua_gethookmask(L), lua_gethookcount(L));
    return taken;
}

void thread_pool_t::give_back(lua_State* thread, registry_ref_t&& reference)
{
    if (idle_.size() >= capacity_ || lua_gethook(thread) != nullptr || lua_gethook(main_state(thread)) != nullptr)
        return;
    lua_settop(thread, 0);
    idle_.emplace_back(thread, std::move(reference));
}

} // namespace ox::lua
