#include "common/report.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using ox::oxs::report_t;

TEST(report, main_category_is_the_lowest_known_bit)
{
    struct case_t {
        std::uint32_t categories;
        std::uint32_t expected;
    };
    const case_t cases[] = {
        {0, 0},
        {(1u << 2) | (1u << 29), 0x4},
        {(1u << 29) | (1u << 30), 0x20000000},
        {1u << 30, 0x40000000},
        {1u << 17, 0},
        {(1u << 31) | (1u << 18), 0},
        {(1u << 31) | (1u << 30), 0x40000000},
        {0x10000 | 0x1, 0x1},
        {0x10000, 0x10000},
        {0xFFFFFFFF, 0x1},
    };
    for (const auto& c : cases) {
        report_t report;
        report.categories = c.categories;
        EXPECT_EQ(report.main_category(), c.expected) << std::hex << c.categories;
    }
}

TEST(report, first_answer_is_kept)
{
    report_t report;
    EXPECT_EQ(report.categories, 0u);
    EXPECT_TRUE(report.piracy_legal_url.empty());
    report.categories = 0x8;
    EXPECT_EQ(report.main_category(), 0x8u);
    report.categories = 0x2;
    EXPECT_EQ(report.main_category(), 0x8u);

    const report_t copy = report;
    EXPECT_EQ(copy.main_category(), 0x8u);
}

} // namespace
