#include <gtest/gtest.h>

#include "common/error_category.hpp"

namespace {

TEST(error_category, codes_of_error_code_values_belong_to_the_one_category)
{
    const boost::system::error_code ec = ox::EC_PROTOCOL_VIOLATION;
    EXPECT_EQ(&ec.category(), &ox::cf_proto_error_category());
    EXPECT_STREQ(ec.category().name(), "ox.Error");
    EXPECT_EQ(ec.value(), 12);
    EXPECT_EQ(ec, ox::make_error_code(ox::EC_PROTOCOL_VIOLATION));
    EXPECT_TRUE(ec == ox::EC_PROTOCOL_VIOLATION);
    EXPECT_EQ(ox::make_error_condition(ox::EC_BAD_CONFIG).value(), 102);
    EXPECT_EQ(&ox::make_error_condition(ox::EC_BAD_CONFIG).category(), &ox::cf_proto_error_category());
}

TEST(error_category, only_ec_ok_is_success)
{
    EXPECT_FALSE(ox::make_error_code(ox::EC_OK));
    EXPECT_TRUE(ox::make_error_code(ox::EC_MONITOR_IPC_ERROR));
}

TEST(error_category, message_is_the_display_text_or_the_number)
{
    struct case_t {
        int value;
        const char* message;
    };
    const case_t cases[] = {
        {0, "Success"},      {24, "Permission denied"}, {7, "Invalid IPC message size"},
        {14, "ox.Error 14"}, {-3, "ox.Error -3"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(ox::cf_proto_error_category().message(c.value), c.message);
        EXPECT_EQ(boost::system::error_code(c.value, ox::cf_proto_error_category()).message(), c.message);
    }
}

TEST(error_category, no_error_code_value_is_equivalent_to_a_system_error)
{
    // EC_PERMISSION_DENIED is 24 and EMFILE is 24 too: the numbers are
    // unrelated and must not compare equal across categories.
    const boost::system::error_code ec = ox::EC_PERMISSION_DENIED;
    EXPECT_NE(ec, boost::system::error_code(24, boost::system::system_category()));
    EXPECT_FALSE(ec == boost::system::errc::too_many_files_open);
}

} // namespace
