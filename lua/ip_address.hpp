#pragma once

// The IpAddress of the scripts: a userdata holding one IPv4 or IPv6
// address. It prints as its usual text, compares with another, masks with
// another of its version (&), and answers whether it lies in one of a list
// of subnets: a.belongs("10.0.0.0/8") or a.belongs({...}), a subnet being
// address/prefix or, for IPv4, address/netmask.

#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <boost/system/error_code.hpp>

#include <lua.hpp>

namespace ox::lua::orvex {

inline constexpr const char* ip_address_metatable = "ox.lua.orvex.ip_address_metatable";

// Creates the IpAddress metatable in the registry.
void register_ip_address_metatable(lua_State* L);

// Pushes a new IpAddress holding a copy of the address.
void push_ip_address(lua_State* L, const boost::asio::ip::address& address);
// The address held by the value at index; null for any other value.
boost::asio::ip::address* to_ip_address(lua_State* L, int index);

// An IPv6 address text (with an optional "%" scope), else an IPv4 one in
// dotted decimal; EINVAL for anything else, a text with a NUL byte
// included.
boost::asio::ip::address make_address(const std::string& text, boost::system::error_code& error);

// Subnet texts of the two versions: address, "/" and a prefix length of
// decimal digits no greater than the address's bits, or (IPv4 only) a
// netmask of contiguous leading bits; without "/" the whole address.
// Throw std::invalid_argument for any other text.
boost::asio::ip::network_v4 parse_subnet_v4(const std::string& text);
boost::asio::ip::network_v6 parse_subnet_v6(const std::string& text);

int ip_address_index(lua_State* L);
int ip_address_tostring(lua_State* L);
int ip_address_concat(lua_State* L);
int ip_address_eq(lua_State* L);
int ip_address_band(lua_State* L);
// belongs(subnets) with the address in the first upvalue.
int belongs(lua_State* L);

} // namespace ox::lua::orvex
