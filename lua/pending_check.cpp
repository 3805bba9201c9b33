#include "lua/pending_check.hpp"

#include <utility>

#include "lua/coroutine.hpp"

namespace ic::context {

void pending_check_t::add_waiter(ox::lua::coroutine_t* coroutine)
{
    waiters_.push_back(coroutine->wrap([coroutine] { coroutine->resume(0); }));
}

std::vector<std::function<void()>> pending_check_t::finish()
{
    running_ = false;
    std::vector<std::function<void()>> waiters = std::move(waiters_);
    waiters_.clear();
    return waiters;
}

} // namespace ic::context
