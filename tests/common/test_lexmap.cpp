// The option tree: loose keys, conversion to and from ox::LexMap, and its
// printing into the log.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <google/protobuf/text_format.h>

#include "common/lexmap.hpp"
#include "tests/common/log_capture.hpp"

namespace {

using log_capture::record_t;
using log_capture::recording_log_t;
using strings_t = std::vector<std::string>;

ox::LexMap message_of(const std::string& text)
{
    ox::LexMap message;
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message)) << text;
    return message;
}

std::string text_of(const ox::LexMap& message)
{
    std::string text;
    google::protobuf::TextFormat::Printer printer;
    printer.SetSingleLineMode(true);
    printer.PrintToString(message, &text);
    return text;
}

TEST(lexmap_keys, normalize)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Log_Level", "loglevel"},
        {"LOGLEVEL", "loglevel"},
        {"___", ""},
        {"", ""},
        {"A1_b2", "a1b2"},
        {"\xc3\x84_\xc3\x96", "\xc3\x84\xc3\x96"},
        {"Z@[`{", "z@[`{"},
    };
    for (const auto& [key, normal] : cases)
        EXPECT_EQ(ox::normalize_key(key), normal) << key;
}

TEST(lexmap_keys, loose_equality)
{
    const struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"a_b", "AB", true},
        {"ab", "a", false},
        {"a", "ab", false},
        {"a_", "A", true},
        {"_", "", true},
        {"log_level", "LogLevel", true},
        {"log_level", "LOG__LEVEL_", true},
        {"ab", "ba", false},
        {"a\xc3", "A\xe3", false},
        {"", "x", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cf_lexmap_key_equal(c.a, c.b), c.equal) << c.a << " " << c.b;
        EXPECT_EQ(cf_lexmap_key_equal(c.b, c.a), c.equal) << c.b << " " << c.a;
        EXPECT_EQ(cf_lexmap_key_equal(c.a, c.b), ox::normalize_key(c.a) == ox::normalize_key(c.b));
    }
}

TEST(lexmap_keys, validity_and_camel_case)
{
    const std::pair<std::string, bool> valid[] = {
        {"log_level", true}, {"A9", true},   {"_", true},    {"", false},
        {"a-b", false},      {"a b", false}, {"a.b", false}, {"\xc3\xa9", false},
    };
    for (const auto& [key, expected] : valid)
        EXPECT_EQ(cf_lexmap_key_valid(key), expected) << key;

    const std::pair<std::string, std::string> camel[] = {
        {"log_level", "LogLevel"},         {"a", "A"},      {"", ""}, {"_x", "X"}, {"a__b", "AB"}, {"a_", "A"},
        {"already_Camel", "AlreadyCamel"}, {"x_1y", "X1y"},
    };
    for (const auto& [key, expected] : camel)
        EXPECT_EQ(cf_lexmap_key_to_camel(key), expected) << key;
}

TEST(lexmap_tree, loosely_equal_options_land_in_one_entry)
{
    const cf_lexmap_t tree(message_of(R"(
        option { key: "A_B" value { item: "x" } }
        option { key: "ab" value { item: "y" } }
        option { key: "m" map { option { key: "old" value {} } } }
        option { key: "M" map { option { key: "new" } } }
        option { key: "none" }
    )"));
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree.entries()[0].key, "A_B");
    ASSERT_TRUE(tree.entries()[0].node.values());
    EXPECT_EQ(*tree.entries()[0].node.values(), (strings_t{"x", "y"}));
    EXPECT_FALSE(tree.entries()[0].node.map());

    // A repeated key's tree replaces the earlier tree's content.
    EXPECT_EQ(tree.entries()[1].key, "m");
    const auto* nested = tree.entries()[1].node.map();
    ASSERT_TRUE(nested);
    ASSERT_EQ(nested->size(), 1u);
    EXPECT_EQ(nested->entries()[0].key, "new");
    EXPECT_FALSE(nested->entries()[0].node.values());

    EXPECT_EQ(tree.entries()[2].key, "none");
    EXPECT_FALSE(tree.entries()[2].node.values());
    EXPECT_FALSE(tree.entries()[2].node.map());
}

TEST(lexmap_tree, find_is_loose_but_erase_is_exact)
{
    cf_lexmap_t tree;
    tree.get("A_B").values().push_back("1");
    tree.add("ab", cf_lexmap_node_t(strings_t{"2"}));
    tree.add("A_B", cf_lexmap_node_t(strings_t{"3"}));

    const auto* found = std::as_const(tree).find("ab");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found->values(), strings_t{"1"});
    EXPECT_FALSE(tree.find("abc"));

    tree.erase("ab");
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.entries()[0].key, "A_B");
    EXPECT_EQ(tree.entries()[1].key, "A_B");
    tree.erase("A_B");
    EXPECT_TRUE(tree.empty());
}

TEST(lexmap_tree, get_appends_under_the_key_as_given)
{
    cf_lexmap_t tree;
    auto& node = tree.get("Log_Level");
    EXPECT_FALSE(std::as_const(node).values());
    EXPECT_FALSE(std::as_const(node).map());
    EXPECT_EQ(&tree.get("loglevel"), &tree.entries()[0].node);
    EXPECT_EQ(tree.entries()[0].key, "Log_Level");
    tree.clear();
    EXPECT_TRUE(tree.empty());
}

TEST(lexmap_tree, copies_are_deep_and_equality_compares_content)
{
    cf_lexmap_t inner;
    inner.get("k").values() = {"v"};
    cf_lexmap_t tree;
    tree.add("list", cf_lexmap_node_t(strings_t{"a", "b"}));
    tree.add("tree", inner);
    tree.add("both", cf_lexmap_node_t(strings_t{}));
    tree.get("both").map();

    cf_lexmap_t copy = tree;
    EXPECT_EQ(copy, tree);
    copy.get("tree").map().get("k").values().push_back("w");
    EXPECT_FALSE(copy == tree);
    EXPECT_EQ(std::as_const(tree).find("tree")->map()->find("k")->values()->size(), 1u);

    const struct {
        const char* name;
        std::function<void(cf_lexmap_t&)> change;
        bool equal;
    } cases[] = {
        {"keys compare loosely",
         [](cf_lexmap_t& t) {
             t = cf_lexmap_t();
             t.add("L_I_S_T", cf_lexmap_node_t(strings_t{"a", "b"}));
             t.add("tree", cf_lexmap_t());
             t.get("tree").map().get("k").values() = {"v"};
             t.add("BOTH", cf_lexmap_node_t(strings_t{}));
             t.get("both").map();
         },
         true},
        {"an empty list differs from none",
         [](cf_lexmap_t& t) {
             t.erase("both");
             t.add("both", cf_lexmap_node_t(cf_lexmap_t()));
         },
         false},
        {"an empty tree differs from none",
         [](cf_lexmap_t& t) {
             t.erase("both");
             t.add("both", cf_lexmap_node_t(strings_t{}));
         },
         false},
        {"order matters",
         [](cf_lexmap_t& t) {
             auto node = *t.find("list");
             t.erase("list");
             t.add("list", node);
         },
         false},
        {"item order matters",
         [](cf_lexmap_t& t) {
             t.get("list").values() = {"b", "a"};
         },
         false},
    };
    for (const auto& c : cases) {
        cf_lexmap_t changed = tree;
        c.change(changed);
        EXPECT_EQ(changed == tree, c.equal) << c.name;
    }

    cf_lexmap_node_t moved(std::move(copy.get("list")));
    EXPECT_EQ(moved.values(), (strings_t{"a", "b"}));
}

TEST(lexmap_tree, node_from_option)
{
    const auto message = message_of(R"(
        option { key: "v" value { item: "1" item: "2" } }
        option { key: "m" map { option { key: "x" value { item: "y" } } } }
        option { key: "n" }
        option { key: "e" value {} }
    )");
    const cf_lexmap_node_t v(message.option(0));
    EXPECT_EQ(*v.values(), (strings_t{"1", "2"}));
    EXPECT_FALSE(v.map());
    const cf_lexmap_node_t m(message.option(1));
    EXPECT_FALSE(m.values());
    ASSERT_TRUE(m.map());
    EXPECT_EQ(*m.map()->find("X")->values(), strings_t{"y"});
    const cf_lexmap_node_t n(message.option(2));
    EXPECT_FALSE(n.values());
    EXPECT_FALSE(n.map());
    const cf_lexmap_node_t e(message.option(3));
    ASSERT_TRUE(e.values());
    EXPECT_TRUE(e.values()->empty());
}

TEST(lexmap_proto, conversion_back_keeps_keys_cases_and_order)
{
    const std::string text = R"(option { key: "Log_Level" value { item: "x" item: "y" } } )"
                             R"(option { key: "nothing" } )"
                             R"(option { key: "empty_list" value { } } )"
                             R"(option { key: "empty_map" map { } } )"
                             R"(option { key: "nested" map { option { key: "deep" value { item: "z" } } } })";
    const cf_lexmap_t tree(message_of(text));
    ox::LexMap back;
    cf_lexmap_to_proto(tree, back);
    EXPECT_EQ(text_of(back), text_of(message_of(text)));
    EXPECT_EQ(back.option(1).data_case(), ox::LexOption::DATA_NOT_SET);
    EXPECT_EQ(back.option(2).data_case(), ox::LexOption::kValue);
    EXPECT_EQ(back.option(3).data_case(), ox::LexOption::kMap);
    EXPECT_TRUE(back.IsInitialized());
    EXPECT_EQ(cf_lexmap_t(back), tree);
}

TEST(lexmap_proto, conversion_appends_and_writes_a_list_over_a_tree)
{
    cf_lexmap_t tree;
    tree.get("both").values() = {"item"};
    tree.get("both").map().get("lost");
    ox::LexMap message = message_of(R"(option { key: "before" })");
    cf_lexmap_to_proto(tree, message);
    EXPECT_EQ(text_of(message),
              text_of(message_of(R"(option { key: "before" } option { key: "both" value { item: "item" } })")));
}

class lexmap_log : public testing::Test {
protected:
    void SetUp() override
    {
        recorder = std::make_shared<recording_log_t>();
        cf_set_log(recorder);
        cf_log_threshold = 0;
    }
    void TearDown() override { cf_log_threshold = 0; }
    std::shared_ptr<recording_log_t> recorder;
};

TEST_F(lexmap_log, one_record_per_leaf)
{
    const cf_lexmap_t tree(message_of(R"(
        option { key: "a" value { item: "x" item: "y" } }
        option { key: "b" }
        option { key: "c" map {} }
        option { key: "d" map { option { key: "e" value {} } option { key: "f" map { option { key: "g" value { item: "h" } } } } } }
    )"));
    cf_log_lexmap(2, "", tree);
    const std::vector<record_t> expected = {
        {2, "a = \"x\""},       {2, "a = \"y\""},          {2, "b = <nil>"},
        {2, "c = <empty map>"}, {2, "d.e = <empty list>"}, {2, "d.f.g = \"h\""},
    };
    EXPECT_EQ(recorder->records, expected);
}

TEST_F(lexmap_log, prefix_empty_tree_both_parts_and_threshold)
{
    cf_log_lexmap(1, "config.", cf_lexmap_t());
    EXPECT_EQ(recorder->records, (std::vector<record_t>{{1, "config.<empty map>"}}));

    cf_lexmap_t tree;
    tree.get("k").values() = {"v"};
    tree.get("k").map().get("inner").values() = {"w"};
    tree.get("l").values();
    tree.get("l").map();
    recorder->records.clear();
    cf_log_lexmap(3, "p:", tree);
    EXPECT_EQ(recorder->records,
              (std::vector<record_t>{
                  {3, "p:k = \"v\""}, {3, "p:k.inner = \"w\""}, {3, "p:l = <empty list>"}, {3, "p:l = <empty map>"}}));

    recorder->records.clear();
    cf_log_threshold = 4;
    cf_log_lexmap(3, "", tree);
    EXPECT_TRUE(recorder->records.empty());
}

} // namespace
