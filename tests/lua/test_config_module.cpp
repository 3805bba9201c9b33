#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lua_state.hpp"

namespace {

using strings = std::vector<std::string>;

class LuaConfigModule : public lua_test::modules_test_t {
protected:
    void apply(const ox::TRAXDConfig& config) { ic::push_config(L, config); }

    // What a coroutine made now reads with the expression (config is the
    // module), possibly after the completions of host_wait have run.
    strings read(const std::string& expression)
    {
        auto co = coroutine("local config = require('orvex.config') return " + expression);
        co->resume(0);
        return co->results;
    }
};

TEST_F(LuaConfigModule, ListsAndSwitches)
{
    ox::TRAXDConfig config;
    config.mutable_whitelist()->add_item("good.example");
    config.mutable_whitelist()->add_item("fine.example");
    config.mutable_blacklist()->add_item("bad.example");
    config.set_block_adult_content(true);
    config.set_block_due_to_copyright_notice(true);
    config.set_block_jobs(true);
    config.set_block_known_virus(true);
    config.set_block_hacktools(true);
    config.set_block_unchecked(true);
    apply(config);

    EXPECT_EQ(read("table.concat(config.whitelist, ','), #config.whitelist, #config.adlist"),
              (strings{"good.example,fine.example", "2", "0"}));
    EXPECT_EQ(read("table.concat(config.blacklist, ',')"), (strings{"bad.example"}));
    EXPECT_EQ(read("table.concat(config.block_url_categories, ',')"), (strings{"adult_content,owners_notice,jobs"}));
    EXPECT_EQ(read("table.concat(config.block_threats, ',')"), (strings{"known_virus,virus_modification,hacktool"}));
    EXPECT_EQ(read("config.block_unchecked"), (strings{"true"}));
    EXPECT_EQ(read("(function() local n = 0 for _, v in ipairs(config.whitelist) do n = n + 1 end return n end)()"),
              (strings{"2"}));
}

TEST_F(LuaConfigModule, DefaultsAreEmpty)
{
    apply(ox::TRAXDConfig());
    EXPECT_EQ(read("#config.whitelist, #config.block_url_categories, #config.block_threats, config.block_unchecked"),
              (strings{"0", "0", "0", "false"}));
    EXPECT_EQ(read("config.unknown, config.__index, config._private"), (strings{"nil", "nil", "nil"}));
    EXPECT_EQ(read("next(config), (function() local n = 0 for _ in pairs(config) do n = n + 1 end return n end)()"),
              (strings{"nil", "0"}));
}

TEST_F(LuaConfigModule, ReadOnly)
{
    apply(ox::TRAXDConfig());
    auto co = coroutine("local config = require('orvex.config')\n"
                        "local ok1, e1 = pcall(function() config.block_unchecked = true end)\n"
                        "local ok2, e2 = pcall(function() config.whitelist[1] = 'x' end)\n"
                        "local ok3, e3 = pcall(function() return config[1] end)\n"
                        "return e1, e2, e3");
    co->resume(0);
    ASSERT_EQ(co->results.size(), 3u);
    EXPECT_NE(co->results[0].find("Table modification is not allowed"), std::string::npos);
    EXPECT_NE(co->results[1].find("Table modification is not allowed"), std::string::npos);
    EXPECT_NE(co->results[2].find("bad argument #2"), std::string::npos);
}

// A coroutine keeps the settings that were current when it was made.
TEST_F(LuaConfigModule, CoroutineKeepsItsSettings)
{
    ox::TRAXDConfig config;
    config.set_block_unchecked(false);
    apply(config);
    auto early = coroutine("local config = require('orvex.config') host_wait() return config.block_unchecked");
    early->resume(0);
    config.set_block_unchecked(true);
    apply(config);
    EXPECT_EQ(read("config.block_unchecked"), (strings{"true"}));
    lua_test::run_pending();
    EXPECT_EQ(early->results, (strings{"false"}));
}

} // namespace
