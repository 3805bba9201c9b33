#pragma once

#include <cstddef>
#include <new>

namespace io {

// Room for the event loop's record of one operation (its handler and
// state) that someone starts again and again, kept with what stays from
// one start to the next: a record made at every start costs no
// allocation. The loop's own small cache holds only one or two records,
// too few for many busy connections. One record at a time fits; another
// one while the room is taken, or one larger than the room, comes from the
// general allocator.
template <std::size_t size>
class handler_room_t {
public:
    // The allocator a handler associates with itself, seeing this room.
    template <typename T>
    class allocator_t {
    public:
        using value_type = T;

        explicit allocator_t(handler_room_t& room) noexcept : room_(&room) {}
        template <typename U>
        allocator_t(const allocator_t<U>& other) noexcept : room_(other.room_)
        {
        }

        T* allocate(std::size_t n)
        {
            if (!room_->taken_ && n * sizeof(T) <= size && alignof(T) <= alignof(std::max_align_t)) {
                room_->taken_ = true;
                return reinterpret_cast<T*>(room_->bytes_);
            }
            return static_cast<T*>(::operator new(n * sizeof(T)));
        }

        void deallocate(T* block, std::size_t) noexcept
        {
            if (static_cast<void*>(block) == static_cast<void*>(room_->bytes_))
                room_->taken_ = false;
            else
                ::operator delete(block);
        }

        template <typename U>
        bool operator==(const allocator_t<U>& other) const noexcept
        {
            return room_ == other.room_;
        }

    private:
        template <typename U>
        friend class allocator_t;

        handler_room_t* room_;
    };

    handler_room_t() noexcept = default;
    // A copy is a room of its own.
    handler_room_t(const handler_room_t&) noexcept {}
    handler_room_t& operator=(const handler_room_t&) noexcept { return *this; }

    allocator_t<void> allocator() noexcept { return allocator_t<void>(*this); }
    bool taken() const noexcept { return taken_; }

private:
    alignas(std::max_align_t) unsigned char bytes_[size];
    bool taken_ = false;
};

} // namespace io
