#pragma once

#include <memory>
#include <utility>

namespace ox::util {

// Base of an object whose asynchronous operations may complete after it is
// gone. A completion wrapped by `wrap` holds only the shared flag, which the
// destructor sets, and then does nothing: a late completion never reaches a
// destroyed owner.
class callback_wrapper_t {
public:
    callback_wrapper_t() : destroyed_(std::make_shared<bool>(false)) {}
    ~callback_wrapper_t() { *destroyed_ = true; }

    callback_wrapper_t(const callback_wrapper_t&) = delete;
    callback_wrapper_t& operator=(const callback_wrapper_t&) = delete;

    template <class function_t>
    auto wrap(function_t&& function) const
    {
        return [destroyed = destroyed_, function = std::forward<function_t>(function)](auto&&... args) mutable {
            if (!*destroyed)
                function(std::forward<decltype(args)>(args)...);
        };
    }

    // True once the object is destroyed; a copy outlives it.
    const std::shared_ptr<bool>& destroyed_flag() const noexcept { return destroyed_; }

private:
    std::shared_ptr<bool> destroyed_;
};

} // namespace ox::util
