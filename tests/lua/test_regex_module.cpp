#include <gtest/gtest.h>

#include <string>

#include "lua_state.hpp"

namespace {

struct regex_case_t {
    const char* name;
    const char* call;    // a Lua expression
    const char* outcome; // "true", "false" or a text the error contains
};

class LuaRegex : public lua_test::modules_test_t, public testing::WithParamInterface<regex_case_t> {};

TEST_P(LuaRegex, Calls)
{
    const regex_case_t& c = GetParam();
    const std::string outcome = c.outcome;
    if (outcome == "true" || outcome == "false") {
        EXPECT_EQ(eval(c.call), outcome) << c.call;
    } else {
        const std::string error = error_of(c.call);
        EXPECT_NE(error.find(outcome), std::string::npos) << c.call << " gave " << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaRegex,
    testing::Values(
        regex_case_t{"match_is_whole", "regex.match('abc', 'abcd')", "false"},
        regex_case_t{"search_finds_inside", "regex.search('abc', 'abcd')", "true"},
        regex_case_t{"match_wildcard", "regex.match('a.*', 'abcd')", "true"},
        regex_case_t{"case_matters", "regex.match('ABC', 'abc')", "false"},
        regex_case_t{"ignore_case", "regex.match('ABC', 'abc', regex.ignore_case)", "true"},
        regex_case_t{"only_bit_0", "regex.match('ABC', 'abc', 2)", "false"},
        regex_case_t{"array_first_matches", "regex.match({'x', 'a.c'}, 'abc')", "true"},
        regex_case_t{"array_none", "regex.search({'x', 'y'}, 'abc')", "false"},
        regex_case_t{"empty_array", "regex.search({}, 'abc')", "false"},
        regex_case_t{"later_element_not_reached", "regex.match({'abc', 5}, 'abc')", "true"},
        regex_case_t{"bad_element_reached", "regex.match({'x', 5}, 'abc')",
                     "bad argument #1 to 'match' (all elements of regex array must be strings)"},
        regex_case_t{"pattern_of_bad_type", "regex.match(5, 'abc')",
                     "bad argument #1 to 'match' (must be string or array of strings)"},
        regex_case_t{"text_missing", "regex.match('x')", "bad argument #2 to 'match' (value expected)"},
        regex_case_t{"flags_not_integer", "regex.match('x', 'x', 'y')", "bad argument #3 to 'match'"},
        regex_case_t{"number_text", "regex.match('4.5', 4.5)", "true"},
        regex_case_t{"table_text_is_empty", "regex.match('.*', {})", "true"},
        regex_case_t{"tostring_text", "regex.match('hi', setmetatable({}, {__tostring = function() return 'hi' end}))",
                     "true"},
        regex_case_t{"unbalanced_bracket", "regex.match('[a', 'a')", "Cannot call regex function: "},
        regex_case_t{"pattern_not_utf8", "regex.match('\\xff', 'a')", "Cannot call regex function: "},
        regex_case_t{"dot_is_one_code_point", "regex.match('^.$', '\xc3\xa9')", "true"},
        regex_case_t{"non_ascii_ignore_case", "regex.match('\xc3\x89T\xc3\x89', '\xc3\xa9t\xc3\xa9', 1)", "true"},
        regex_case_t{"unicode_class", "regex.match('\\\\p{Ll}+', '\xd0\xb4\xd0\xb0')", "true"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LuaRegex, ModuleTableIsPlainAndWritable)
{
    EXPECT_EQ(eval("regex.ignore_case"), "1");
    EXPECT_EQ(run("regex.extra = 1"), "");
    EXPECT_EQ(eval("require('orvex.regex').extra"), "1");
}

} // namespace
