#include "lua/registry_ref.hpp"

#include <utility>

#include "lua/library.hpp"

namespace ox::lua {

registry_ref_t::registry_ref_t(lua_State* L) : main_(main_state(L)), ref_(luaL_ref(L, LUA_REGISTRYINDEX)) {}

registry_ref_t::registry_ref_t(registry_ref_t&& other) noexcept
    : main_(other.main_), ref_(std::exchange(other.ref_, LUA_REFNIL))
{
}

registry_ref_t& registry_ref_t::operator=(registry_ref_t&& other) noexcept
{
    if (this != &other) {
        if (ref_ >= 0)
            release();
        main_ = other.main_;
        ref_ = std::exchange(other.ref_, LUA_REFNIL);
    }
    return *this;
}

void registry_ref_t::release() noexcept
{
    // A negative reference (nil or none) holds nothing.
    if (main_ != nullptr && ref_ >= 0)
        luaL_unref(main_, LUA_REGISTRYINDEX, ref_);
    ref_ = LUA_REFNIL;
}

} // namespace ox::lua
