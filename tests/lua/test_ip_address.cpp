#include <gtest/gtest.h>

#include <string>

#include "lua_state.hpp"

namespace {

struct belongs_case_t {
    const char* address;
    const char* subnets; // a Lua expression
    const char* outcome; // "true", "false" or the text inside the argument error's parentheses
};

class LuaIpBelongs : public lua_test::modules_test_t, public testing::WithParamInterface<belongs_case_t> {};

TEST_P(LuaIpBelongs, Subnets)
{
    const belongs_case_t& c = GetParam();
    const std::string call = "orvex.ip('" + std::string(c.address) + "').belongs(" + c.subnets + ")";
    const std::string outcome = c.outcome;
    if (outcome == "true" || outcome == "false") {
        EXPECT_EQ(eval(call), outcome) << call;
    } else {
        const std::string error = error_of(call);
        EXPECT_NE(error.find("bad argument #1 to 'belongs' (" + outcome + ")"), std::string::npos)
            << call << " gave " << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuaIpBelongs,
    testing::Values(
        belongs_case_t{"192.168.1.7", "'192.168.0.0/16'", "true"},
        belongs_case_t{"192.168.1.7", "'192.168.1.0/255.255.255.0'", "true"},
        belongs_case_t{"192.168.1.7", "'192.168.1.7'", "true"}, belongs_case_t{"192.168.1.7", "'192.168.1.8'", "false"},
        belongs_case_t{"192.168.1.7", "'192.168.1.128/25'", "false"},
        belongs_case_t{"192.168.1.7", "'192.168.1.99/24'", "true"},
        belongs_case_t{"192.168.1.7", "'192.168.1.0/024'", "true"}, belongs_case_t{"1.2.3.4", "'10.0.0.0/0'", "true"},
        belongs_case_t{"1.2.3.4", "'0.0.0.0/0.0.0.0'", "true"},
        belongs_case_t{"1.2.3.4", "{'10.0.0.0/8', '1.2.0.0/255.255.0.0'}", "true"},
        belongs_case_t{"1.2.3.4", "{}", "false"},
        belongs_case_t{"1.2.3.4",
                       "setmetatable({}, {__len = function() return 1 end, __index = "
                       "function() return '1.0.0.0/8' end})",
                       "true"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/33'", "Invalid subnet: 10.0.0.0/33"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/8/8'", "Invalid subnet: 10.0.0.0/8/8"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0//8'", "Invalid subnet: 10.0.0.0//8"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/'", "Invalid subnet: 10.0.0.0/"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/255.0.255.0'", "Invalid subnet: 10.0.0.0/255.0.255.0"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/8.5'", "Invalid subnet: 10.0.0.0/8.5"},
        // A negative prefix must not wrap around into 32.
        belongs_case_t{"10.1.1.1", "'10.0.0.0/-65504'", "Invalid subnet: 10.0.0.0/-65504"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/-1'", "Invalid subnet: 10.0.0.0/-1"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/+8'", "Invalid subnet: 10.0.0.0/+8"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0/65544'", "Invalid subnet: 10.0.0.0/65544"},
        belongs_case_t{"10.1.1.1", "'10.0.0.0'", "false"},
        belongs_case_t{"10.1.1.1", "'10.1.1.1\\0/8'", "Invalid subnet: 10.1.1.1"},
        belongs_case_t{"10.1.1.1", "'::/0'", "Invalid subnet: ::/0"},
        // Everything is parsed before anything is tested.
        belongs_case_t{"10.1.1.1", "{'10.0.0.0/8', '1.1.1.1', 'bad'}", "Invalid subnet: bad"},
        belongs_case_t{"10.1.1.1", "{'10.0.0.0/8', 5}", "all elements of subnet array must be strings"},
        belongs_case_t{"10.1.1.1", "5", "must be string or array of strings"},
        belongs_case_t{"10.1.1.1", "nil", "must be string or array of strings"},
        belongs_case_t{"::1", "'10.0.0.0/8'", "Invalid subnet: 10.0.0.0/8"}, belongs_case_t{"::1", "'::1/128'", "true"},
        belongs_case_t{"::1", "'::/0'", "true"}, belongs_case_t{"2001:db8::5", "'2001:db8::/32'", "true"},
        belongs_case_t{"2001:db9::5", "'2001:db8::/32'", "false"},
        belongs_case_t{"::1", "'::1/129'", "Invalid subnet: ::1/129"},
        belongs_case_t{"::1", "'::1/-1'", "Invalid subnet: ::1/-1"},
        belongs_case_t{"::1", "'::/ffff::'", "Invalid subnet: ::/ffff::"}));

class LuaIpAddress : public lua_test::modules_test_t {};

TEST_F(LuaIpAddress, PrintsComparesAndMasks)
{
    EXPECT_EQ(eval("tostring(orvex.ip('192.168.1.77'))"), "192.168.1.77");
    EXPECT_EQ(eval("tostring(orvex.ip('2001:DB8::1'))"), "2001:db8::1");
    EXPECT_EQ(eval("'<' .. orvex.ip('1.2.3.4') .. '>'"), "<1.2.3.4>");
    EXPECT_EQ(eval("orvex.ip('1.2.3.4') == orvex.ip('1.2.3.4')"), "true");
    EXPECT_EQ(eval("orvex.ip('1.2.3.4') == orvex.ip('1.2.3.5')"), "false");
    EXPECT_EQ(eval("orvex.ip('1.2.3.4') == orvex.ip('::ffff:1.2.3.4')"), "false");
    EXPECT_EQ(eval("orvex.ip('1.2.3.4') == io.stdout"), "false");
    EXPECT_EQ(eval("tostring(orvex.ip('192.168.1.77') & orvex.ip('255.255.255.0'))"), "192.168.1.0");
    EXPECT_EQ(eval("tostring(orvex.ip('2001:db8::ff') & orvex.ip('ffff:ffff::'))"), "2001:db8::");
    EXPECT_NE(
        error_of("orvex.ip('1.2.3.4') & orvex.ip('::1')").find("Cannot mask ip addresses with different ip versions"),
        std::string::npos);
    EXPECT_NE(error_of("orvex.ip('1.2.3.4') & 5").find("Cannot mask an ip address with a number"), std::string::npos);
    EXPECT_EQ(eval("orvex.ip('1.2.3.4').other"), "nil");
    EXPECT_EQ(eval("type(orvex.ip('1.2.3.4').belongs)"), "function");
}

TEST_F(LuaIpAddress, MetamethodsRejectOtherValues)
{
    ASSERT_EQ(run("meta = getmetatable(orvex.ip('1.2.3.4'))"), "");
    EXPECT_NE(error_of("meta.__tostring({})").find("bad argument #1"), std::string::npos);
    EXPECT_NE(error_of("meta.__index({}, 'belongs')").find("bad argument #1"), std::string::npos);
    EXPECT_EQ(eval("meta.__eq({}, {})"), "false");
}

TEST_F(LuaIpAddress, MadeOnlyFromOneAddressText)
{
    struct case_t {
        const char* call;
        const char* error;
    };
    for (const case_t& c :
         {case_t{"orvex.ip(1)", "Cannot create IpAddress from number"},
          case_t{"orvex.ip()", "Cannot create IpAddress: bad arguments"},
          case_t{"orvex.ip('1.2.3.4', 'x')", "Cannot create IpAddress: bad arguments"},
          case_t{"orvex.ip('x')", "Cannot create IpAddress from \"x\": Invalid argument"},
          case_t{"orvex.ip('1.2.3')", "Cannot create IpAddress from \"1.2.3\": Invalid argument"},
          // A NUL byte must not cut the text short.
          case_t{"orvex.ip('1.2.3.4\\0junk')", "Cannot create IpAddress from \"1.2.3.4\": Invalid argument"}}) {
        EXPECT_NE(error_of(c.call).find(c.error), std::string::npos) << c.call << " gave " << error_of(c.call);
    }
}

} // namespace
