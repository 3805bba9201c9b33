#include "lua/block_pool.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sanitizer/asan_interface.h>

namespace ox::lua {

namespace {

// A kept block is poisoned but for its link to the next one until it is
// taken again, so that the sanitizers still catch a use after Lua freed it.
void poison(void* block, std::size_t bytes)
{
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + sizeof(void*), bytes - sizeof(void*));
}

void unpoison(void* block, std::size_t bytes)
{
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
}

} // namespace

block_pool_t::~block_pool_t()
{
    for (std::size_t size_class = 0; size_class < class_count; ++size_class) {
        for (free_block_t* list = free_[size_class]; list != nullptr;) {
            unpoison(list, (size_class + 1) * granule);
            std::free(std::exchange(list, list->next));
        }
    }
}

void* block_pool_t::allocate(void* pool, void* block, std::size_t old_size, std::size_t new_size) noexcept
{
    auto& self = *static_cast<block_pool_t*>(pool);
    // Without a block, the old size names the kind of object to make.
    if (block == nullptr)
        return new_size == 0 ? nullptr : self.take(new_size);
    if (new_size == 0) {
        self.give_back(block, old_size);
        return nullptr;
    }
    const std::size_t old_class = class_of(old_size);
    const std::size_t new_class = class_of(new_size);
    if (old_class == new_class && old_class != unpooled)
        return block;
    if (old_class == unpooled && new_class == unpooled) {
        void* moved = std::realloc(block, new_size);
        // Lua counts on a block that shrinks staying where it is.
        return moved == nullptr && new_size < old_size ? block : moved;
    }
    void* moved = self.take(new_size);
    if (moved == nullptr) {
        // Kept where a smaller block was asked for, it is freed under the
        // smaller size later and serves that size as well.
        return new_size < old_size ? block : nullptr;
    }
    std::memcpy(moved, block, std::min(old_size, new_size));
    self.give_back(block, old_size);
    return moved;
}

void* block_pool_t::take(std::size_t size) noexcept
{
    const std::size_t size_class = class_of(size);
    if (size_class == unpooled)
        return std::malloc(size);
    const std::size_t bytes = (size_class + 1) * granule;
    free_block_t*& list = free_[size_class];
    if (list == nullptr)
        return std::malloc(bytes);
    kept_bytes_ -= bytes;
    free_block_t* const block = std::exchange(list, list->next);
    unpoison(block, bytes);
    return block;
}

void block_pool_t::give_back(void* block, std::size_t size) noexcept
{
    const std::size_t size_class = class_of(size);
    const std::size_t bytes = (size_class + 1) * granule;
    if (size_class == unpooled || kept_bytes_ + bytes > kept_limit) {
        std::free(block);
        return;
    }
    free_[size_class] = new (block) free_block_t{free_[size_class]};
    poison(block, bytes);
    kept_bytes_ += bytes;
}

} // namespace ox::lua
