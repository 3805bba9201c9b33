#pragma once

#include <functional>
#include <vector>

namespace ox::lua {
class coroutine_t;
}

namespace ic::context {

// A check of the transaction (the URL check or the body scan) that has been
// started and has not completed, with the coroutines waiting for it: the
// one that started it and any other of the same transaction (a task of the
// script) that needs its outcome meanwhile. Each waits for the one check
// instead of starting a check of its own.
class pending_check_t {
public:
    bool running() const noexcept { return running_; }
    void start() noexcept { running_ = true; }

    // The coroutine is resumed with no values once the check has completed,
    // unless it is gone by then.
    void add_waiter(ox::lua::coroutine_t* coroutine);

    // The check has completed: the resumptions of its waiters, in the order
    // they came, for the caller to run once the outcome is stored.
    std::vector<std::function<void()>> finish();

private:
    bool running_ = false;
    std::vector<std::function<void()>> waiters_;
};

} // namespace ic::context
