#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include <lua.hpp>

#include "lua/registry_ref.hpp"

namespace ox::lua {

// Lua threads that ran a function to its end, kept to run another. A new
// thread costs the state, its stack and call list, and the collector's
// work on all of them; the hook of every message would pay that. A thread
// comes back only as a new one would be: nothing of its last run can show
// (see coroutine_t for which threads come back).
class thread_pool_t {
public:
    // Keeps at most `capacity` threads.
    explicit thread_pool_t(std::size_t capacity) : capacity_(capacity) {}

    // A thread made for L and the reference that keeps it: a kept one,
    // with the debug hook L would give a new one, or a new one.
    std::pair<lua_State*, registry_ref_t> take(lua_State* L);

    // Takes back a thread whose function returned, with the reference that
    // keeps it; drops it when the pool is full, or when a debug hook is set
    // on it or on the main state (the hook's function would stay
    // registered for the thread).
    void give_back(lua_State* thread, registry_ref_t&& reference);

private:
    std::size_t capacity_;
    std::vector<std::pair<lua_State*, registry_ref_t>> idle_;
};

} // namespace ox::lua
