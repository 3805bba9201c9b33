#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include <lua.hpp>

#include "lua/block_pool.hpp"

namespace {

using ox::lua::block_pool_t;

void* make(block_pool_t& pool, std::size_t size)
{
    return block_pool_t::allocate(&pool, nullptr, LUA_TTABLE, size);
}

void release(block_pool_t& pool, void* block, std::size_t size)
{
    EXPECT_EQ(block_pool_t::allocate(&pool, block, size, 0), nullptr);
}

// A block resized within its size class, across classes, into and out of
// the pooled sizes keeps its bytes; the sanitizer sees a block smaller than
// asked for.
struct resize_case_t {
    std::size_t from;
    std::size_t to;
};

void PrintTo(const resize_case_t& c, std::ostream* out)
{
    *out << c.from << " to " << c.to;
}

class BlockPoolResize : public testing::TestWithParam<resize_case_t> {};

TEST_P(BlockPoolResize, KeepsTheBytesThatFit)
{
    const resize_case_t c = GetParam();
    block_pool_t pool;
    // A kept block of the target size first: a move must not hand out
    // memory that is still in use.
    release(pool, make(pool, c.to), c.to);
    auto* block = static_cast<unsigned char*>(make(pool, c.from));
    ASSERT_NE(block, nullptr);
    for (std::size_t i = 0; i < c.from; ++i)
        block[i] = static_cast<unsigned char>(i * 7 + 1);
    auto* resized = static_cast<unsigned char*>(block_pool_t::allocate(&pool, block, c.from, c.to));
    ASSERT_NE(resized, nullptr);
    for (std::size_t i = 0; i < std::min(c.from, c.to); ++i)
        ASSERT_EQ(resized[i], static_cast<unsigned char>(i * 7 + 1)) << i;
    std::memset(resized, 0xA5, c.to);
    release(pool, resized, c.to);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockPoolResize,
                         testing::Values(resize_case_t{1, 16}, resize_case_t{17, 32}, resize_case_t{24, 100},
                                         resize_case_t{100, 24}, resize_case_t{200, 256}, resize_case_t{256, 257},
                                         resize_case_t{200, 4000}, resize_case_t{4000, 100}, resize_case_t{1000, 3000},
                                         resize_case_t{3000, 1000}));

TEST(BlockPool, FreedBlockServesTheNextOfItsSize)
{
    block_pool_t pool;
    void* first = make(pool, 40);
    release(pool, first, 40);
    EXPECT_EQ(pool.kept_bytes(), 48u);
    void* larger = make(pool, 49);
    EXPECT_NE(larger, first);
    void* same_class = make(pool, 33);
    EXPECT_EQ(same_class, first);
    EXPECT_EQ(pool.kept_bytes(), 0u);
    release(pool, larger, 49);
    release(pool, same_class, 33);
}

TEST(BlockPool, KeepsNoMoreThanItsLimit)
{
    block_pool_t pool;
    std::vector<void*> blocks;
    const std::size_t count = block_pool_t::kept_limit / block_pool_t::largest_pooled + 16;
    for (std::size_t i = 0; i < count; ++i)
        blocks.push_back(make(pool, block_pool_t::largest_pooled));
    for (void* block : blocks)
        release(pool, block, block_pool_t::largest_pooled);
    EXPECT_EQ(pool.kept_bytes(), block_pool_t::kept_limit);
}

} // namespace
