#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#include "common/enum_text.hpp"
#include "common/threat_class.hpp"
#include "schemas/annotation.pb.h"
#include "schemas/application.pb.h"
#include "schemas/config_mode.pb.h"
#include "schemas/scan_report.pb.h"

namespace {

TEST(enum_text, error_code_texts_fall_back_to_decimal_for_undefined_numbers)
{
    struct case_t {
        int number;
        const char* text;
    };
    const case_t cases[] = {
        {0, "Success"},
        {102, "Invalid configuration"},
        {7, "Invalid IPC message size"},
        {125, "Unexpected error"},
        {14, "14"},
        {-1, "-1"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(cf_proto_error_text(static_cast<ox::ErrorCode>(c.number)), c.text);
    }
}

TEST(enum_text, value_without_lex_shows_its_name)
{
    EXPECT_EQ(cf_enum_value_lex(ox::Application_descriptor()->FindValueByNumber(ox::APP_GENERIC)), "APP_GENERIC");
    EXPECT_EQ(cf_enum_text(ox::APP_GENERIC), "APP_GENERIC");
}

TEST(enum_text, lex_texts_of_other_enumerations)
{
    EXPECT_EQ(cf_enum_text(ox::CONFIG_MODE_FALLBACK), "Fallback configuration");
    EXPECT_EQ(cf_enum_text(ox::CONFIG_MODE_SPECIFIED), "Specified configuration");
    EXPECT_EQ(cf_enum_text(ox::APP_TRAXD), "TRAXD");
    EXPECT_EQ(cf_enum_text(ox::SE_SCAN_TIMEOUT), "Scan timeout expired");
    EXPECT_EQ(cf_enum_text(static_cast<ox::ScanError>(45)), "45");
}

TEST(enum_text, value_by_lex_ignores_case_only)
{
    const auto* errors = ox::ErrorCode_descriptor();
    for (const char* text : {"Permission denied", "PERMISSION DENIED", "pErMiSsIoN dEnIeD"}) {
        SCOPED_TRACE(text);
        const auto* found = cf_enum_value_by_lex(errors, text);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->number(), ox::EC_PERMISSION_DENIED);
    }
    EXPECT_EQ(cf_enum_value_by_lex(errors, "Permission denied "), nullptr);
    EXPECT_EQ(cf_enum_value_by_lex(errors, ""), nullptr);

    const auto* generic = cf_enum_value_by_lex(ox::Application_descriptor(), "app_generic");
    ASSERT_NE(generic, nullptr);
    EXPECT_EQ(generic->number(), ox::APP_GENERIC);
}

// An enumeration built at run time, with texts the suite's schemas do not
// have: two values sharing one text and one value with an empty text.
class built_enum_t : public ::testing::Test {
protected:
    void SetUp() override
    {
        google::protobuf::FileDescriptorProto file;
        file.set_name("built_enum.proto");
        file.set_package("built");
        auto* type = file.add_enum_type();
        type->set_name("Kind");
        const std::pair<const char*, const char*> values[] = {
            {"KIND_NONE", nullptr}, {"KIND_FIRST", "Same"}, {"KIND_SECOND", "Same"}, {"KIND_BLANK", ""}};
        int number = 0;
        for (const auto& [name, lex] : values) {
            auto* value = type->add_value();
            value->set_name(name);
            value->set_number(number++);
            if (lex)
                value->mutable_options()->SetExtension(ox::lex, lex);
        }
        const google::protobuf::FileDescriptor* built = pool_.BuildFile(file);
        ASSERT_NE(built, nullptr);
        kind_ = built->enum_type(0);
    }

    google::protobuf::DescriptorPool pool_;
    const google::protobuf::EnumDescriptor* kind_ = nullptr;
};

TEST_F(built_enum_t, present_but_empty_lex_is_the_text_and_no_lex_the_name)
{
    EXPECT_EQ(cf_enum_value_lex(kind_->FindValueByName("KIND_BLANK")), "");
    EXPECT_EQ(cf_enum_value_lex(kind_->FindValueByName("KIND_NONE")), "KIND_NONE");
    EXPECT_EQ(cf_enum_value_lex(kind_->FindValueByName("KIND_SECOND")), "Same");
}

TEST_F(built_enum_t, value_by_lex_takes_the_first_declared_and_reads_empty_lex_as_absent)
{
    EXPECT_EQ(cf_enum_value_by_lex(kind_, "same"), kind_->FindValueByName("KIND_FIRST"));
    EXPECT_EQ(cf_enum_value_by_lex(kind_, "kind_blank"), kind_->FindValueByName("KIND_BLANK"));
    EXPECT_EQ(cf_enum_value_by_lex(kind_, ""), nullptr);
}

TEST(threat_class, one_bit_gives_its_class_text)
{
    struct case_t {
        int bits;
        const char* text;
    };
    const case_t cases[] = {
        {0, "None"},       {1, "Known virus"}, {2, "Virus modification"}, {8, "Adware"},
        {128, "Hacktool"}, {3, "Unknown"},     {256, "Unknown"},          {-1, "Unknown"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.bits);
        std::ostringstream out;
        ox::oxs::print_threat_class(out, c.bits);
        EXPECT_EQ(out.str(), c.text);
    }
}

} // namespace
