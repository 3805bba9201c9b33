#include "lua/ip_address.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include <boost/asio/error.hpp>

#include "common/address_prefix.hpp"
#include "lua/library.hpp"
#include "lua/make_const.hpp"
#include "lua/protect.hpp"
#include "lua/value_readers.hpp"

namespace ox::lua::orvex {

namespace {

namespace ip = boost::asio::ip;

class invalid_subnet_t : public std::invalid_argument {
public:
    invalid_subnet_t() : std::invalid_argument("invalid subnet") {}
};

bool has_nul(const std::string& text)
{
    return text.find('\0') != std::string::npos;
}

// The address and the text after "/", if any; more than one "/" is invalid.
std::pair<std::string, std::optional<std::string>> split_subnet(const std::string& text)
{
    if (has_nul(text))
        throw invalid_subnet_t();
    const auto slash = text.find('/');
    if (slash == std::string::npos)
        return {text, std::nullopt};
    if (text.find('/', slash + 1) != std::string::npos)
        throw invalid_subnet_t();
    return {text.substr(0, slash), text.substr(slash + 1)};
}

// A prefix length of decimal digits only: no sign, so that "-65504" cannot
// wrap around into a small unsigned number. Nothing when the text is not
// all digits; a number beyond `bits` is invalid.
std::optional<unsigned> parse_prefix(const std::string& text, unsigned bits)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > bits)
            throw invalid_subnet_t();
    }
    return value;
}

unsigned netmask_prefix(const std::string& text)
{
    boost::system::error_code error;
    const ip::address_v4 mask = ip::make_address_v4(text, error);
    if (error)
        throw invalid_subnet_t();
    const std::uint32_t inverted = ~mask.to_uint();
    if ((inverted & (inverted + 1)) != 0)
        throw invalid_subnet_t();
    return static_cast<unsigned>(__builtin_popcount(mask.to_uint()));
}

ip::address* check_ip_address(lua_State* L, int index)
{
    return static_cast<ip::address*>(luaL_checkudata(L, index, ip_address_metatable));
}

} // namespace

void register_ip_address_metatable(lua_State* L)
{
    static const luaL_Reg functions[] = {{"__index", ip_address_index},   {"__tostring", ip_address_tostring},
                                         {"__concat", ip_address_concat}, {"__eq", ip_address_eq},
                                         {"__band", ip_address_band},     {nullptr, nullptr}};
    lua_createtable(L, 0, 5);
    luaL_setfuncs(L, functions, 0);
    registry_set(L, ip_address_metatable);
}

void push_ip_address(lua_State* L, const boost::asio::ip::address& address)
{
    new_userdata<ip::address>(L, address);
    registry_get(L, ip_address_metatable);
    lua_setmetatable(L, -2);
}

boost::asio::ip::address* to_ip_address(lua_State* L, int index)
{
    return static_cast<ip::address*>(luaL_testudata(L, index, ip_address_metatable));
}

boost::asio::ip::address make_address(const std::string& text, boost::system::error_code& error)
{
    if (has_nul(text)) {
        error = boost::asio::error::invalid_argument;
        return {};
    }
    return ip::make_address(text, error);
}

boost::asio::ip::network_v4 parse_subnet_v4(const std::string& text)
{
    const auto [address_text, prefix_text] = split_subnet(text);
    boost::system::error_code error;
    const ip::address_v4 address = ip::make_address_v4(address_text, error);
    if (error)
        throw invalid_subnet_t();
    if (!prefix_text)
        return ip::network_v4(address, 32);
    const std::optional<unsigned> prefix = parse_prefix(*prefix_text, 32);
    return ip::network_v4(address, static_cast<unsigned short>(prefix ? *prefix : netmask_prefix(*prefix_text)));
}

boost::asio::ip::network_v6 parse_subnet_v6(const std::string& text)
{
    const auto [address_text, prefix_text] = split_subnet(text);
    boost::system::error_code error;
    const ip::address_v6 address = ip::make_address_v6(address_text, error);
    if (error)
        throw invalid_subnet_t();
    if (!prefix_text)
        return ip::network_v6(address, 128);
    const std::optional<unsigned> prefix = parse_prefix(*prefix_text, 128);
    if (!prefix)
        throw invalid_subnet_t();
    return ip::network_v6(address, static_cast<unsigned short>(*prefix));
}

int ip_address_index(lua_State* L)
{
    check_ip_address(L, 1);
    std::size_t length = 0;
    const char* key = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &length) : nullptr;
    if (key == nullptr || length != 7 || std::memcmp(key, "belongs", 7) != 0) {
        lua_pushnil(L);
        return 1;
    }
    lua_pushvalue(L, 1);
    lua_pushcclosure(L, belongs, 1);
    return 1;
}

int ip_address_tostring(lua_State* L)
{
    const ip::address* address = check_ip_address(L, 1);
    return protect(L, [&] {
        push_string(L, address->to_string());
        return 1;
    });
}

int ip_address_concat(lua_State* L)
{
    return tostring_concat(L, to_ip_address(L, 1) != nullptr ? 1 : 2);
}

int ip_address_eq(lua_State* L)
{
    const ip::address* a = to_ip_address(L, 1);
    const ip::address* b = to_ip_address(L, 2);
    lua_pushboolean(L, a != nullptr && b != nullptr && *a == *b);
    return 1;
}

int ip_address_band(lua_State* L)
{
    const ip::address* a = to_ip_address(L, 1);
    const ip::address* b = to_ip_address(L, 2);
    if (a == nullptr || b == nullptr)
        return luaL_error(L, "Cannot mask an ip address with a %s", luaL_typename(L, a == nullptr ? 1 : 2));
    if (a->is_v4() != b->is_v4())
        return luaL_error(L, "Cannot mask ip addresses with different ip versions");
    if (a->is_v4()) {
        push_ip_address(L, ip::address_v4(a->to_v4().to_uint() & b->to_v4().to_uint()));
        return 1;
    }
    ip::address_v6::bytes_type bytes = a->to_v6().to_bytes();
    const ip::address_v6::bytes_type other = b->to_v6().to_bytes();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] &= other[i];
    push_ip_address(L, ip::address_v6(bytes));
    return 1;
}

int belongs(lua_State* L)
{
    const ip::address* address = to_ip_address(L, lua_upvalueindex(1));
    if (address == nullptr)
        return luaL_error(L, "belongs: not bound to an ip address");
    return protect(L, [&] {
        std::vector<std::string> subnets;
        const int type = lua_type(L, 1);
        if (type == LUA_TSTRING) {
            subnets.push_back(to_string(L, 1));
        } else if (type == LUA_TTABLE) {
            const lua_Integer count = luaL_len(L, 1);
            for (lua_Integer i = 1; i <= count; ++i) {
                if (lua_geti(L, 1, i) != LUA_TSTRING)
                    return luaL_argerror(L, 1, "all elements of subnet array must be strings");
                subnets.push_back(to_string(L, -1));
                lua_pop(L, 1);
            }
        } else {
            return luaL_argerror(L, 1, "must be string or array of strings");
        }

        // Every text is parsed before any is tested.
        std::vector<ip::network_v4> networks_v4;
        std::vector<ip::network_v6> networks_v6;
        const std::string* invalid = nullptr;
        for (const std::string& subnet : subnets) {
            try {
                if (address->is_v4())
                    networks_v4.push_back(parse_subnet_v4(subnet));
                else
                    networks_v6.push_back(parse_subnet_v6(subnet));
            } catch (const std::invalid_argument&) {
                invalid = &subnet;
                break;
            }
        }
        if (invalid != nullptr) {
            const std::string message = "Invalid subnet: " + *invalid;
            return luaL_argerror(L, 1, message.c_str());
        }
        bool found = false;
        if (address->is_v4()) {
            const auto bytes = address->to_v4().to_bytes();
            for (const ip::network_v4& network : networks_v4)
                if ((found = ox::util::ipv4_prefix_equal(bytes.data(), network.address().to_bytes().data(),
                                                         network.prefix_length())))
                    break;
        } else {
            const auto bytes = address->to_v6().to_bytes();
            for (const ip::network_v6& network : networks_v6)
                if ((found = ox::util::ipv6_prefix_equal(bytes.data(), network.address().to_bytes().data(),
                                                         network.prefix_length())))
                    break;
        }
        lua_pushboolean(L, found);
        return 1;
    });
}

} // namespace ox::lua::orvex
