#include "icap/answer_callback.hpp"

#include <array>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

// An answer callback holds its target inside or, when the target is large,
// on the heap: whichever, each copy calls a target of its own, a move hands
// the target over, and the last holder of a target releases what it holds.
TEST(answer_callback, copies_moves_and_releases_its_target)
{
    using callback_t = ic::answer_callback_t;
    const auto small = [](const std::shared_ptr<int>& held, std::vector<int>& calls) -> callback_t {
        return [held = std::shared_ptr<int>(held), &calls, count = 0](const auto&, const auto&) mutable {
            calls.push_back(*held * 100 + ++count);
        };
    };
    const auto large = [](const std::shared_ptr<int>& held, std::vector<int>& calls) -> callback_t {
        return [held = std::shared_ptr<int>(held), &calls, count = 0, padding = std::array<char, 128>{}](
                   const auto&, const auto&) mutable { calls.push_back(*held * 100 + ++count + padding[0]); };
    };
    using make_t = callback_t (*)(const std::shared_ptr<int>&, std::vector<int>&);
    for (const make_t make : {make_t(small), make_t(large)}) {
        const auto first = std::make_shared<int>(1);
        const auto second = std::make_shared<int>(2);
        std::vector<int> calls;
        {
            callback_t original = make(first, calls);
            original(nullptr, {});
            callback_t copy = original;
            copy(nullptr, {});
            original(nullptr, {});
            EXPECT_EQ(first.use_count(), 3);
            callback_t moved = std::move(original);
            moved(nullptr, {});
            EXPECT_EQ(first.use_count(), 3);
            callback_t other = make(second, calls);
            other = moved;
            EXPECT_EQ(second.use_count(), 1);
            EXPECT_EQ(first.use_count(), 4);
            other(nullptr, {});
            original = std::move(other);
            original(nullptr, {});
            EXPECT_EQ(first.use_count(), 4);
        }
        EXPECT_EQ(first.use_count(), 1);
        EXPECT_EQ(second.use_count(), 1);
        EXPECT_EQ(calls, (std::vector<int>{101, 102, 102, 103, 104, 105}));
    }
}

} // namespace
