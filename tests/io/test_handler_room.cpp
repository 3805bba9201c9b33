#include "io/handler_room.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

using room_t = io::handler_room_t<128>;

template <std::size_t n>
using bytes_t = std::array<unsigned char, n>;

bool inside(const room_t& room, const void* p)
{
    const auto begin = reinterpret_cast<std::uintptr_t>(&room);
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return at >= begin && at < begin + sizeof room;
}

// One record that fits takes the room while it is free; another one at the
// same time, or one too large, comes from the general allocator and leaves
// the room as it was.
TEST(handler_room_test, one_record_at_a_time_fits)
{
    room_t room;
    room_t::allocator_t<bytes_t<100>> fitting(room);
    room_t::allocator_t<bytes_t<200>> too_large(room);

    bytes_t<200>* const large = too_large.allocate(1);
    EXPECT_FALSE(inside(room, large));
    EXPECT_FALSE(room.taken());

    bytes_t<100>* const first = fitting.allocate(1);
    EXPECT_TRUE(inside(room, first));
    EXPECT_TRUE(room.taken());
    (*first)[99] = 1;

    bytes_t<100>* const second = fitting.allocate(1);
    EXPECT_FALSE(inside(room, second));
    (*second)[99] = 2;
    fitting.deallocate(second, 1);
    EXPECT_TRUE(room.taken());

    fitting.deallocate(first, 1);
    EXPECT_FALSE(room.taken());
    too_large.deallocate(large, 1);

    // Freed, the room takes the next record again.
    bytes_t<100>* const again = fitting.allocate(1);
    EXPECT_EQ(static_cast<void*>(again), static_cast<void*>(first));
    fitting.deallocate(again, 1);
}

// The allocator rebinds to the types the event loop makes, all seeing the
// same room, and works for shared objects too.
TEST(handler_room_test, rebound_allocators_share_the_room)
{
    room_t room;
    const room_t::allocator_t<void> plain = room.allocator();
    const room_t::allocator_t<std::string> strings(plain);
    EXPECT_TRUE(plain == strings);
    room_t other;
    EXPECT_FALSE(plain == other.allocator());

    auto text = std::allocate_shared<std::string>(strings, "kept in the room");
    EXPECT_TRUE(room.taken());
    EXPECT_TRUE(inside(room, text.get()));
    EXPECT_EQ(*text, "kept in the room");
    text.reset();
    EXPECT_FALSE(room.taken());
}

} // namespace
