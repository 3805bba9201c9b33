#pragma once

#include <cstddef>
#include <new>

namespace io {

// Small blocks of memory kept per thread for reuse. The objects of a query
// (its record, its body streams) are made and dropped at every query; with
// many busy connections the general-purpose allocator's per-thread cache
// overflows and every one of them costs a trip through its heap. Blocks
// come in a few sizes; a thread keeps a bounded number of each, so a burst
// leaves little behind. A block may be given back on another thread than
// the one that took it.
class block_cache_t {
public:
    // Blocks are kept in sizes that are multiples of granule, up to
    // max_block; larger ones come from and go to the general allocator.
    static constexpr std::size_t granule = 64;
    static constexpr std::size_t max_block = 1024;
    // Kept blocks per size and thread.
    static constexpr std::size_t max_kept = 256;

    static void* take(std::size_t size);
    // size as given to take.
    static void give_back(void* block, std::size_t size) noexcept;
};

// The allocator of objects made through std::allocate_shared that come and
// go at every query: the shared object and its count take one block of the
// thread's cache.
template <typename T>
class recycling_allocator_t {
public:
    using value_type = T;

    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "over-aligned types are not recycled");

    recycling_allocator_t() noexcept = default;
    template <typename U>
    recycling_allocator_t(const recycling_allocator_t<U>&) noexcept
    {
    }

    T* allocate(std::size_t n) { return static_cast<T*>(block_cache_t::take(n * sizeof(T))); }
    void deallocate(T* block, std::size_t n) noexcept { block_cache_t::give_back(block, n * sizeof(T)); }

    template <typename U>
    bool operator==(const recycling_allocator_t<U>&) const noexcept
    {
        return true;
    }
};

} // namespace io
