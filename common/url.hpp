#pragma once

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ox::oxs {

// A parsed URL. The parser is forgiving and never fails: any text gives a
// value. Components are kept decoded, the host in its Unicode form, lower
// case and without leading or trailing dots.
class url_t {
public:
    using param_t = std::pair<std::string, std::string>;
    using params_t = std::vector<param_t>;
    // Ordered IPv4 before IPv6, then by value and scope.
    using addresses_t = std::set<boost::asio::ip::address>;

    // The printed forms.
    static constexpr unsigned encoded = 0; // percent-encoded, host in IDN ASCII form
    static constexpr unsigned plain = 1;   // as stored, default port and a lone "/" left out
    // as plain, with ":" and a port always after the host's place, even
    // without a host: the written port, else the scheme's default, else 0
    static constexpr unsigned plain_with_port = 2;

    std::string scheme;
    std::string user;
    std::string password;
    std::string host;
    std::string path;
    params_t query;
    std::string fragment;
    std::optional<std::uint16_t> port;
    // Server addresses of the host; they take no part in the printed forms.
    addresses_t addresses;

    explicit url_t(addresses_t addresses = {});
    // Stores the parts exactly as given.
    url_t(std::string scheme, std::string user, std::string password, std::string host, std::string path,
          params_t query, std::string fragment, std::optional<std::uint16_t> port, addresses_t addresses = {});
    explicit url_t(const std::string& text, addresses_t addresses = {});

    // The text of mode 0, 1 or 2, computed on first use and cached: members
    // changed afterwards do not show. Throws std::out_of_range for any
    // other mode. The plain forms keep control bytes percent-encoded.
    const std::string& to_string(unsigned mode) const;

    // name=value pairs joined by "&"; "=" only before a non-empty value.
    // Mode 0 percent-encodes names and values, the others write them plain.
    static std::string params_to_string(const params_t& params, unsigned mode);
    static std::string params_to_string(const param_t& param, unsigned mode);

    // See common/percent_coding.hpp.
    static std::string percent_encode(const char* data, std::size_t length, int extra);
    static std::string percent_encode(std::string_view text, int extra);
    static std::string percent_decode(const char* data, std::size_t length);

private:
    std::string print(unsigned mode) const;

    mutable std::array<std::string, 3> texts_;
};

} // namespace ox::oxs
