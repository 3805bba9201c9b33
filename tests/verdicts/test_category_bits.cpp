// The bit of every URL category and threat class, and the conversions
// between values, bits and script names.

#include "icap/verdicts/category_bits.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct url_row_t {
    ox::UrlCategory category;
    std::uint32_t bit;
    const char* script_name;
};

// The whole table; the black list has no script name.
const url_row_t url_table[] = {
    {ox::UC_INFECTION_SOURCE, 0x1, "infection_source"},
    {ox::UC_NOT_RECOMMENDED, 0x2, "not_recommended"},
    {ox::UC_ADULT_CONTENT, 0x4, "adult_content"},
    {ox::UC_VIOLENCE, 0x8, "violence"},
    {ox::UC_WEAPONS, 0x10, "weapons"},
    {ox::UC_GAMBLING, 0x20, "gambling"},
    {ox::UC_DRUGS, 0x40, "drugs"},
    {ox::UC_OBSCENE_LANGUAGE, 0x80, "obscene_language"},
    {ox::UC_CHATS, 0x100, "chats"},
    {ox::UC_TERRORISM, 0x200, "terrorism"},
    {ox::UC_FREE_EMAIL, 0x400, "free_email"},
    {ox::UC_SOCIAL_NETWORKS, 0x800, "social_networks"},
    {ox::UC_OWNERS_NOTICE, 0x1000, "owners_notice"},
    {ox::UC_ONLINE_GAMES, 0x2000, "online_games"},
    {ox::UC_ANONYMIZERS, 0x4000, "anonymizers"},
    {ox::UC_CRYPTOCURRENCY_MINING_POOLS, 0x8000, "cryptocurrency_mining_pools"},
    {ox::UC_JOBS, 0x10000, "jobs"},
    {ox::UC_BLACK_LIST, 0x20000000, nullptr},
};

struct threat_row_t {
    ox::VirusType type;
    std::uint32_t bit;
    const char* script_name;
};

const threat_row_t threat_table[] = {
    {ox::SE_KNOWN_VIRUS, 0x1, "known_virus"},
    {ox::SE_VIRUS_MODIFICATION, 0x2, "virus_modification"},
    {ox::SE_UNKNOWN_VIRUS, 0x4, "unknown_virus"},
    {ox::SE_ADWARE, 0x8, "adware"},
    {ox::SE_DIALER, 0x10, "dialer"},
    {ox::SE_JOKE, 0x20, "joke"},
    {ox::SE_RISKWARE, 0x40, "riskware"},
    {ox::SE_HACKTOOL, 0x80, "hacktool"},
};

TEST(category_bits, url_categories_both_ways)
{
    for (const url_row_t& row : url_table) {
        SCOPED_TRACE(ox::UrlCategory_Name(row.category));
        EXPECT_EQ(ic::url_category_to_bit(row.category), row.bit);
        EXPECT_EQ(ic::bit_to_url_category(row.bit), row.category);
        EXPECT_EQ(ic::url_category_name(row.category), row.script_name ? row.script_name : "");
        if (row.script_name) {
            EXPECT_EQ(ic::url_category_name_to_bit(row.script_name), row.bit);
        }
    }
    EXPECT_EQ(ic::url_category_name(static_cast<ox::UrlCategory>(18)), "");
    // Nothing sets bit 30, but it reads as the black list.
    EXPECT_EQ(ic::bit_to_url_category(0x40000000), ox::UC_BLACK_LIST);
}

TEST(category_bits, threat_classes)
{
    for (const threat_row_t& row : threat_table) {
        SCOPED_TRACE(row.script_name);
        EXPECT_EQ(ic::threat_category_to_bit(row.type), row.bit);
        EXPECT_EQ(ic::threat_category_name_to_bit(row.script_name), row.bit);
        EXPECT_EQ(ic::threat_category_name(row.type), row.script_name);
    }
    EXPECT_EQ(ic::threat_category_name(static_cast<ox::VirusType>(9)), "");
}

TEST(category_bits, names_from_scripts)
{
    struct case_t {
        const char* name;
        std::uint32_t url_bit;
        std::uint32_t threat_bit;
    };
    const case_t cases[] = {
        {"Adult_Content", 0x4, 0},
        {"JOBS", 0x10000, 0},
        {"HACKTOOL", 0, 0x80},
        {"Known_Virus", 0, 0x1},
        // The black list has no name; neither has the prefix of the enum.
        {"black_list", 0, 0},
        {"uc_jobs", 0, 0},
        {"se_adware", 0, 0},
        {"virus", 0, 0},
        {"", 0, 0},
        {"jobs ", 0, 0},
        {"adult-content", 0, 0},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ic::url_category_name_to_bit(c.name), c.url_bit);
        EXPECT_EQ(ic::threat_category_name_to_bit(c.name), c.threat_bit);
    }
}

TEST(category_bits, repeated_field_to_set)
{
    struct case_t {
        std::vector<int> categories;
        std::uint32_t expected;
    };
    const case_t cases[] = {
        {{}, 0},
        {{ox::UC_INFECTION_SOURCE, ox::UC_OWNERS_NOTICE, ox::UC_BLACK_LIST}, 0x1 | 0x1000 | 0x20000000},
        {{ox::UC_JOBS, ox::UC_JOBS}, 0x10000},
    };
    for (const case_t& c : cases) {
        google::protobuf::RepeatedField<int> field(c.categories.begin(), c.categories.end());
        EXPECT_EQ(ic::url_categories_to_bits(field), c.expected);
    }
}

// Values and bits outside the tables mean a fault inside the daemon.
TEST(category_bits_death, outside_the_tables_aborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ic::url_category_to_bit(static_cast<ox::UrlCategory>(18)), "");
    EXPECT_DEATH(ic::url_category_to_bit(static_cast<ox::UrlCategory>(0)), "");
    EXPECT_DEATH(ic::bit_to_url_category(0), "");
    EXPECT_DEATH(ic::bit_to_url_category(0x20000), "");
    EXPECT_DEATH(ic::bit_to_url_category(0x3), "");
    EXPECT_DEATH(ic::bit_to_url_category(0x80000000), "");
    EXPECT_DEATH(ic::threat_category_to_bit(static_cast<ox::VirusType>(9)), "");
    EXPECT_DEATH(ic::threat_category_to_bit(static_cast<ox::VirusType>(0)), "");
    google::protobuf::RepeatedField<int> field;
    field.Add(19);
    EXPECT_DEATH(ic::url_categories_to_bits(field), "");
}

} // namespace
