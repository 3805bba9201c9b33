#pragma once

#include <lua.hpp>

namespace ox::lua {

// Owns a reference to a Lua value kept alive in the registry. The reference
// is released through the main state, so it may be dropped whichever thread
// of the state made it.
class registry_ref_t {
public:
    registry_ref_t() noexcept = default;
    // Pops the value on top of L's stack into the registry.
    explicit registry_ref_t(lua_State* L);
    registry_ref_t(registry_ref_t&& other) noexcept;
    registry_ref_t& operator=(registry_ref_t&& other) noexcept;
    // Inline: references are moved about (threads kept for the next hook)
    // far more often than they are dropped.
    ~registry_ref_t()
    {
        if (ref_ >= 0)
            release();
    }

    registry_ref_t(const registry_ref_t&) = delete;
    registry_ref_t& operator=(const registry_ref_t&) = delete;

    // Pushes the referenced value onto L's stack (nil when empty).
    void push(lua_State* L) const { lua_rawgeti(L, LUA_REGISTRYINDEX, ref_); }
    int ref() const noexcept { return ref_; }

private:
    void release() noexcept;

    lua_State* main_ = nullptr;
    int ref_ = LUA_REFNIL;
};

} // namespace ox::lua
