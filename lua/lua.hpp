#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <boost/core/noncopyable.hpp>
#include <boost/intrusive/list.hpp>
#include <boost/signals2/connection.hpp>

#include "lua/context.hpp"
#include "lua/hook.hpp"
#include "lua/library.hpp"
#include "lua/registry_ref.hpp"
#include "lua/thread_pool.hpp"

namespace ic {

class config_holder_t;
class inventory_t;
class verdict_t;

// The one Lua interpreter of the process: prepared once with the standard
// libraries, the support library and the script modules, it reloads the
// policy script at every settings change and runs message_hook for each
// transaction the check engine hands it. Everything happens on the event
// loop's thread.
class lua_t : private hook_t::owner_t, private boost::noncopyable {
public:
    using completion_t = hook_t::completion_t;

    // Prepares the interpreter and connects config_changed to the settings
    // holder's change signal; loads no script: the first settings do.
    explicit lua_t(inventory_t& inventory);
    // Disconnects, destroys the running hooks (completions still pending
    // for them then do nothing) and closes the interpreter.
    ~lua_t();

    // Slot of the settings change: package paths, the settings table and
    // the policy script. Any failure is logged as "Lua: " and the reason,
    // then throws ox::EC_BAD_CONFIG. Hooks already running keep the
    // function and settings they started with.
    void config_changed();

    // Runs message_hook for one transaction. The completion is called
    // later, never from inside this call, with the context and the verdict:
    // as the completion scope open around the call closes when the hook
    // decides at once (see io/completion_scope.hpp), else from the loop.
    void run_hook(context::context_t&& context, completion_t&& completion);
    // The same with the context made in place, in the hook.
    void run_hook(context::context_source_t&& source, completion_t&& completion);

    lua_State* state() const noexcept { return state_.get(); }

private:
    template <class context_arg_t>
    void start_hook(context_arg_t&& context, completion_t&& completion);
    void on_hook_done(hook_t& hook) override;
    // Destroys a hook and keeps what it leaves for the next one.
    void dispose(hook_t* hook) noexcept;
    // Every few hooks: lets the collector's heap grow by a fixed headroom
    // beyond its data (see lua.cpp), until a script sets its own pause.
    void tune_collector();
    void set_package_paths();
    void push_config();
    void load_hook();

    inventory_t& inventory_;
    ox::lua::state_ptr_t state_;
    // The name of the hook's registry slot, interned once: every message
    // reads the slot.
    ox::lua::registry_ref_t message_hook_name_;
    const config_holder_t* settings_;
    // The threads of hooks that returned, for the next hooks.
    ox::lua::thread_pool_t threads_;
    // The hooks that run, each made for its transaction.
    boost::intrusive::list<hook_t> hooks_;
    // What hooks that went leave for the next ones, at most as many as
    // threads are kept: every message makes a hook.
    struct spare_hook_t {
        void* storage;
        // Null when the flag was still held.
        std::shared_ptr<bool> flag;
    };
    std::vector<spare_hook_t> spare_hooks_;
    unsigned hooks_since_tuning_ = 0;
    // The collector's pause as last set here, in percent; 0 once a script
    // set one of its own.
    int pause_;
    boost::signals2::scoped_connection change_connection_;
};

} // namespace ic
