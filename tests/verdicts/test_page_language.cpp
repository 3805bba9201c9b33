// The language of a block page: the Accept-Language ranges by weight
// against the language directories that hold a template.

#include "icap/verdicts/page_language.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "common/log_capture.hpp"
#include "template_dir.hpp"

namespace {

struct language_case_t {
    const char* name;
    std::vector<std::string> languages;
    std::string field;
    std::string expected;
    bool malformed = false;
};

void PrintTo(const language_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class page_language_test : public testing::TestWithParam<language_case_t> {
protected:
    page_language_test()
    {
        cf_log_threshold = cf_log_debug;
        cf_set_log(log);
    }

    std::shared_ptr<log_capture::recording_log_t> log = std::make_shared<log_capture::recording_log_t>();
    test_templates::template_dir_t dir;
};

TEST_P(page_language_test, chooses)
{
    const language_case_t& c = GetParam();
    for (const std::string& language : c.languages)
        dir.add(language);
    EXPECT_EQ(ic::get_language(c.field, dir.root().string()), c.expected);
    const std::vector<log_capture::record_t> expected_log =
        c.malformed
            ? std::vector<log_capture::record_t>{{cf_log_debug, "get_language: bad Accept-Language: " + c.field}}
            : std::vector<log_capture::record_t>{};
    EXPECT_EQ(log->records, expected_log);
}

const std::string browser = "fr-CH, fr;q=0.9, en;q=0.8, *;q=0.5";

INSTANTIATE_TEST_SUITE_P(
    cases, page_language_test,
    testing::Values(language_case_t{"region_counts_as_its_language", {"en", "fr"}, browser, "fr"},
                    language_case_t{"next_by_weight", {"en"}, browser, "en"},
                    language_case_t{"wildcard_never_selects", {"de"}, browser, "en"},
                    language_case_t{"missing_first_choice", {"en"}, "da, en-gb;q=0.8, en;q=0.7", "en"},
                    language_case_t{"equal_weights_keep_order", {"en", "de"}, "en;q=0.5, de;q=0.5", "en"},
                    language_case_t{"equal_weights_keep_order_reversed", {"en", "de"}, "de;q=0.5, en;q=0.5", "de"},
                    language_case_t{"heavier_later_item", {"en", "de"}, "en;q=0.2, de", "de"},
                    language_case_t{"weight_zero_ranks_last", {"en", "de"}, "de;q=0, en;q=0.001", "en"},
                    language_case_t{"weight_zero_still_counts", {"de"}, "de;q=0", "de"},
                    language_case_t{"weight_point_without_digits", {"de"}, "de;q=0.", "de"},
                    language_case_t{"weight_one_with_zeros", {"de", "fr"}, "fr;q=0.999, de;q=1.000", "de"},
                    language_case_t{"weight_name_ignores_case", {"de"}, "de;Q=0.5", "de"},
                    language_case_t{"blanks_and_tabs", {"de"}, " \tde-AT \t; \tq=0.5 \t", "de"},
                    language_case_t{"several_subtags", {"zh"}, "zh-Hant-TW", "zh"},
                    language_case_t{"subtag_digits", {"de"}, "de-CH-1996", "de"},
                    language_case_t{"language_lower_cased", {"de"}, "DE-de", "de"},
                    language_case_t{"wildcard_alone", {"de"}, "*", "en"},
                    language_case_t{"nothing_available", {}, "de, fr", "en"},
                    language_case_t{"empty_field", {"de"}, "", "en"},
                    language_case_t{"empty_item_between", {"de"}, "de,,fr", "en", true},
                    language_case_t{"comma_at_end", {"de"}, "de,", "en", true},
                    language_case_t{"comma_at_start", {"de"}, ",de", "en", true},
                    language_case_t{"blank_item", {"de"}, "de, ", "en", true},
                    language_case_t{"four_decimals", {"de"}, "de;q=0.1234", "en", true},
                    language_case_t{"weight_above_one", {"de"}, "de;q=1.5", "en", true},
                    language_case_t{"weight_one_and_a_bit", {"de"}, "de;q=1.001", "en", true},
                    language_case_t{"weight_without_digits", {"de"}, "de;q=", "en", true},
                    language_case_t{"other_parameter", {"de"}, "de;level=1", "en", true},
                    language_case_t{"language_too_long", {"de"}, "deutschland", "en", true},
                    language_case_t{"digit_in_language", {"de"}, "d1", "en", true},
                    language_case_t{"empty_subtag", {"de"}, "de-", "en", true},
                    language_case_t{"subtag_too_long", {"de"}, "de-abcdefghi", "en", true},
                    language_case_t{"blank_inside_range", {"de"}, "d e", "en", true},
                    language_case_t{"one_bad_item_spoils_all", {"de", "fr"}, "fr, de;q=2", "en", true}),
    [](const auto& info) { return std::string(info.param.name); });

using page_language_dir_test = page_language_test;

// Only directories that hold a regular file "block_traxd.tpl", links
// followed, under their own names.
TEST_F(page_language_dir_test, directories_that_count)
{
    dir.add("en");
    dir.add("DE");
    std::filesystem::create_directories(dir.root() / "it");
    std::filesystem::create_directories(dir.root() / "ru" / "block_traxd.tpl");
    std::ofstream(dir.root() / "pt") << "not a directory";
    std::filesystem::create_directory_symlink(dir.root() / "en", dir.root() / "es");
    std::filesystem::create_directories(dir.root() / "nl");
    std::filesystem::create_symlink(dir.root() / "en" / "block_traxd.tpl", dir.root() / "nl" / "block_traxd.tpl");
    std::filesystem::create_directories(dir.root() / "pl");
    std::filesystem::create_symlink(dir.root() / "gone", dir.root() / "pl" / "block_traxd.tpl");

    EXPECT_EQ(ic::available_languages(dir.root().string()), (std::set<std::string>{"DE", "en", "es", "nl"}));
    // An upper-case directory is never chosen: ranges are lower-cased.
    EXPECT_EQ(ic::get_language("DE, es;q=0.5", dir.root().string()), "es");
    EXPECT_EQ(ic::get_language("it, ru, pt, pl, nl;q=0.1", dir.root().string()), "nl");
    EXPECT_TRUE(log->records.empty());
}

// A root that cannot be listed is an administrator's problem: an Error, and
// the page in the fallback language.
TEST_F(page_language_dir_test, unreadable_root)
{
    const std::string missing = (dir.root() / "missing").string();
    EXPECT_EQ(ic::available_languages(missing), std::set<std::string>{});
    EXPECT_EQ(ic::get_language("de", missing), "en");
    ASSERT_EQ(log->records.size(), 2u);
    for (const auto& record : log->records) {
        EXPECT_EQ(record.level, cf_log_error);
        EXPECT_NE(record.text.find(missing), std::string::npos) << record.text;
        EXPECT_NE(record.text.find("No such file or directory"), std::string::npos) << record.text;
    }
    // Without an Accept-Language field nothing is listed.
    log->records.clear();
    EXPECT_EQ(ic::get_language("", missing), "en");
    EXPECT_TRUE(log->records.empty());
}

} // namespace
