// Major and minor numbers of dotted version texts.

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "common/version.hpp"

namespace {

TEST(version, parses_the_first_two_components)
{
    const struct {
        const char* text;
        int major;
        int minor;
    } cases[] = {
        {"11.1.9.2205231640", 11, 1},
        {"1.2", 1, 2},
        {"3.-1", 3, -1},
        {"+4.07", 4, 7},
        {"0.0.", 0, 0},
        {"2.5.x.y", 2, 5},
        {"2147483647.-2147483648", 2147483647, -2147483647 - 1},
    };
    for (const auto& c : cases) {
        const auto version = cf_parse_version(c.text);
        EXPECT_EQ(version.major, c.major) << c.text;
        EXPECT_EQ(version.minor, c.minor) << c.text;
    }
}

TEST(version, refuses_texts_that_are_no_version)
{
    for (const char* text : {"", "11", "11.", ".1", "1..2", "1. 2", "1 .2", "1.2a", "a.1", "0x1.2", "1.+",
                             "2147483648.1", "1.99999999999"}) {
        try {
            cf_parse_version(text);
            ADD_FAILURE() << "accepted \"" << text << '"';
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Invalid version format: ") + text);
        }
    }
}

} // namespace
