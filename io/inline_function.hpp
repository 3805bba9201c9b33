#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace io {

template <typename signature_t, std::size_t inside_size = 4 * sizeof(void*)>
class inline_function_t;

// A callable that works as a std::function, except that a target of up to
// inside_size bytes is kept inside it even when it holds shared pointers
// (std::function puts any such target on the heap): a completion handler
// that holds its owner and a pointer or two costs no allocation each time
// it is made. A larger target, or one whose move may throw, goes to the
// heap. Copies call targets of their own; a move hands the target over and
// leaves the source empty, as calling an empty one is not allowed.
template <typename result_t, typename... args_t, std::size_t inside_size>
class inline_function_t<result_t(args_t...), inside_size> {
public:
    inline_function_t() noexcept = default;
    inline_function_t(std::nullptr_t) noexcept {}

    template <typename target_t>
    requires(!std::is_same_v<std::decay_t<target_t>, inline_function_t> &&
             !std::is_same_v<std::decay_t<target_t>, std::nullptr_t> &&
             std::is_invocable_r_v<result_t, std::decay_t<target_t>&, args_t...>)
        inline_function_t(target_t&& target)
    {
        using stored_t = std::decay_t<target_t>;
        if constexpr (fits_inside<stored_t>)
            ::new (static_cast<void*>(storage_)) stored_t(std::forward<target_t>(target));
        else
            ::new (static_cast<void*>(storage_)) stored_t*(new stored_t(std::forward<target_t>(target)));
        ops_ = &ops_of<stored_t>;
    }

    inline_function_t(const inline_function_t& other)
    {
        if (other.ops_)
            other.ops_->copy(other.storage_, storage_);
        ops_ = other.ops_;
    }
    inline_function_t(inline_function_t&& other) noexcept { take(other); }
    inline_function_t& operator=(const inline_function_t& other)
    {
        if (this != &other) {
            inline_function_t copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    inline_function_t& operator=(inline_function_t&& other) noexcept
    {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    inline_function_t& operator=(std::nullptr_t) noexcept
    {
        reset();
        return *this;
    }
    ~inline_function_t() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    friend bool operator==(const inline_function_t& function, std::nullptr_t) noexcept { return !function; }

    // Only on a function that holds a target.
    result_t operator()(args_t... args) const { return ops_->call(storage_, std::forward<args_t>(args)...); }

private:
    // A target that may throw while it moves goes to the heap, so that
    // moving a function never throws.
    template <typename stored_t>
    static constexpr bool fits_inside = sizeof(stored_t) <= inside_size &&
                                        alignof(stored_t) <= alignof(std::max_align_t) &&
                                        std::is_nothrow_move_constructible_v<stored_t>;

    struct ops_t {
        result_t (*call)(void* storage, args_t... args);
        void (*copy)(const void* from, void* to);
        // Moves the target over and ends it at from.
        void (*relocate)(void* from, void* to) noexcept;
        void (*destroy)(void* storage) noexcept;
    };

    template <typename stored_t>
    static stored_t& target_in(void* storage) noexcept
    {
        if constexpr (fits_inside<stored_t>)
            return *std::launder(static_cast<stored_t*>(storage));
        else
            return **std::launder(static_cast<stored_t**>(storage));
    }

    template <typename stored_t>
    static constexpr ops_t ops_of{
        [](void* storage, args_t... args) -> result_t {
            return target_in<stored_t>(storage)(std::forward<args_t>(args)...);
        },
        [](const void* from, void* to) {
            const stored_t& target = target_in<stored_t>(const_cast<void*>(from));
            if constexpr (fits_inside<stored_t>)
                ::new (to) stored_t(target);
            else
                ::new (to) stored_t*(new stored_t(target));
        },
        [](void* from, void* to) noexcept {
            if constexpr (fits_inside<stored_t>) {
                stored_t& target = target_in<stored_t>(from);
                ::new (to) stored_t(std::move(target));
                target.~stored_t();
            } else {
                // The heap target changes hands.
                ::new (to) stored_t*(&target_in<stored_t>(from));
            }
        },
        [](void* storage) noexcept {
            if constexpr (fits_inside<stored_t>)
                target_in<stored_t>(storage).~stored_t();
            else
                delete &target_in<stored_t>(storage);
        }};

    void take(inline_function_t& other) noexcept
    {
        if (other.ops_)
            other.ops_->relocate(other.storage_, storage_);
        ops_ = std::exchange(other.ops_, nullptr);
    }

    // Forgets the target before it ends, should its end reach back here.
    void reset() noexcept
    {
        if (const ops_t* const ops = std::exchange(ops_, nullptr))
            ops->destroy(storage_);
    }

    alignas(std::max_align_t) mutable unsigned char storage_[inside_size];
    const ops_t* ops_ = nullptr;
};

} // namespace io
