#include "protocol/parsers/content_type.hpp"

#include "protocol/parsers/parser.hpp"

#include <gtest/gtest.h>

namespace {

struct case_t {
    const char* name;
    std::string value;
    std::string subtype;
    std::string boundary;
};

class accepted_content_types : public ::testing::TestWithParam<case_t> {};

TEST_P(accepted_content_types, give_subtype_and_boundary)
{
    const auto& c = GetParam();
    const auto type = proto::parse_content_type(c.value);
    EXPECT_EQ(type.subtype, c.subtype);
    EXPECT_EQ(type.boundary, c.boundary);
}

INSTANTIATE_TEST_SUITE_P(
    values, accepted_content_types,
    ::testing::Values(case_t{"plain", "multipart/form-data; boundary=abc", "form-data", "abc"},
                      case_t{"letters_in_any_case", " \tMultiPart/Mixed;BOUNDARY = x1", "Mixed", "x1"},
                      case_t{"quoted_with_space_and_semicolon", "multipart/mixed; boundary=\"a b;c\"  ", "mixed",
                             "a b;c"},
                      case_t{"unquoted_with_spaces", "multipart/mixed; boundary=  a b ", "mixed", "a b"},
                      case_t{"unquoted_ended_by_tab", "multipart/mixed; boundary=ab\t ", "mixed", "ab"},
                      case_t{"every_boundary_character", "multipart/x; boundary='()+,-./:=?_", "x", "'()+,-./:=?_"},
                      case_t{"no_parameter", "multipart/related", "related", ""}, case_t{"empty_value", "", "", ""},
                      case_t{"prefix_alone", "multipart/", "", ""},
                      case_t{"missing_closing_quote", "multipart/x; boundary=\"abc", "x", "abc"},
                      case_t{"stops_before_equals", "multipart/x; bound", "x", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct refused_t {
    const char* name;
    std::string value;
    std::string message;
};

class refused_content_types : public ::testing::TestWithParam<refused_t> {};

TEST_P(refused_content_types, throw_with_the_rest_as_excerpt)
{
    const auto& c = GetParam();
    try {
        proto::parse_content_type(c.value);
        FAIL() << "accepted";
    } catch (const proto::base_ragel_parser_t::error_t& e) {
        EXPECT_EQ(e.what(), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    values, refused_content_types,
    ::testing::Values(
        refused_t{"not_multipart", "text/html", "invalid content-type value: \"text/html\""},
        refused_t{"other_parameter", "multipart/x; charset=utf-8", "invalid content-type value: \"charset=utf-8\""},
        refused_t{"parameter_after_boundary", "multipart/x; boundary=a; charset=b",
                  "invalid content-type value: \"; charset=b\""},
        refused_t{"text_after_quoted_boundary", "multipart/x; boundary=\"a\"b", "invalid content-type value: \"b\""},
        refused_t{"text_after_tab", "multipart/x; boundary=a\tb", "invalid content-type value: \"b\""},
        refused_t{"subtype_starting_with_digit", "multipart/1x", "invalid content-type value: \"1x\""},
        refused_t{"bad_byte_in_boundary", "multipart/x; boundary=a@b", "invalid content-type value: \"@b\""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
