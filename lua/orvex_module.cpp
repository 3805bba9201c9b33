#include "lua/orvex_module.hpp"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "common/util_log.hpp"
#include "lua/coroutine.hpp"
#include "lua/future.hpp"
#include "lua/ip_address.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "lua/protect.hpp"
#include "lua/read_lines.hpp"
#include "lua/value_readers.hpp"

namespace ox::lua::orvex {

const std::unordered_map<std::string, int> log_level_names = {
    {"debug", 0}, {"info", 1}, {"notice", 2}, {"warning", 3}, {"error", 4}};

namespace {

using timer_ptr_t = std::shared_ptr<boost::asio::steady_timer>;

int timer_gc(lua_State* L)
{
    if (auto* timer = static_cast<timer_ptr_t*>(luaL_testudata(L, 1, steady_timer_ptr_metatable)))
        timer->reset();
    return 0;
}

template <int level>
int log_fixed(lua_State* L)
{
    return log_at_level(L, level);
}

// seconds as whole nanoseconds, truncated toward zero. A delay beyond the
// 64-bit range (infinity included) is the longest one and a NaN none, so
// that no conversion is undefined; the timer saturates at its clock's end.
std::chrono::nanoseconds to_delay(lua_Number seconds)
{
    const double nanoseconds = static_cast<double>(seconds) * 1e9;
    // 2^63: the first double beyond the range of std::int64_t.
    constexpr double limit = 9223372036854775808.0;
    if (std::isnan(nanoseconds))
        return std::chrono::nanoseconds::zero();
    if (nanoseconds >= limit)
        return std::chrono::nanoseconds::max();
    if (nanoseconds <= -limit)
        return std::chrono::nanoseconds::min();
    return std::chrono::nanoseconds(static_cast<std::int64_t>(nanoseconds));
}

void sleep_completion(lua_State* main, int anchor, const std::weak_ptr<boost::asio::steady_timer>& timer,
                      const std::shared_ptr<bool>& destroyed, coroutine_t* coroutine,
                      const boost::system::error_code& error)
{
    // Without the timer the state is closing or closed: do not touch it.
    if (!timer.expired())
        luaL_unref(main, LUA_REGISTRYINDEX, anchor);
    if (*destroyed)
        return;
    if (error)
        throw boost::system::system_error(error, "Sleep timer");
    coroutine->resume(0);
}

int load_module(lua_State* L)
{
    static const luaL_Reg log_functions[] = {{"log", log},
                                             {"debug", log_fixed<0>},
                                             {"info", log_fixed<1>},
                                             {"notice", log_fixed<2>},
                                             {"warning", log_fixed<3>},
                                             {"error", log_fixed<4>},
                                             {nullptr, nullptr}};
    static const luaL_Reg file_functions[] = {{"load_set", load_set}, {"load_array", load_array}, {nullptr, nullptr}};
    lua_createtable(L, 0, 11);
    luaL_setfuncs(L, log_functions, 0);
    luaL_setfuncs(L, file_functions, 0);
    registry_get(L, io_service_key);
    lua_pushcclosure(L, sleep, 1);
    lua_setfield(L, -2, "sleep");
    lua_pushcfunction(L, async);
    lua_setfield(L, -2, "async");
    lua_pushcfunction(L, ip);
    lua_setfield(L, -2, "ip");
    make_const(L);
    return 1;
}

} // namespace

void register_metatables(lua_State* L, boost::asio::io_context* io_context)
{
    lua_pushlightuserdata(L, io_context);
    registry_set(L, io_service_key);

    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, future_gc);
    lua_setfield(L, -2, "__gc");
    registry_set(L, future_metatable);

    register_ip_address_metatable(L);

    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, timer_gc);
    lua_setfield(L, -2, "__gc");
    registry_set(L, steady_timer_ptr_metatable);
}

void open(lua_State* L)
{
    luaL_requiref(L, "orvex", load_module, 0);
    lua_pop(L, 1);
}

int log(lua_State* L)
{
    std::size_t length = 0;
    const char* name = luaL_checklstring(L, 1, &length);
    int level = 0;
    protect(L, [&] {
        std::string lowered(name, length);
        for (char& c : lowered)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto found = log_level_names.find(lowered);
        level = found != log_level_names.end() ? found->second : -1;
        return 0;
    });
    if (level < 0)
        return luaL_argerror(L, 1, "");
    luaL_checkany(L, 2);
    lua_settop(L, 2);
    lua_remove(L, 1);
    return log_at_level(L, level);
}

int log_at_level(lua_State* L, int level)
{
    luaL_checkany(L, 1);
    if (ox::util::get_log_level() > level)
        return 0;
    return protect(L, [&] {
        ox::lua::log(L, level, "Lua: " + to_display_string(L, 1));
        return 0;
    });
}

int load_array(lua_State* L)
{
    std::size_t length = 0;
    const char* path = luaL_checklstring(L, 1, &length);
    return protect(L, [&] {
        std::vector<std::string> lines;
        std::string failure;
        try {
            lines = read_lines(std::string(path, length));
        } catch (const std::runtime_error& e) {
            failure = e.what();
        }
        if (!failure.empty())
            return luaL_error(L, "%s", failure.c_str());
        lua_createtable(L, static_cast<int>(lines.size()), 0);
        lua_Integer index = 0;
        for (const std::string& line : lines) {
            push_string(L, line);
            lua_rawseti(L, -2, ++index);
        }
        return 1;
    });
}

int load_set(lua_State* L)
{
    std::size_t length = 0;
    const char* path = luaL_checklstring(L, 1, &length);
    return protect(L, [&] {
        std::set<std::string> lines;
        std::string failure;
        try {
            for (std::string& line : read_lines(std::string(path, length)))
                lines.insert(std::move(line));
        } catch (const std::runtime_error& e) {
            failure = e.what();
        }
        if (!failure.empty())
            return luaL_error(L, "%s", failure.c_str());
        lua_createtable(L, 0, static_cast<int>(lines.size()));
        for (const std::string& line : lines) {
            push_string(L, line);
            lua_pushboolean(L, 1);
            lua_rawset(L, -3);
        }
        return 1;
    });
}

int sleep(lua_State* L)
{
    const lua_Number seconds = luaL_checknumber(L, 1);
    coroutine_t* coroutine = current_coroutine(L);
    auto* io_context = static_cast<boost::asio::io_context*>(lua_touserdata(L, lua_upvalueindex(1)));
    protect(L, [&] {
        auto* timer = new_userdata<timer_ptr_t>(L, std::make_shared<boost::asio::steady_timer>(*io_context));
        registry_get(L, steady_timer_ptr_metatable);
        lua_setmetatable(L, -2);
        // Anchored until it has fired, whatever the script drops.
        const int anchor = luaL_ref(L, LUA_REGISTRYINDEX);
        (*timer)->expires_after(to_delay(seconds));
        (*timer)->async_wait([main = main_state(L), anchor, weak = std::weak_ptr(*timer),
                              destroyed = coroutine->destroyed_flag(),
                              coroutine](const boost::system::error_code& error) {
            sleep_completion(main, anchor, weak, destroyed, coroutine, error);
        });
        return 0;
    });
    return yield(L, 0, nullptr);
}

int ip(lua_State* L)
{
    if (lua_gettop(L) != 1)
        return luaL_error(L, "Cannot create IpAddress: bad arguments");
    if (lua_type(L, 1) != LUA_TSTRING)
        return luaL_error(L, "Cannot create IpAddress from %s", luaL_typename(L, 1));
    return protect(L, [&] {
        const std::string text = to_string(L, 1);
        boost::system::error_code error;
        const boost::asio::ip::address address = make_address(text, error);
        if (error) {
            const std::string message = error.message();
            return luaL_error(L, "Cannot create IpAddress from \"%s\": %s", text.c_str(), message.c_str());
        }
        push_ip_address(L, address);
        return 1;
    });
}

} // namespace ox::lua::orvex
