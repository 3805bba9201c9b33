#pragma once

#include <cstddef>

#include <boost/core/noncopyable.hpp>

namespace ox::lua {

// The allocation function of an interpreter: small blocks the collector
// frees are kept, by size, for the next objects of the same size. Every
// message makes its transaction tables and frees them a collection later;
// the C library's allocator pays its bookkeeping for each, and the I/O
// layer's block cache (io/recycling_allocator.hpp) keeps too few per size
// for the hundreds the collector frees at once as it sweeps, in sizes too
// coarse for Lua's small objects. What is kept stays bounded (kept_limit);
// larger blocks go to the C library directly. One interpreter per pool.
class block_pool_t : private boost::noncopyable {
public:
    block_pool_t() = default;
    // Returns the kept blocks; the interpreter must be closed by then.
    ~block_pool_t();

    // A lua_Alloc, with the pool as its user data.
    static void* allocate(void* pool, void* block, std::size_t old_size, std::size_t new_size) noexcept;

    // Bytes of blocks kept for reuse.
    std::size_t kept_bytes() const noexcept { return kept_bytes_; }

    // Sizes up to this one are served from the pool, in steps of `granule`.
    static constexpr std::size_t largest_pooled = 256;
    static constexpr std::size_t granule = 16;
    // At most this many bytes of free blocks are kept.
    static constexpr std::size_t kept_limit = std::size_t{1} << 20;

private:
    struct free_block_t {
        free_block_t* next;
    };
    static constexpr std::size_t class_count = largest_pooled / granule;
    // Sizes beyond the pool's.
    static constexpr std::size_t unpooled = class_count;

    static std::size_t class_of(std::size_t size) noexcept
    {
        return size > largest_pooled ? unpooled : (size - 1) / granule;
    }

    void* take(std::size_t size) noexcept;
    void give_back(void* block, std::size_t size) noexcept;

    free_block_t* free_[class_count] = {};
    std::size_t kept_bytes_ = 0;
};

} // namespace ox::lua
