#include "common/buffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using orx::buffer_t;

constexpr std::size_t max_size = std::numeric_limits<std::size_t>::max();

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string dump(const buffer_t& buffer)
{
    std::ostringstream out;
    out << buffer;
    return out.str();
}

void expect_too_small(auto&& slice)
{
    try {
        slice();
        FAIL() << "slice beyond the size was accepted";
    } catch (const std::range_error& error) {
        EXPECT_STREQ(error.what(), "buffer too small");
    }
}

TEST(buffer, constructors_copy_their_bytes)
{
    const std::string text("ab\0cd", 5);
    const char bytes[] = "xyz";
    struct case_t {
        const char* name;
        buffer_t buffer;
        std::string expected;
    };
    const case_t cases[] = {
        {"empty", buffer_t(), ""},
        {"pointer and length", buffer_t(bytes, std::size_t{2}), "xy"},
        {"begin and end", buffer_t(bytes + 1, bytes + 3), "yz"},
        {"string with a zero byte", buffer_t(text), text},
        {"zero-terminated", buffer_t("hello"), "hello"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.buffer.str(), c.expected) << c.name;
        EXPECT_EQ(c.buffer.size(), c.expected.size()) << c.name;
        if (!c.expected.empty()) {
            EXPECT_NE(c.buffer.data(), static_cast<const void*>(text.data())) << c.name;
        }
    }
    EXPECT_EQ(buffer_t().data(), nullptr);
    EXPECT_EQ(buffer_t(std::size_t{7}).size(), 7u);
}

TEST(buffer, slices_share_the_block_and_leave_the_source_alone)
{
    const buffer_t source("0123456789");
    const char* base = source.data();
    struct case_t {
        const char* name;
        buffer_t slice;
        std::ptrdiff_t at;
        std::string expected;
    };
    const case_t cases[] = {
        {"head", source.head(3), 0, "012"},
        {"tail", source.tail(3), 7, "789"},
        {"sub", source.sub(2, 5), 2, "23456"},
        {"whole head", source.head(10), 0, "0123456789"},
        {"head(0)", source.head(0), 0, ""},
        {"tail(0)", source.tail(0), 10, ""},
        {"sub(size, 0)", source.sub(10, 0), 10, ""},
        {"tail of a slice", source.sub(1, 5).tail(2), 4, "45"},
        {"head of a tail", source.tail(6).head(2), 4, "45"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.slice.str(), c.expected) << c.name;
        EXPECT_EQ(c.slice.data(), base + c.at) << c.name;
    }
    EXPECT_EQ(source.str(), "0123456789");
    EXPECT_EQ(source.data(), base);
}

TEST(buffer, slices_beyond_the_size_are_refused)
{
    const buffer_t source("0123456789");
    const buffer_t slice = source.sub(2, 4);
    expect_too_small([&] { return source.head(11); });
    expect_too_small([&] { return source.tail(11); });
    expect_too_small([&] { return source.sub(11, 0); });
    expect_too_small([&] { return source.sub(5, 6); });
    expect_too_small([&] { return slice.tail(5); });
    expect_too_small([&] { return buffer_t().head(1); });
    // A position and length whose sum wraps around must not pass the test.
    expect_too_small([&] { return source.sub(2, max_size); });
    expect_too_small([&] { return source.sub(max_size, 2); });
    EXPECT_EQ(source.str(), "0123456789");
}

TEST(buffer, append_grows_and_copies_on_write)
{
    buffer_t empty;
    empty.append("abc", 3);
    EXPECT_EQ(empty.str(), "abc");

    buffer_t original("abc");
    buffer_t copy = original;
    const buffer_t slice = original.head(2);
    copy.append(std::string("def"));
    EXPECT_EQ(copy.str(), "abcdef");
    EXPECT_EQ(original.str(), "abc");
    EXPECT_EQ(slice.str(), "ab");
    EXPECT_NE(copy.data(), original.data());

    buffer_t grown("xy");
    const std::string more = "0123456789";
    grown.append(more.data(), more.data() + more.size());
    EXPECT_EQ(grown.str(), "xy0123456789");

    buffer_t unchanged("xy");
    unchanged.append("", 0);
    EXPECT_EQ(unchanged.str(), "xy");
}

TEST(buffer, append_to_an_empty_buffer_shares_the_other_block)
{
    const buffer_t other("hello world");
    const buffer_t window = other.sub(6, 5);
    buffer_t target;
    target.append(window);
    EXPECT_EQ(target.data(), window.data());
    EXPECT_EQ(target.str(), "world");

    // The block is now shared, so a later append must not write into it.
    target.append("!", 1);
    EXPECT_EQ(target.str(), "world!");
    EXPECT_EQ(other.str(), "hello world");

    buffer_t truncated("abc");
    truncated.resize(0);
    truncated.append(window);
    EXPECT_EQ(truncated.data(), window.data());
}

TEST(buffer, append_of_its_own_bytes_is_safe)
{
    struct case_t {
        const char* name;
        void (*act)(buffer_t&);
        std::string expected;
    };
    const case_t cases[] = {
        {"whole buffer", [](buffer_t& b) { b.append(b); }, "abcdefabcdef"},
        {"raw pointer into itself", [](buffer_t& b) { b.append(b.data() + 1, 3); }, "abcdefbcd"},
        {"begin and end inside itself", [](buffer_t& b) { b.append(b.data(), b.data() + b.size()); }, "abcdefabcdef"},
        {"its own tail", [](buffer_t& b) { b.append(b.tail(2)); }, "abcdefef"},
        {"bytes past its window in the same block",
         [](buffer_t& b) {
             b.resize(2);
             b.append(b.data() + 4, 2);
         },
         "abef"},
    };
    for (const auto& c : cases) {
        buffer_t b("abcdef");
        c.act(b);
        EXPECT_EQ(b.str(), c.expected) << c.name;
    }
}

TEST(buffer, resize_keeps_the_leading_bytes)
{
    buffer_t b("abcdef");
    const char* before = b.data();
    b.resize(3);
    EXPECT_EQ(b.data(), before);
    EXPECT_EQ(b.str(), "abc");
    // The storage still holds the old bytes while nobody else saw the block.
    b.resize(6);
    EXPECT_EQ(b.str(), "abcdef");

    buffer_t shared("abcdef");
    const buffer_t keeper = shared;
    shared.resize(2);
    shared.resize(4);
    EXPECT_EQ(shared.view().substr(0, 2), "ab");
    EXPECT_NE(shared.data(), keeper.data());
    EXPECT_EQ(keeper.str(), "abcdef");

    buffer_t window = buffer_t("0123456789").sub(3, 2);
    window.resize(4);
    EXPECT_EQ(window.view().substr(0, 2), "34");

    buffer_t fresh;
    fresh.resize(5);
    EXPECT_EQ(fresh.size(), 5u);
    EXPECT_NE(fresh.data(), nullptr);
}

TEST(buffer, prepare_never_hands_out_bytes_another_buffer_sees)
{
    buffer_t alone("abcdef");
    const char* before = alone.data();
    alone.prepare(4);
    EXPECT_EQ(alone.data(), before);
    EXPECT_EQ(alone.str(), "abcd");

    buffer_t shared("abcdef");
    const buffer_t copy = shared;
    shared.prepare(4);
    EXPECT_NE(shared.data(), copy.data());
    EXPECT_EQ(shared.size(), 4u);
    EXPECT_EQ(copy.str(), "abcdef");

    buffer_t sliced("abcdef");
    const buffer_t head = sliced.head(3);
    sliced.prepare(8);
    std::fill(sliced.data(), sliced.data() + sliced.size(), 'z');
    EXPECT_EQ(head.str(), "abc");

    buffer_t grown("ab");
    grown.prepare(100);
    EXPECT_EQ(grown.size(), 100u);
    std::fill(grown.data(), grown.data() + grown.size(), 'y');

    buffer_t none;
    none.prepare(0);
    EXPECT_EQ(none.size(), 0u);
    none.prepare(3);
    EXPECT_EQ(none.size(), 3u);
}

TEST(buffer, contains_and_overlaps)
{
    const buffer_t whole("0123456789");
    const char* p = whole.data();
    struct case_t {
        const char* name;
        const void* at;
        std::size_t n;
        bool contains;
        bool overlaps;
    };
    const case_t cases[] = {
        {"whole", p, 10, true, true},
        {"inside", p + 2, 3, true, true},
        {"ends at the end", p + 7, 3, true, true},
        // The length counts from p, not from the buffer's start.
        {"runs past the end", p + 8, 3, false, true},
        {"starts before", p - 2, 3, false, true},
        {"just before", p - 3, 3, false, false},
        {"at the end", p + 10, 1, false, false},
        {"empty range inside", p + 4, 0, true, false},
        {"covers it all", p - 1, 12, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(whole.contains(c.at, c.n), c.contains) << c.name;
        EXPECT_EQ(whole.overlaps(c.at, c.n), c.overlaps) << c.name;
    }
    EXPECT_TRUE(whole.contains(whole.sub(3, 4)));
    EXPECT_TRUE(whole.overlaps(whole.tail(1)));
    EXPECT_FALSE(whole.contains(buffer_t("0123456789")));
    EXPECT_FALSE(buffer_t().contains(whole));
    EXPECT_FALSE(whole.overlaps(buffer_t()));
}

TEST(buffer, hex_dump_of_a_short_last_row)
{
    std::string bytes = "ABCDEFGHIJKLMNOP";
    bytes += '\x7f';
    const std::string rule(84, '-');
    const std::vector<std::string> expected = {
        rule,
        std::string(14, ' ').append("00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F ").append(21, ' '),
        rule,
        "[00000000]    41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50    ABCDEFGH  IJKLMNOP",
        "[00000010]    7F " + std::string(7 * 3 + 1 + 8 * 3 + 1, ' ') + "  \x7f" + std::string(7 + 2 + 8, ' '),
    };
    EXPECT_EQ(lines_of(dump(buffer_t(bytes))), expected);
}

TEST(buffer, hex_dump_marks_unprintable_bytes)
{
    const std::string bytes = {' ', '\x7f', '\x80', '\x00', '!', '\xff', '\n', '~'};
    const auto lines = lines_of(dump(buffer_t(bytes)));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "[00000000]    20 7F 80 00 21 FF 0A 7E  " + std::string(8 * 3 + 1, ' ') + "  .\x7f..!..~  " +
                            std::string(8, ' '));
}

TEST(buffer, hex_dump_repeats_the_header_every_twenty_rows)
{
    const auto lines = lines_of(dump(buffer_t(std::string(321, 'x'))));
    ASSERT_EQ(lines.size(), 3u + 20u + 3u + 1u);
    for (const auto& line : lines)
        EXPECT_EQ(line.size(), 84u) << line;
    EXPECT_EQ(lines[3].substr(0, 10), "[00000000]");
    EXPECT_EQ(lines[23], std::string(84, '-'));
    EXPECT_EQ(lines[26].substr(0, 10), "[00000140]");
    EXPECT_EQ(lines[26].substr(14, 3), "78 ");
}

TEST(buffer, hex_dump_leaves_the_stream_decimal)
{
    std::ostringstream out;
    out << std::setw(0) << buffer_t() << buffer_t("\xab") << 255 << ' ' << std::setw(3) << 7;
    const std::string text = out.str();
    EXPECT_EQ(text.substr(text.size() - 7), "255   7");
    EXPECT_EQ(dump(buffer_t()), "");
}

} // namespace
