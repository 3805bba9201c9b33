#pragma once

// The module "orvex": the process log for scripts (log, debug .. error),
// the non-blank lines of text files as arrays and sets (load_array,
// load_set), a timer that suspends the script without blocking the event
// loop (sleep), tasks whose results a script can wait for (async) and IP
// addresses (ip).

#include <string>
#include <unordered_map>

#include <boost/asio/io_context.hpp>

#include <lua.hpp>

namespace ox::lua::orvex {

inline constexpr const char* io_service_key = "ox.lua.orvex.io_service";
inline constexpr const char* steady_timer_ptr_metatable = "ox.lua.orvex.steady_timer_ptr_metatable";

// The level names of orvex.log and their ox::util log levels.
extern const std::unordered_map<std::string, int> log_level_names;

// The registry slots of the module: the event loop, and the metatables of
// tasks, IP addresses and sleep timers.
void register_metatables(lua_State* L, boost::asio::io_context* io_context);

// Registers the module (a read-only view) in package.loaded.
void open(lua_State* L);

int log(lua_State* L);
int log_at_level(lua_State* L, int level);
int load_array(lua_State* L);
int load_set(lua_State* L);
// sleep(seconds), with the event loop in the first upvalue.
int sleep(lua_State* L);
int ip(lua_State* L);

} // namespace ox::lua::orvex
