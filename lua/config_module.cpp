#include "lua/config_module.hpp"

#include <string>
#include <vector>

#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "schemas/scan_report.pb.h"
#include "schemas/url_category.pb.h"

namespace ic {

namespace {

using switch_t = bool (ox::TRAXDConfig::*)() const;

struct url_switch_t {
    switch_t setting;
    ox::UrlCategory category;
};

const url_switch_t url_switches[] = {
    {&ox::TRAXDConfig::block_infection_source, ox::UC_INFECTION_SOURCE},
    {&ox::TRAXDConfig::block_not_recommended, ox::UC_NOT_RECOMMENDED},
    {&ox::TRAXDConfig::block_adult_content, ox::UC_ADULT_CONTENT},
    {&ox::TRAXDConfig::block_violence, ox::UC_VIOLENCE},
    {&ox::TRAXDConfig::block_weapons, ox::UC_WEAPONS},
    {&ox::TRAXDConfig::block_gambling, ox::UC_GAMBLING},
    {&ox::TRAXDConfig::block_drugs, ox::UC_DRUGS},
    {&ox::TRAXDConfig::block_obscene_language, ox::UC_OBSCENE_LANGUAGE},
    {&ox::TRAXDConfig::block_chats, ox::UC_CHATS},
    {&ox::TRAXDConfig::block_terrorism, ox::UC_TERRORISM},
    {&ox::TRAXDConfig::block_free_email, ox::UC_FREE_EMAIL},
    {&ox::TRAXDConfig::block_social_networks, ox::UC_SOCIAL_NETWORKS},
    {&ox::TRAXDConfig::block_due_to_copyright_notice, ox::UC_OWNERS_NOTICE},
    {&ox::TRAXDConfig::block_online_games, ox::UC_ONLINE_GAMES},
    {&ox::TRAXDConfig::block_anonymizers, ox::UC_ANONYMIZERS},
    {&ox::TRAXDConfig::block_cryptocurrency_mining_pools, ox::UC_CRYPTOCURRENCY_MINING_POOLS},
    {&ox::TRAXDConfig::block_jobs, ox::UC_JOBS},
};

struct threat_switch_t {
    switch_t setting;
    std::vector<ox::VirusType> types;
};

const threat_switch_t threat_switches[] = {
    {&ox::TRAXDConfig::block_known_virus, {ox::SE_KNOWN_VIRUS, ox::SE_VIRUS_MODIFICATION}},
    {&ox::TRAXDConfig::block_suspicious, {ox::SE_UNKNOWN_VIRUS}},
    {&ox::TRAXDConfig::block_adware, {ox::SE_ADWARE}},
    {&ox::TRAXDConfig::block_dialers, {ox::SE_DIALER}},
    {&ox::TRAXDConfig::block_jokes, {ox::SE_JOKE}},
    {&ox::TRAXDConfig::block_riskware, {ox::SE_RISKWARE}},
    {&ox::TRAXDConfig::block_hacktools, {ox::SE_HACKTOOL}},
};

// An enumeration value's name without its three-character prefix ("UC_",
// "SE_"), in lower case: the name scripts use.
std::string script_name(const std::string& name)
{
    std::string lowered = name.substr(3);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lowered;
}

void push_list(lua_State* L, const ox::StringList& list)
{
    lua_createtable(L, list.item_size(), 0);
    lua_Integer index = 0;
    for (const std::string& item : list.item()) {
        ox::lua::push_string(L, item);
        lua_rawseti(L, -2, ++index);
    }
}

void push_names(lua_State* L, const std::vector<std::string>& names)
{
    lua_createtable(L, static_cast<int>(names.size()), 0);
    lua_Integer index = 0;
    for (const std::string& name : names) {
        ox::lua::push_string(L, name);
        lua_rawseti(L, -2, ++index);
    }
}

void push_block_lists(lua_State* L, const ox::TRAXDConfig& config)
{
    std::vector<std::string> categories;
    for (const url_switch_t& entry : url_switches)
        if ((config.*entry.setting)())
            categories.push_back(script_name(ox::UrlCategory_Name(entry.category)));
    push_names(L, categories);
    lua_setfield(L, -2, "block_url_categories");

    std::vector<std::string> threats;
    for (const threat_switch_t& entry : threat_switches)
        if ((config.*entry.setting)())
            for (const ox::VirusType type : entry.types)
                threats.push_back(script_name(ox::VirusType_Name(type)));
    push_names(L, threats);
    lua_setfield(L, -2, "block_threats");
}

// __index of the module: the key's value in the running coroutine's
// settings table.
int config_index(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TTABLE);
    luaL_checktype(L, 2, LUA_TSTRING);
    ox::lua::registry_get(L, ox::lua::key::coroutine_environment);
    lua_pushvalue(L, 2);
    lua_rawget(L, -2);
    return 1;
}

int load_config_module(lua_State* L)
{
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, config_index);
    lua_setfield(L, -2, "__index");
    lua_pushvalue(L, -1);
    lua_setmetatable(L, -2);
    ox::lua::make_const(L);
    return 1;
}

} // namespace

void open_config_module(lua_State* L)
{
    luaL_requiref(L, "orvex.config", load_config_module, 0);
    lua_pop(L, 1);
}

void push_config(lua_State* L, const ox::TRAXDConfig& config)
{
    lua_createtable(L, 0, 6);
    push_list(L, config.whitelist());
    lua_setfield(L, -2, "whitelist");
    push_list(L, config.blacklist());
    lua_setfield(L, -2, "blacklist");
    push_list(L, config.adlist());
    lua_setfield(L, -2, "adlist");
    push_block_lists(L, config);
    lua_pushboolean(L, config.block_unchecked());
    lua_setfield(L, -2, "block_unchecked");
    ox::lua::registry_set(L, ox::lua::key::coroutine_environment);
}

} // namespace ic
