#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/param_map.hpp"

using io::http::param_map_t;

namespace {

std::string text(const param_map_t& fields)
{
    std::ostringstream out;
    out << fields;
    return out.str();
}

} // namespace

TEST(param_map, names_compare_without_case_and_keep_first_spelling)
{
    param_map_t fields;
    fields.add("content-length", "5");
    fields.add("Content-Length", "7");
    ASSERT_EQ(fields.fields().size(), 1u);
    EXPECT_EQ(fields.fields().begin()->first, "content-length");
    EXPECT_EQ(fields.get_all("CONTENT-LENGTH"), (std::vector<std::string>{"5", "7"}));
    EXPECT_EQ(fields.content_length(), 5);
    EXPECT_EQ(text(fields), "content-length: 5\r\ncontent-length: 7\r\n");
}

TEST(param_map, writes_fields_in_case_insensitive_name_order)
{
    struct case_t {
        std::vector<std::string> names;
        std::string expected;
    } const cases[] = {
        {{"Host", "Accept", "X-B", "x-a"}, "Accept: v\r\nHost: v\r\nx-a: v\r\nX-B: v\r\n"},
        // Upper-cased 'A' sorts before '_', and '[' after 'Z'.
        {{"X_Y", "XA"}, "XA: v\r\nX_Y: v\r\n"},
        {{"X[", "XZ"}, "XZ: v\r\nX[: v\r\n"},
        {{"Ab", "A"}, "A: v\r\nAb: v\r\n"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        param_map_t fields;
        for (const auto& name : c.names)
            fields.add(name, "v");
        EXPECT_EQ(text(fields), c.expected);
    }
}

// The entries are kept sorted as they come: whatever the order of the adds,
// and past the room taken for a typical head, every name is found and the
// fields come out in name order with their values in the order added.
TEST(param_map, any_add_order_and_any_count_keep_names_sorted_and_values_in_order)
{
    const std::vector<std::string> sorted{"Accept",      "Allow", "Connection", "Content-Length", "Date", "ETag",
                                          "Host",        "ISTag", "Preview",    "Server",         "Via",  "X-A",
                                          "X-Client-IP", "X-Z"};
    struct case_t {
        const char* label;
        std::vector<std::size_t> order; // indexes into sorted
    } const cases[] = {
        {"ascending", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
        {"descending", {13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
        {"interleaved", {6, 1, 12, 3, 9, 0, 13, 7, 2, 11, 5, 10, 4, 8}},
        // Around the number of names looked up one by one.
        {"eight", {7, 0, 6, 1, 5, 2, 4, 3}},
        {"nine", {8, 7, 6, 5, 4, 3, 2, 1, 0}},
        {"one", {4}},
        {"three", {6, 1, 3}},
    };
    for (const auto& c : cases) {
        param_map_t fields;
        std::string expected;
        for (std::size_t index : c.order) {
            // Every other name twice: a second value past the one kept in
            // the entry, long enough to leave the string's own room.
            fields.add(sorted[index], "first " + sorted[index]);
            if (index % 2 == 0)
                fields.add(sorted[index], std::string(40, 'v') + sorted[index]);
        }
        std::vector<std::size_t> present = c.order;
        std::sort(present.begin(), present.end());
        for (std::size_t index : present) {
            const std::string& name = sorted[index];
            std::vector<std::string> values{"first " + name};
            if (index % 2 == 0)
                values.push_back(std::string(40, 'v') + name);
            EXPECT_EQ(fields.get_all(name), values) << c.label << " " << name;
            EXPECT_EQ(fields.get(name), values.front()) << c.label;
            for (const auto& value : values)
                expected += name + ": " + value + "\r\n";
        }
        EXPECT_EQ(text(fields), expected) << c.label;
        EXPECT_FALSE(fields.has("Absent")) << c.label;
        EXPECT_FALSE(fields.has("Zzz")) << c.label;
        EXPECT_FALSE(fields.has("")) << c.label;
    }
}

// A map copied or moved keeps its fields, and one cleared or emptied by
// removes takes fields again.
TEST(param_map, copies_and_reuse_keep_the_fields)
{
    param_map_t fields;
    for (int i = 0; i < 12; ++i)
        fields.add("X-" + std::to_string(i), std::string(30, static_cast<char>('a' + i)));
    fields.add("X-3", "again");
    const param_map_t copy = fields;
    param_map_t moved = std::move(fields);
    EXPECT_EQ(text(copy), text(moved));
    EXPECT_EQ(copy.get_all("x-3"), (std::vector<std::string>{std::string(30, 'd'), "again"}));
    moved.clear();
    EXPECT_TRUE(moved.empty());
    moved.add("B", "2");
    moved.add("a", "1");
    EXPECT_EQ(text(moved), "a: 1\r\nB: 2\r\n");
    moved.remove("A");
    moved.remove("b", "2");
    EXPECT_TRUE(moved.empty());
    moved.add("C", "3");
    EXPECT_EQ(text(moved), "C: 3\r\n");
}

// Removing fields, by name or by their last value, keeps the others in name
// order and findable, whether the map is large or small, and the map takes
// fields again afterwards.
TEST(param_map, removals_keep_the_name_order_at_any_size)
{
    struct case_t {
        const char* label;
        std::size_t count;
    } const cases[] = {{"small", 5}, {"at the edge", 9}, {"large", 40}};
    for (const auto& c : cases) {
        param_map_t fields;
        std::vector<std::string> names;
        // Added in reverse name order: every name goes before the others.
        for (std::size_t i = c.count; i-- > 0;) {
            const std::string name = "F" + std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i);
            names.push_back(name);
            fields.add(name, name);
        }
        std::sort(names.begin(), names.end(), io::http::field_name_less_t());
        for (std::size_t i = 0; i < names.size(); i += 3) {
            if (i % 2 == 0)
                fields.remove(names[i]);
            else
                fields.remove(names[i], names[i]);
        }
        std::string expected;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i % 3 == 0) {
                EXPECT_FALSE(fields.has(names[i])) << c.label << " " << names[i];
                continue;
            }
            EXPECT_EQ(fields.get(names[i]), names[i]) << c.label;
            expected += names[i] + ": " + names[i] + "\r\n";
        }
        EXPECT_EQ(text(fields), expected) << c.label;
        fields.add("A", "first");
        fields.add("Zz", "last");
        EXPECT_EQ(text(fields), "A: first\r\n" + expected + "Zz: last\r\n") << c.label;
        for (const auto& name : names)
            fields.remove(name);
        fields.remove("a");
        EXPECT_EQ(text(fields), "Zz: last\r\n") << c.label;
        fields.remove("ZZ", "last");
        EXPECT_TRUE(fields.empty()) << c.label;
        fields.add("B", "2");
        fields.add("a", "1");
        EXPECT_EQ(text(fields), "a: 1\r\nB: 2\r\n") << c.label;
    }
}

// A map emptied and filled again, as a pooled query's map is, holds exactly
// what a new map given the same fields holds, whatever it held before: no
// name, spelling, extra value or text of an earlier field shows through the
// slots and room it keeps, whether the values come as views or as strings.
TEST(param_map, a_refilled_map_holds_only_its_new_fields)
{
    using fields_t = std::vector<std::pair<std::string, std::string>>;
    const std::string long_text(param_map_t::kept_text + 10, 'L');
    fields_t many;
    for (int i = 11; i >= 0; --i)
        many.emplace_back("X-" + std::to_string(i), std::string(30, static_cast<char>('a' + i)));
    const struct {
        const char* label;
        fields_t fields;
    } befores[] = {
        {"a query head", {{"Host", "h"}, {"Allow", "204"}, {"Encapsulated", "req-hdr=0, null-body=170"}}},
        {"repeated values", {{"Via", "1"}, {"via", "2"}, {"VIA", "3"}, {"Host", "h"}}},
        {"long texts", {{long_text, long_text}, {"Host", long_text}, {"Host", "again"}}},
        {"many names", many},
    };
    const struct {
        const char* label;
        void (*empty)(param_map_t&);
    } empties[] = {
        {"cleared", [](param_map_t& fields) { fields.clear(); }},
        {"every name removed",
         [](param_map_t& fields) {
             while (!fields.empty())
                 fields.remove(fields.fields().begin()->first);
         }},
        {"moved from", [](param_map_t& fields) { param_map_t taken = std::move(fields); }},
    };
    const struct {
        const char* label;
        fields_t fields;
    } afters[] = {
        {"nothing", {}},
        {"one field", {{"host", "other"}}},
        {"a query head", {{"Encapsulated", "res-hdr=0, res-body=93"}, {"Host", "x"}, {"Preview", "0"}}},
        {"repeated values", {{"Via", "9"}, {"Host", "h"}, {"via", "8"}}},
        {"many names", many},
    };
    const auto expect_same = [](const param_map_t& fields, const param_map_t& fresh, const fields_t& names) {
        EXPECT_EQ(text(fields), text(fresh));
        EXPECT_EQ(fields.fields().size(), fresh.fields().size());
        for (const auto& [name, value] : names) {
            EXPECT_EQ(fields.has(name), fresh.has(name)) << name;
            EXPECT_EQ(fields.get_all(name),
                      std::vector<std::string>(fresh.get_all(name).begin(), fresh.get_all(name).end()))
                << name;
        }
    };
    for (const auto& before : befores) {
        for (const auto& empty : empties) {
            for (const auto& after : afters) {
                SCOPED_TRACE(std::string(before.label) + ", " + empty.label + ", then " + after.label);
                param_map_t fresh;
                for (const auto& [name, value] : after.fields)
                    fresh.add(name, value);
                param_map_t from_views;
                param_map_t from_strings;
                for (const auto& [name, value] : before.fields) {
                    from_views.add(name, value);
                    from_strings.add(name, value);
                }
                empty.empty(from_views);
                empty.empty(from_strings);
                EXPECT_TRUE(from_views.empty());
                for (const auto& [name, value] : after.fields) {
                    from_views.add(name, std::string_view(value));
                    from_strings.add(name, std::string(value));
                }
                expect_same(from_views, fresh, before.fields);
                expect_same(from_views, fresh, after.fields);
                expect_same(from_strings, fresh, before.fields);
                expect_same(from_strings, fresh, after.fields);
            }
        }
    }
}

TEST(param_map, lookups_of_absent_fields_create_nothing)
{
    param_map_t fields;
    EXPECT_EQ(fields.get("X"), "");
    EXPECT_TRUE(fields.get_all("X").empty());
    EXPECT_FALSE(fields.has("X"));
    EXPECT_TRUE(fields.empty());
    fields.remove("X");
    fields.remove("X", "v");
    EXPECT_TRUE(fields.empty());
}

TEST(param_map, remove_value_keeps_order_and_drops_emptied_field)
{
    param_map_t fields;
    for (const auto* value : {"x", "y", "x", ""})
        fields.add("F", value);
    EXPECT_TRUE(fields.has("f", ""));
    EXPECT_FALSE(fields.has("f", "X"));
    fields.remove("f", "x");
    EXPECT_EQ(fields.get_all("F"), (std::vector<std::string>{"y", ""}));
    fields.remove("F", "y");
    fields.remove("F", "");
    EXPECT_FALSE(fields.has("F"));
    fields.add("A", "1");
    fields.add("B", "2");
    fields.remove("a");
    EXPECT_EQ(text(fields), "B: 2\r\n");
    fields.clear();
    EXPECT_TRUE(fields.empty());
}

TEST(param_map, content_length_reads_the_first_value_as_a_signed_number)
{
    struct case_t {
        std::vector<std::string> values;
        std::int64_t expected;
    } const cases[] = {
        {{}, -1},
        {{"0"}, 0},
        {{"42"}, 42},
        {{"  17"}, 17},
        {{"+8"}, 8},
        {{"12abc"}, 12},
        {{"abc"}, 0},
        {{""}, 0},
        {{"9223372036854775807"}, 9223372036854775807},
        // A negative value comes back as written; the framing choosers
        // take any negative length for none.
        {{"-1"}, -1},
        {{"-5"}, -5},
        {{" \t-70x"}, -70},
        {{"-0"}, 0},
        {{"-"}, 0},
        {{"+-5"}, 0},
        {{"-9223372036854775808"}, std::numeric_limits<std::int64_t>::min()},
        // Values that do not fit in 64 bits are no length at all.
        {{"-9223372036854775809"}, -1},
        {{"9223372036854775808"}, -1},
        {{"99999999999999999999999"}, -1},
        {{"3", "4"}, 3},
    };
    for (const auto& c : cases) {
        param_map_t fields;
        for (const auto& value : c.values)
            fields.add("Content-Length", value);
        EXPECT_EQ(fields.content_length(), c.expected) << (c.values.empty() ? "" : c.values[0]);
    }
}

TEST(param_map, framing_tests_look_at_the_whole_first_value)
{
    struct case_t {
        const char* name;
        std::vector<std::string> values;
        bool chunked, keep_alive, close;
    } const cases[] = {
        {"Transfer-Encoding", {"chunked"}, true, false, false},
        {"transfer-encoding", {"CHUNKED"}, true, false, false},
        {"Transfer-Encoding", {"chunked "}, false, false, false},
        {"Transfer-Encoding", {"gzip, chunked"}, false, false, false},
        {"Transfer-Encoding", {"gzip", "chunked"}, false, false, false},
        {"Connection", {"keep-alive"}, false, true, false},
        {"Connection", {"CLOSE"}, false, false, true},
        {"Connection", {"close, foo"}, false, false, false},
        {"Connection", {"foo", "close"}, false, false, false},
    };
    for (const auto& c : cases) {
        param_map_t fields;
        for (const auto& value : c.values)
            fields.add(c.name, value);
        EXPECT_EQ(fields.is_chunked(), c.chunked) << c.values[0];
        EXPECT_EQ(fields.is_keep_alive(), c.keep_alive) << c.values[0];
        EXPECT_EQ(fields.is_close(), c.close) << c.values[0];
    }
}

TEST(param_map, line_breaks_inside_names_and_values_cannot_split_the_head)
{
    param_map_t fields;
    fields.add("X-Evil", "a\r\nInjected: 1");
    fields.add("Y\nZ", "b\rc\n");
    EXPECT_EQ(text(fields), "X-Evil: a  Injected: 1\r\nY Z: b c \r\n");
}
