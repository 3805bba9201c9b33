#pragma once

#include <memory>
#include <string>

#include <lua.hpp>

#include "lua/callback_wrapper.hpp"
#include "lua/registry_ref.hpp"

namespace ox::lua {

class thread_pool_t;

// Runs one Lua function in a coroutine of its own and tells the derived
// class, through the virtual operations, how each resumption ended. While it
// runs, it is the running coroutine (running_coroutine) and the registry
// holds its settings table, the one that was current when it was made; both
// get their previous values back afterwards, so resumptions nest.
class coroutine_t : public ox::util::callback_wrapper_t {
public:
    // Moves the function at `index` of L's stack onto a new thread, or one
    // of the pool. The caller then moves the arguments onto `thread()` and
    // calls `resume`. The pool gets the thread back once this object goes,
    // if the function returned and the script never got hold of the
    // thread. A spare flag (see callback_wrapper_t) spares the allocation
    // of one.
    //
    // A coroutine runs with the settings table in force when it was made.
    // One whose first resumption follows at once, with no script run in
    // between, finds that table in place then and takes it only if it
    // suspends itself: one that runs to its end in one go never reaches for
    // its own.
    enum first_resumption_t { later, at_once };
    coroutine_t(lua_State* L, int index, thread_pool_t* pool = nullptr, std::shared_ptr<bool>&& spare_flag = nullptr,
                first_resumption_t first = later);
    virtual ~coroutine_t();

    // Resumes the thread with the `arguments` values on top of its stack,
    // then calls one of the operations below, unless this object was
    // destroyed meanwhile. An exit order raised inside (see protect.hpp) is
    // thrown on from here after `on_coroutine_abandon`.
    void resume(int arguments);

    lua_State* thread() const noexcept { return thread_; }

    // The script got hold of the thread (coroutine.running): it runs no
    // other function.
    void keep_thread() noexcept { pool_ = nullptr; }

    // What begins the log lines of the script while this coroutine runs
    // (see log in library.hpp); none by default.
    virtual std::string log_prefix() const { return {}; }

protected:
    // The function returned; its results are on the thread's stack.
    virtual void on_coroutine_finish() = 0;
    // The function failed, with the error value on top of the thread's
    // stack, or suspended itself without the host's tag.
    virtual void on_coroutine_error() = 0;
    // The function suspended itself for a host operation.
    virtual void on_coroutine_yield() = 0;
    // Before every resumption.
    virtual void on_coroutine_resume() {}
    // An exit order is leaving through this resumption: undo what
    // on_coroutine_resume did. The coroutine is not resumed again.
    virtual void on_coroutine_abandon() {}

private:
    // Pops the table on top of L's stack as the coroutine's settings table.
    void take_environment(lua_State* L);

    lua_State* thread_;
    registry_ref_t thread_ref_;
    registry_ref_t environment_ref_;
    thread_pool_t* pool_;
    // environment_ref_ holds the coroutine's settings table. Until then it
    // is empty (or, while the constructor runs, what a kept thread brought).
    bool environment_taken_;
    bool returned_ = false;
};

// Makes coroutine.running of L's standard library tell the host coroutine
// whose thread it gives away (see keep_thread).
void watch_coroutine_running(lua_State* L);

} // namespace ox::lua
