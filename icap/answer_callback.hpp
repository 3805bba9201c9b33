#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include <boost/system/error_code.hpp>

#include "protocol/icap_response.hpp"

namespace ic {

// The way the ICAP handler gives a query's answer back: called exactly once
// per query, with a finished answer and no error, or with an error when
// nothing is to be written. It works as a std::function, except that a
// target of up to six pointers' size is kept inside it even when it holds
// shared pointers (std::function puts any such target on the heap): the
// server's answer, which holds the connection's session and the query,
// costs no allocation per query. Unlike a std::function it is never empty.
class answer_callback_t {
public:
    using response_t = std::shared_ptr<io::icap::response_t>;

    template <typename target_t>
    requires(!std::is_same_v<std::decay_t<target_t>, answer_callback_t> &&
             std::is_invocable_v<std::decay_t<target_t>&, const response_t&, const boost::system::error_code&>)
        answer_callback_t(target_t&& target)
    {
        using stored_t = std::decay_t<target_t>;
        if constexpr (fits_inside<stored_t>)
            ::new (static_cast<void*>(storage_)) stored_t(std::forward<target_t>(target));
        else
            ::new (static_cast<void*>(storage_)) stored_t*(new stored_t(std::forward<target_t>(target)));
        ops_ = &ops_of<stored_t>;
    }
    answer_callback_t(const answer_callback_t& other) : ops_(other.ops_) { ops_->copy(other.storage_, storage_); }
    answer_callback_t(answer_callback_t&& other) noexcept : ops_(other.ops_)
    {
        ops_->move(other.storage_, storage_);
    }
    answer_callback_t& operator=(const answer_callback_t& other)
    {
        if (this != &other) {
            answer_callback_t copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    answer_callback_t& operator=(answer_callback_t&& other) noexcept
    {
        if (this != &other) {
            ops_->destroy(storage_);
            ops_ = other.ops_;
            ops_->move(other.storage_, storage_);
        }
        return *this;
    }
    ~answer_callback_t() { ops_->destroy(storage_); }

    void operator()(const response_t& response, const boost::system::error_code& error) const
    {
        ops_->call(storage_, response, error);
    }

private:
    static constexpr std::size_t inside_size = 6 * sizeof(void*);

    // A target that may throw while it moves goes to the heap, so
    // that moving a callback never throws. A callback moved from may
    // only be destroyed or assigned to.
    template <typename stored_t>
    static constexpr bool fits_inside =
        sizeof(stored_t) <= inside_size &&
        alignof(stored_t) <= alignof(std::max_align_t) && std::is_nothrow_move_constructible_v<stored_t>;

    struct ops_t {
        void (*call)(void* storage, const response_t& response, const boost::system::error_code& error);
        void (*copy)(const void* from, void* to);
        void (*move)(void* from, void* to) noexcept;
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
        [](void* storage, const response_t& response, const boost::system::error_code& error) {
            target_in<stored_t>(storage)(response, error);
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
                ::new (to) stored_t(std::move(target_in<stored_t>(from)));
            } else {
                // The heap target changes hands.
                stored_t* const target = &target_in<stored_t>(from);
                ::new (to) stored_t*(target);
                *std::launder(static_cast<stored_t**>(from)) = nullptr;
            }
        },
        [](void* storage) noexcept {
            if constexpr (fits_inside<stored_t>)
                target_in<stored_t>(storage).~stored_t();
            else
                delete *std::launder(static_cast<stored_t**>(storage));
        }};

    alignas(std::max_align_t) mutable unsigned char storage_[inside_size];
    const ops_t* ops_;
};

} // namespace ic
