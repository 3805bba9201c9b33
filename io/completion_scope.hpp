#pragma once

#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>

namespace io {

// A stretch of code on the event loop's thread, such as the run of a
// completion, at whose end the sends written at once inside it complete.
// A send's completion never runs inside the call that started it; without
// a scope it is posted, which costs a turn of the loop. Inside one it runs
// as soon as the outermost scope of the thread closes, in the order the
// sends were written; a send started by such a completion and written at
// once completes there too. Should the code inside throw, the completions
// still due are posted instead.
class completion_scope_t {
public:
    // Something with a completion that waits for the scope to close.
    class member_t {
    public:
        // Runs the waiting completion.
        virtual void complete_now() = 0;
        // Posts it, for a scope that ends with an exception.
        virtual void complete_later() = 0;

    protected:
        ~member_t() = default;
    };

    completion_scope_t() noexcept;
    ~completion_scope_t() noexcept(false);
    completion_scope_t(const completion_scope_t&) = delete;
    completion_scope_t& operator=(const completion_scope_t&) = delete;

    // A scope is open on this thread.
    static bool open() noexcept;
    // Calls the member's complete_now() when the outermost scope closes.
    // Only while a scope is open.
    static void enlist(std::shared_ptr<member_t> member);

private:
    int exceptions_;
};

// Runs step once the code running now has returned: as the outermost
// completion scope of the thread closes, or, with none open, on the loop's
// next turn. As with a post it never runs inside the call; inside a scope
// it costs no turn of the loop. A scope left by an exception posts it.
void after_completion(const boost::asio::any_io_executor& executor, std::function<void()> step);

} // namespace io
