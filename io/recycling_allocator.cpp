#include "io/recycling_allocator.hpp"

#include <array>
#include <vector>

#include <sanitizer/asan_interface.h>

namespace io {

namespace {

constexpr std::size_t classes = block_cache_t::max_block / block_cache_t::granule;

// Set once the thread's cache is gone: blocks given back while the thread's
// other objects are destroyed after it go straight to the allocator.
thread_local bool cache_closed = false;

struct cache_t {
    std::array<std::vector<void*>, classes> kept;

    ~cache_t()
    {
        cache_closed = true;
        for (std::size_t index = 0; index < kept.size(); ++index) {
            for (void* block : kept[index]) {
                ASAN_UNPOISON_MEMORY_REGION(block, (index + 1) * block_cache_t::granule);
                ::operator delete(block);
            }
        }
    }
};

cache_t& cache()
{
    thread_local cache_t blocks;
    return blocks;
}

// The index of the size class of a block of size bytes (1 to max_block).
std::size_t size_class(std::size_t size)
{
    return (size - 1) / block_cache_t::granule;
}

} // namespace

void* block_cache_t::take(std::size_t size)
{
    if (size == 0 || size > max_block || cache_closed)
        return ::operator new(size);
    const std::size_t index = size_class(size);
    std::vector<void*>& blocks = cache().kept[index];
    if (blocks.empty())
        return ::operator new((index + 1) * granule);
    void* const block = blocks.back();
    blocks.pop_back();
    ASAN_UNPOISON_MEMORY_REGION(block, (index + 1) * granule);
    return block;
}

void block_cache_t::give_back(void* block, std::size_t size) noexcept
{
    if (size == 0 || size > max_block || cache_closed) {
        ::operator delete(block);
        return;
    }
    std::vector<void*>& blocks = cache().kept[size_class(size)];
    if (blocks.size() == max_kept) {
        ::operator delete(block);
        return;
    }
    // Room for every block that may be kept, made at the first: the
    // vector never grows while a block is given back.
    if (blocks.capacity() == 0) {
        try {
            blocks.reserve(max_kept);
        } catch (const std::bad_alloc&) {
            ::operator delete(block);
            return;
        }
    }
    // A kept block is poisoned until it is taken again, so that the
    // sanitizers still catch a use of an object after it was destroyed.
    ASAN_POISON_MEMORY_REGION(block, (size_class(size) + 1) * granule);
    blocks.push_back(block);
}

} // namespace io
