#pragma once

// The module "orvex.config": the settings meant for the policy script (URL
// white, black and ad lists, the URL and threat categories to block, and
// block_unchecked), read-only. A hook sees the settings that were current
// when it started: the module reads the settings table of the running
// coroutine, which each coroutine captures when it is made.

#include <lua.hpp>

#include "schemas/traxd_config.pb.h"

namespace ic {

// Registers the module in package.loaded.
void open_config_module(lua_State* L);

// Builds the settings table of `config` and makes it current for the
// coroutines made from now on (registry "ox.lua.coroutine_environment").
void push_config(lua_State* L, const ox::TRAXDConfig& config);

} // namespace ic
