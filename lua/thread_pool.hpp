#pragma once

#include <cstddef>
#include <vector>

#include <lua.hpp>

#include "lua/registry_ref.hpp"

namespace ox::lua {

// Lua threads that ran a function to its end, kept to run another. A new
// thread costs the state, its stack and call list, and the collector's
// work on all of them; the hook of every message would pay that. A thread
// comes back only as a new one would be: nothing of its last run can show
// (see coroutine_t for which threads come back). It comes back with the
// reference to the settings table its last coroutine took (one resumed as
// it is made takes none unless it suspends itself), which the next one
// takes over when its table is the same (the settings seldom change): a
// kept table lives on until its thread is taken again.
class thread_pool_t {
public:
    struct thread_t {
        lua_State* thread;
        // What keeps the thread.
        registry_ref_t reference;
        // Empty for a new thread.
        registry_ref_t environment;
    };

    // Keeps at most `capacity` threads.
    explicit thread_pool_t(std::size_t capacity) : capacity_(capacity) {}

    // A thread made for L: a kept one, with the debug hook L would give a
    // new one, or a new one.
    thread_t take(lua_State* L);

    // Takes back a thread whose function returned; drops it when the pool
    // is full, or when a debug hook is set on it or on the main state (the
    // hook's function would stay registered for the thread).
    void give_back(thread_t&& thread);

private:
    std::size_t capacity_;
    std::vector<thread_t> idle_;
};

} // namespace ox::lua
