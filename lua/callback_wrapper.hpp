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
    // Takes over the flag of an owner that is gone, when nothing holds it
    // any more (see reusable_flag); makes one when it is null.
    explicit callback_wrapper_t(std::shared_ptr<bool>&& spare)
        : destroyed_(spare ? std::move(spare) : std::make_shared<bool>(false))
    {
        *destroyed_ = false;
    }
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

    // A flag taken from destroyed_flag() before its owner went, once the
    // owner is gone: itself when no wrapped completion holds it, so that
    // another owner may take it over, else null.
    static std::shared_ptr<bool> reusable_flag(std::shared_ptr<bool>&& flag) noexcept
    {
        return flag.use_count() == 1 ? std::move(flag) : nullptr;
    }

private:
    std::shared_ptr<bool> destroyed_;
};

} // namespace ox::util
