#pragma once

// The task of orvex.async: a function run in a coroutine of its own, at
// once, until it finishes, fails or first suspends itself; `wait` gives its
// results or raises its error, suspending the waiting coroutine while the
// task still runs.

#include <functional>
#include <string>
#include <vector>

#include <lua.hpp>

#include "common/util_log.hpp"
#include "lua/coroutine.hpp"

namespace ox::lua::orvex {

inline constexpr const char* future_metatable = "ox.lua.orvex.future_metatable";

class future_t : public ox::lua::coroutine_t {
public:
    enum state_t { running = 0, finished = 1, failed = 2 };

    // Takes the function at `index` of L's stack; the caller moves the
    // arguments onto thread() and resumes.
    future_t(lua_State* L, int index);
    ~future_t() override;

    state_t state() const noexcept { return state_; }
    // Called once the task has finished or failed, in the order added.
    void add_waiter(std::function<void()> waiter) { waiters_.push_back(std::move(waiter)); }
    // Finished: pushes copies of the results onto target and returns their
    // count. Failed: pushes the error value and returns -1.
    int push_results(lua_State* target);

    // That of the coroutine that made the task (the hook's, for a task a
    // hook started).
    std::string log_prefix() const override { return log_prefix_; }

protected:
    void on_coroutine_finish() override;
    void on_coroutine_error() override;
    void on_coroutine_yield() override;
    void on_coroutine_resume() override;
    void on_coroutine_abandon() override;

private:
    // While the task runs, the log function is the one in force where the
    // task was made.
    void install_logger();
    void restore_logger();
    void complete(state_t state);

    state_t state_ = running;
    ox::util::logger_t captured_logger_;
    ox::util::logger_t saved_logger_;
    std::string log_prefix_;
    std::vector<std::function<void()>> waiters_;
};

// The script's wait() of a task, the future's userdata in the first upvalue.
int wait(lua_State* L);
int wait_continuation(lua_State* L, int status, lua_KContext context);
// __gc of the future's userdata.
int future_gc(lua_State* L);

// orvex.async(f, ...)
int async(lua_State* L);

} // namespace ox::lua::orvex
