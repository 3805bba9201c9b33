#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <boost/core/noncopyable.hpp>
#include <boost/intrusive/list_hook.hpp>

#include <lua.hpp>

#include "io/completion_scope.hpp"
#include "lua/context.hpp"
#include "lua/coroutine.hpp"

namespace ic {

class inventory_t;
class verdict_t;

// Runs message_hook for one ICAP transaction in a coroutine of its own and
// turns what the script did into exactly one verdict. A script that fails
// or answers anything but "pass" or "block" blocks the message or lets it
// pass, as block_unchecked says; a failed body transfer overrides whatever
// the script answered. The lines the script and the tasks it started log
// carry "Hook <address>: ".
class hook_t final : public ox::lua::coroutine_t,
                     public boost::intrusive::list_base_hook<>,
                     private io::completion_scope_t::member_t,
                     private boost::noncopyable {
public:
    // Gets the context to move away or leave; the hook and what it still
    // holds go once it has returned.
    using completion_t = std::function<void(context::context_t&&, const std::shared_ptr<verdict_t>&)>;

    // Whoever keeps the hook, told once the completion has returned: it may
    // destroy the hook then.
    class owner_t {
    public:
        virtual void on_hook_done(hook_t& hook) = 0;

    protected:
        ~owner_t() = default;
    };

    // The function to run is on top of L's stack. Runs the script up to its
    // first suspension or its end, on a thread of the pool if there is one.
    // The completion always runs later: as the completion scope open when
    // the verdict came closes (no Lua call is on the stack then), or else
    // from the event loop. The context is given, or made in place from a
    // context::context_source_t. The spare flag is one for coroutine_t.
    template <class context_arg_t>
    hook_t(lua_State* L, inventory_t& inventory, context_arg_t&& context, completion_t&& completion,
           ox::lua::thread_pool_t* threads = nullptr, owner_t* owner = nullptr,
           std::shared_ptr<bool>&& spare_flag = nullptr)
        : coroutine_t(L, -1, threads, std::move(spare_flag), at_once),
          inventory_(&inventory),
          context_(std::forward<context_arg_t>(context)),
          completion_(std::move(completion)),
          owner_(owner),
          block_unchecked_(blocks_unchecked(inventory))
    {
        start();
    }
    ~hook_t() override;

    // "Hook <address>: "
    std::string log_prefix() const override;

protected:
    void on_coroutine_finish() override;
    void on_coroutine_error() override;
    void on_coroutine_yield() override {}

private:
    static bool blocks_unchecked(const inventory_t& inventory);
    void start();
    std::shared_ptr<verdict_t> allow();
    std::shared_ptr<verdict_t> early_verdict();
    std::shared_ptr<verdict_t> on_failure(std::exception_ptr failure);
    std::shared_ptr<verdict_t> hook_result_to_verdict();
    std::shared_ptr<verdict_t> block_reason_to_verdict();
    void complete(const std::shared_ptr<verdict_t>& verdict);
    // Calls the completion with the context and the verdict, then tells the
    // owner; never while a Lua call is on the stack (the completion may
    // destroy the hook).
    void complete_now() override;
    // The same from a task of the event loop, which does nothing once the
    // hook is gone.
    void complete_later() override;

    inventory_t* inventory_;
    context::context_t context_;
    completion_t completion_;
    std::shared_ptr<verdict_t> verdict_;
    owner_t* owner_;
    bool block_unchecked_;
};

} // namespace ic
