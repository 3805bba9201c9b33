#include "io/completion_scope.hpp"

#include <exception>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

namespace io {

namespace {

struct state_t {
    int depth = 0;
    // Kept with its room between scopes: enlisting costs no allocation.
    std::vector<std::shared_ptr<completion_scope_t::member_t>> waiting;
};

state_t& state()
{
    thread_local state_t current;
    return current;
}

// A step run by after_completion inside a scope.
class deferred_step_t final : public completion_scope_t::member_t {
public:
    deferred_step_t(boost::asio::any_io_executor executor, std::function<void()> step)
        : executor_(std::move(executor)), step_(std::move(step))
    {
    }

    void complete_now() override { step_(); }
    void complete_later() override { boost::asio::post(executor_, std::move(step_)); }

private:
    boost::asio::any_io_executor executor_;
    std::function<void()> step_;
};

// Posts what is still waiting and forgets it.
void complete_rest_later(state_t& current, std::size_t from)
{
    auto waiting = std::move(current.waiting);
    current.waiting.clear();
    for (std::size_t i = from; i < waiting.size(); ++i)
        waiting[i]->complete_later();
}

} // namespace

// Only the outermost scope runs the completions, and so only it needs to
// tell whether it ends by an exception.
completion_scope_t::completion_scope_t() noexcept
{
    state_t& current = state();
    exceptions_ = current.depth == 0 ? std::uncaught_exceptions() : 0;
    ++current.depth;
}

completion_scope_t::~completion_scope_t() noexcept(false)
{
    state_t& current = state();
    if (current.depth > 1) {
        --current.depth;
        return;
    }
    if (std::uncaught_exceptions() != exceptions_) {
        current.depth = 0;
        complete_rest_later(current, 0);
        return;
    }
    // The scope stays open while the completions run, so that sends they
    // write at once join the list; it grows while it is walked.
    std::size_t next = 0;
    try {
        while (next < current.waiting.size()) {
            const std::shared_ptr<member_t> member = std::move(current.waiting[next]);
            ++next;
            member->complete_now();
        }
    } catch (...) {
        current.depth = 0;
        complete_rest_later(current, next);
        throw;
    }
    current.waiting.clear();
    current.depth = 0;
}

bool completion_scope_t::open() noexcept
{
    return state().depth != 0;
}

void completion_scope_t::enlist(std::shared_ptr<member_t> member)
{
    state().waiting.push_back(std::move(member));
}

void after_completion(const boost::asio::any_io_executor& executor, std::function<void()> step)
{
    if (!completion_scope_t::open()) {
        boost::asio::post(executor, std::move(step));
        return;
    }
    completion_scope_t::enlist(std::make_shared<deferred_step_t>(executor, std::move(step)));
}

} // namespace io
