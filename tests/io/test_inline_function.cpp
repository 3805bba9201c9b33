#include "io/inline_function.hpp"

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using function_t = io::inline_function_t<int(int)>;

// A target that holds a shared pointer, and pads itself out to the size
// asked for: inside the function or, past its room, on the heap.
template <std::size_t padding>
function_t make_target(const std::shared_ptr<int>& held)
{
    return [held, pad = std::array<char, padding>{}](int n) { return *held + n + pad[0]; };
}

struct case_t {
    std::string name;
    function_t (*make)(const std::shared_ptr<int>&);
};

// Whether a function holds a target tells a handler that waits from one
// that was handed on or dropped: a move leaves the source empty, and
// emptying one releases what its target held, wherever the target lives.
TEST(inline_function, empties_and_releases_as_it_is_handed_on)
{
    const std::vector<case_t> cases = {
        {"inside", &make_target<1>},
        {"on the heap", &make_target<256>},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const auto held = std::make_shared<int>(10);
        function_t empty;
        EXPECT_FALSE(empty);
        EXPECT_TRUE(empty == nullptr);
        EXPECT_FALSE(function_t(empty));

        function_t first = c.make(held);
        ASSERT_TRUE(first);
        EXPECT_EQ(first(1), 11);
        EXPECT_EQ(held.use_count(), 2);

        function_t second = std::move(first);
        EXPECT_FALSE(first);
        ASSERT_TRUE(second);
        EXPECT_EQ(second(2), 12);
        EXPECT_EQ(held.use_count(), 2);

        first = second;
        EXPECT_EQ(held.use_count(), 3);
        EXPECT_EQ(first(3), 13);

        second = nullptr;
        EXPECT_FALSE(second);
        EXPECT_EQ(held.use_count(), 2);

        first = empty;
        EXPECT_FALSE(first);
        EXPECT_EQ(held.use_count(), 1);

        second = c.make(held);
        first = std::move(second);
        second = std::move(first);
        EXPECT_FALSE(first);
        EXPECT_EQ(second(4), 14);
        EXPECT_EQ(held.use_count(), 2);
    }
}

// A target whose end reaches back to the function that held it (a handler
// whose last owner is what the function called) finds it empty already.
TEST(inline_function, is_empty_while_its_target_ends)
{
    struct watcher_t {
        explicit watcher_t(const function_t* watched, std::vector<bool>* seen) : watched(watched), seen(seen) {}
        ~watcher_t() { seen->push_back(static_cast<bool>(*watched)); }
        const function_t* watched;
        std::vector<bool>* seen;
    };
    std::vector<bool> seen;
    {
        function_t function;
        function = [watcher = std::make_shared<watcher_t>(&function, &seen)](int n) { return n; };
        function = nullptr;
        EXPECT_EQ(seen, std::vector<bool>{false});
    }
}

} // namespace
