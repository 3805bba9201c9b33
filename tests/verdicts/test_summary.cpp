// The digest of a scan report: the flattened threat list, the recorded scan
// error and the main threat.

#include "icap/verdicts/summary.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "icap/verdicts/category_bits.hpp"
#include "scan_report_builder.hpp"

namespace {

using test_reports::item;
using test_reports::threat;

struct walk_case_t {
    const char* name;
    ox::ScanReport report;
    // (path, threat name) in list order
    std::vector<std::pair<std::string, std::string>> threats;
    bool has_error;
    bool limit_reached;
    // Checked only when a flag is set.
    ox::ScanError error;
};

void PrintTo(const walk_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class summary_walk_test : public testing::TestWithParam<walk_case_t> {};

TEST_P(summary_walk_test, flattens_the_report)
{
    const walk_case_t& c = GetParam();
    const ic::summary_t summary(c.report);
    std::vector<std::pair<std::string, std::string>> threats;
    for (const auto& t : summary.threats)
        threats.emplace_back(t.path, t.virus.name());
    EXPECT_EQ(threats, c.threats);
    EXPECT_EQ(summary.has_error, c.has_error);
    EXPECT_EQ(summary.limit_reached, c.limit_reached);
    if (c.has_error || c.limit_reached) {
        EXPECT_EQ(summary.error(), c.error) << ox::ScanError_Name(summary.error());
    }
    EXPECT_EQ(summary.block_set, 0u);
    EXPECT_EQ(summary.report.SerializePartialAsString(), c.report.SerializePartialAsString());
}

const auto known = ox::SE_KNOWN_VIRUS;

INSTANTIATE_TEST_SUITE_P(
    cases, summary_walk_test,
    testing::Values(
        walk_case_t{"clean", item("body", {}, {item("a"), item("b")}), {}, false, false, {}},
        walk_case_t{"empty_report", ox::ScanReport(), {}, false, false, {}},
        // The root's own name is never part of a path; an item's threats
        // come before its children's, children in report order.
        walk_case_t{"paths_depth_first",
                    item("root", {threat(known, "R1"), threat(known, "R2")},
                         {item("A", {threat(known, "A1")},
                               {item("B", {threat(known, "B1")}, {item("C", {threat(known, "C1")})})}),
                          item("D", {threat(known, "D1")})}),
                    {{"", "R1"}, {"", "R2"}, {"A", "A1"}, {"A//B", "B1"}, {"A//B//C", "C1"}, {"D", "D1"}},
                    false,
                    false,
                    {}},
        // Names are joined as they are, slashes and empty names included.
        walk_case_t{"names_kept_as_they_are",
                    item("root", {}, {item("x/y.zip", {}, {item("", {}, {item("z", {threat(known, "Z")})})})}),
                    {{"x/y.zip////z", "Z"}},
                    false,
                    false,
                    {}},
        walk_case_t{"limit_then_error",
                    item("root", {}, {item("a", {}, {}, ox::SE_READ_ERROR)}, ox::SE_SCAN_TIMEOUT),
                    {},
                    true,
                    true,
                    ox::SE_READ_ERROR},
        walk_case_t{"error_then_limit",
                    item("root", {}, {item("a", {}, {}, ox::SE_PACKER_LEVEL_LIMIT)}, ox::SE_PASSWORD_PROTECTED),
                    {},
                    true,
                    true,
                    ox::SE_PASSWORD_PROTECTED},
        walk_case_t{"first_limit_kept",
                    item("root", {}, {item("a", {}, {}, ox::SE_COMPRESSION_LIMIT)}, ox::SE_ARCHIVE_LEVEL_LIMIT),
                    {},
                    false,
                    true,
                    ox::SE_ARCHIVE_LEVEL_LIMIT},
        walk_case_t{
            "first_error_kept",
            item("root", {}, {item("a", {}, {item("b", {}, {}, ox::SE_ARCH_CRC_ERROR)}, ox::SE_UNPACKING_ERROR)}),
            {},
            true,
            false,
            ox::SE_UNPACKING_ERROR},
        walk_case_t{"every_limit_class_member",
                    item("root", {},
                         {item("a", {}, {}, ox::SE_MAIL_LEVEL_LIMIT), item("b", {}, {}, ox::SE_CONTAINER_LEVEL_LIMIT)}),
                    {},
                    false,
                    true,
                    ox::SE_MAIL_LEVEL_LIMIT},
        // The size limits are failures, not limits.
        walk_case_t{"object_size_limit_is_an_error",
                    item("root", {}, {}, ox::SE_OBJECT_SIZE_LIMIT),
                    {},
                    true,
                    false,
                    ox::SE_OBJECT_SIZE_LIMIT},
        walk_case_t{"archive_size_limit_is_an_error",
                    item("root", {}, {}, ox::SE_ARCHIVE_SIZE_LIMIT),
                    {},
                    true,
                    false,
                    ox::SE_ARCHIVE_SIZE_LIMIT},
        walk_case_t{"report_size_limit_is_an_error",
                    item("root", {}, {}, ox::SE_REPORT_SIZE_LIMIT),
                    {},
                    true,
                    false,
                    ox::SE_REPORT_SIZE_LIMIT},
        walk_case_t{"threats_and_error",
                    item("root", {threat(ox::SE_ADWARE, "Ad")}, {item("a", {}, {}, ox::SE_ENGINE_ERROR)}),
                    {{"", "Ad"}},
                    true,
                    false,
                    ox::SE_ENGINE_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

struct main_case_t {
    const char* name;
    std::vector<ox::VirusType> types;
    std::uint32_t block_set;
    std::size_t expected;
};

void PrintTo(const main_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class summary_main_threat_test : public testing::TestWithParam<main_case_t> {};

TEST_P(summary_main_threat_test, chooses_by_priority_and_block_set)
{
    const main_case_t& c = GetParam();
    std::vector<ox::Virus> viruses;
    for (std::size_t i = 0; i < c.types.size(); ++i)
        viruses.push_back(threat(c.types[i], "T" + std::to_string(i)));
    ic::summary_t summary(item("root", viruses));
    summary.block_set = c.block_set;
    EXPECT_EQ(summary.main_threat().name(), "T" + std::to_string(c.expected));
}

const std::vector<ox::VirusType> all_types = {
    ox::SE_UNKNOWN_VIRUS, ox::SE_HACKTOOL, ox::SE_RISKWARE,           ox::SE_JOKE,
    ox::SE_DIALER,        ox::SE_ADWARE,   ox::SE_VIRUS_MODIFICATION, ox::SE_KNOWN_VIRUS};

INSTANTIATE_TEST_SUITE_P(
    cases, summary_main_threat_test,
    testing::Values(main_case_t{"single", {ox::SE_JOKE}, 0, 0},
                    main_case_t{"known_virus_first_by_priority", {ox::SE_KNOWN_VIRUS, ox::SE_ADWARE}, 0, 0},
                    main_case_t{"blocked_class_wins", {ox::SE_KNOWN_VIRUS, ox::SE_ADWARE}, 0x8, 1},
                    main_case_t{"equal_scores_keep_the_earliest", {ox::SE_DIALER, ox::SE_DIALER}, 0, 0},
                    main_case_t{"unknown_virus_below_hacktool", {ox::SE_UNKNOWN_VIRUS, ox::SE_HACKTOOL}, 0, 1},
                    main_case_t{"each_priority_step", all_types, 0, 7},
                    main_case_t{"modification_above_adware", {ox::SE_ADWARE, ox::SE_VIRUS_MODIFICATION}, 0, 1},
                    main_case_t{
                        "blocked_unknown_above_unblocked_known", {ox::SE_KNOWN_VIRUS, ox::SE_UNKNOWN_VIRUS}, 0x4, 1},
                    main_case_t{"priority_among_blocked", {ox::SE_HACKTOOL, ox::SE_RISKWARE}, 0x40 | 0x80, 1},
                    main_case_t{"bits_of_absent_classes_change_nothing", {ox::SE_JOKE, ox::SE_DIALER}, 0x1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// The hook sets the block set after the summary is built; the main threat
// follows it.
TEST(summary, main_threat_follows_block_set)
{
    ic::summary_t summary(item("root", {threat(ox::SE_KNOWN_VIRUS, "V"), threat(ox::SE_RISKWARE, "R")}));
    EXPECT_EQ(summary.main_threat().name(), "V");
    summary.block_set = ic::threat_category_to_bit(ox::SE_RISKWARE);
    EXPECT_EQ(summary.main_threat().name(), "R");
}

} // namespace
