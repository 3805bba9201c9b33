#include "io/recycling_allocator.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

namespace {

using cache_t = io::block_cache_t;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// A block given back is handed out again for any size of its size class,
// and only there; blocks beyond the largest class are not kept.
TEST(block_cache_test, blocks_come_back_within_their_size_class)
{
    struct case_t {
        const char* name;
        std::size_t given_back;
        std::size_t taken;
        bool same_block;
    } const cases[] = {
        {"same size", 40, 40, true},
        {"smaller, same class", 64, 1, true},
        {"larger, same class", 65, 128, true},
        {"next class", 64, 65, false},
        {"largest class", cache_t::max_block, cache_t::max_block - 1, true},
        {"beyond the largest class", cache_t::max_block + 1, cache_t::max_block + 1, false},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        void* const first = cache_t::take(c.given_back);
        static_cast<char*>(first)[c.given_back - 1] = 'x';
        cache_t::give_back(first, c.given_back);
        void* const second = cache_t::take(c.taken);
        // The whole size asked for is there to write.
        static_cast<char*>(second)[c.taken - 1] = 'y';
        // A block the cache does not keep goes back to the C library, which
        // may hand the same address out again at once; only the sanitizer's
        // quarantine keeps it from doing so.
        if (c.given_back <= cache_t::max_block || sanitized) {
            EXPECT_EQ(second == first, c.same_block);
        }
        cache_t::give_back(second, c.taken);
    }
}

// Under AddressSanitizer a kept block is poisoned, so that a use of an
// object after it was destroyed is still caught; taken again, it is usable.
TEST(block_cache_test, a_kept_block_is_poisoned_until_taken_again)
{
#if defined(__SANITIZE_ADDRESS__)
    void* const block = cache_t::take(100);
    cache_t::give_back(block, 100);
    EXPECT_TRUE(__asan_address_is_poisoned(block));
    EXPECT_TRUE(__asan_address_is_poisoned(static_cast<char*>(block) + 2 * cache_t::granule - 1));
    void* const again = cache_t::take(100);
    ASSERT_EQ(again, block);
    EXPECT_EQ(__asan_region_is_poisoned(again, 100), nullptr);
    cache_t::give_back(again, 100);
#else
    GTEST_SKIP() << "nothing is poisoned without AddressSanitizer";
#endif
}

// A thread keeps at most max_kept blocks of a size; the rest go back to the
// allocator, and everything kept is still handed out.
TEST(block_cache_test, keeps_a_bounded_number)
{
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < cache_t::max_kept + 10; ++i)
        blocks.push_back(cache_t::take(200));
    for (void* block : blocks)
        cache_t::give_back(block, 200);
    std::vector<void*> again;
    for (std::size_t i = 0; i < cache_t::max_kept + 10; ++i)
        again.push_back(cache_t::take(200));
    std::size_t reused = 0;
    for (void* block : again)
        reused += std::count(blocks.begin(), blocks.end(), block) != 0 ? 1 : 0;
    EXPECT_GE(reused, cache_t::max_kept);
    for (void* block : again)
        cache_t::give_back(block, 200);
}

// Objects made through the allocator work as any shared object, whether
// they fit a kept block or not, and their memory is reused.
TEST(recycling_allocator_test, shared_objects_of_any_size)
{
    struct small_t {
        std::string text;
    };
    struct large_t {
        char bytes[2 * cache_t::max_block];
        std::string text;
    };
    auto small = std::allocate_shared<small_t>(io::recycling_allocator_t<small_t>(), small_t{std::string(100, 's')});
    auto large = std::allocate_shared<large_t>(io::recycling_allocator_t<large_t>());
    large->text = std::string(100, 'l');
    EXPECT_EQ(small->text, std::string(100, 's'));
    EXPECT_EQ(large->text, std::string(100, 'l'));
    const void* const where = small.get();
    small.reset();
    large.reset();
    auto again = std::allocate_shared<small_t>(io::recycling_allocator_t<small_t>(), small_t{"again"});
    EXPECT_EQ(static_cast<const void*>(again.get()), where);
    EXPECT_EQ(again->text, "again");
}

} // namespace
