#include "common/url.hpp"

#include "common/idn.hpp"
#include "common/percent_coding.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include <exception>
#include <stdexcept>

namespace ox::oxs {

namespace {

// The component decoded, or as written when it does not decode.
std::string decoded(std::string_view text)
{
    try {
        auto out = percent_decode(text);
        if (!out.empty())
            return out;
    } catch (const std::exception&) {
    }
    return std::string(text);
}

std::optional<std::uint16_t> parse_port(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    unsigned long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535)
            return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::string lower_ascii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Splits host and port text; a bracketed IPv6 literal is the host whole.
std::pair<std::string_view, std::string_view> split_port(std::string_view authority)
{
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close != std::string_view::npos) {
            const auto after = authority.substr(close + 1);
            if (after.empty())
                return {authority, {}};
            if (after.front() == ':')
                return {authority.substr(0, close + 1), after.substr(1)};
        }
    }
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos)
        return {authority, {}};
    return {authority.substr(0, colon), authority.substr(colon + 1)};
}

std::optional<std::uint16_t> default_port(const std::string& scheme)
{
    if (boost::algorithm::iequals(scheme, "http"))
        return 80;
    if (boost::algorithm::iequals(scheme, "https"))
        return 443;
    return std::nullopt;
}

std::string text_of(std::string_view text, unsigned mode, int extra = -1)
{
    return mode == url_t::encoded ? percent_encode(text, extra) : percent_encode_controls(text);
}

} // namespace

url_t::url_t(addresses_t addresses) : addresses(std::move(addresses)) {}

url_t::url_t(std::string scheme, std::string user, std::string password, std::string host, std::string path,
             params_t query, std::string fragment, std::optional<std::uint16_t> port, addresses_t addresses)
    : scheme(std::move(scheme)),
      user(std::move(user)),
      password(std::move(password)),
      host(std::move(host)),
      path(std::move(path)),
      query(std::move(query)),
      fragment(std::move(fragment)),
      port(port),
      addresses(std::move(addresses))
{
}

url_t::url_t(const std::string& text, addresses_t addresses) : addresses(std::move(addresses))
{
    std::string_view rest = text;

    // A scheme only when "://" comes before anything that ends it.
    if (!rest.empty() && rest.front() != '/' && rest.front() != '?') {
        const auto separator = rest.find("://");
        if (separator != std::string_view::npos &&
            rest.substr(0, separator).find_first_of("/?#") == std::string_view::npos) {
            scheme = rest.substr(0, separator);
            rest.remove_prefix(separator + 3);
        }
    }

    // The fragment begins at the first '#' and the query at the first '?'
    // before it.
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        fragment = decoded(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    std::string_view query_text;
    if (const auto mark = rest.find('?'); mark != std::string_view::npos) {
        query_text = rest.substr(mark + 1);
        rest = rest.substr(0, mark);
    }

    std::string_view authority;
    if (!rest.empty() && rest.front() == '/') {
        path = decoded(rest);
    } else if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
        authority = rest.substr(0, slash);
        path = decoded(rest.substr(slash));
    } else {
        authority = rest;
    }

    // User information lies inside the authority only; the host can hold no
    // '@', so the last one ends it.
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        const auto info = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        const auto colon = info.rfind(':');
        user = decoded(info.substr(0, colon));
        if (colon != std::string_view::npos)
            password = decoded(info.substr(colon + 1));
    }

    auto [host_text, port_text] = split_port(authority);
    while (host_text.starts_with('.'))
        host_text.remove_prefix(1);
    while (host_text.ends_with('.'))
        host_text.remove_suffix(1);
    host = lower_ascii(idn_to_unicode(host_text));
    port = parse_port(port_text);

    while (!query_text.empty()) {
        const auto amp = query_text.find('&');
        const auto pair = query_text.substr(0, amp);
        const auto equals = pair.find('=');
        query.emplace_back(decoded(pair.substr(0, equals)),
                           equals == std::string_view::npos ? std::string() : decoded(pair.substr(equals + 1)));
        if (amp == std::string_view::npos)
            break;
        query_text.remove_prefix(amp + 1);
    }
}

const std::string& url_t::to_string(unsigned mode) const
{
    if (mode >= texts_.size())
        throw std::out_of_range("url_t::to_string: no such mode");
    auto& text = texts_[mode];
    if (text.empty())
        text = print(mode);
    return text;
}

std::string url_t::print(unsigned mode) const
{
    std::string out;
    if (!scheme.empty()) {
        out += percent_encode_controls(scheme);
        out += "://";
    }
    if (!user.empty() || !password.empty()) {
        out += text_of(user, mode);
        if (!password.empty()) {
            out += ':';
            out += text_of(password, mode);
        }
        out += '@';
    }
    if (!host.empty())
        out += percent_encode_controls(mode == encoded ? idn_to_ascii(host) : host);

    if (mode == encoded) {
        if (port)
            out += ':' + std::to_string(*port);
    } else {
        const auto fallback = default_port(scheme);
        if (mode == plain_with_port) {
            // The port always takes its place, host or not, so that readers
            // of this form find it in one position.
            out += ':' + std::to_string(port ? *port : fallback.value_or(0));
        } else if (port && port != fallback) {
            out += ':' + std::to_string(*port);
        }
    }

    const bool lone_slash = mode != encoded && path == "/" && query.empty() && fragment.empty();
    if (!path.empty() && !lone_slash)
        out += text_of(path, mode, '/');
    if (!query.empty()) {
        out += '?';
        out += params_to_string(query, mode);
    }
    if (!fragment.empty()) {
        out += '#';
        out += text_of(fragment, mode);
    }
    return out;
}

std::string url_t::params_to_string(const params_t& params, unsigned mode)
{
    std::string out;
    // A separator only behind text already written: leading empty pairs
    // vanish, while "a&&b" prints as it was parsed.
    for (const auto& param : params) {
        if (!out.empty())
            out += '&';
        out += params_to_string(param, mode);
    }
    return out;
}

std::string url_t::params_to_string(const param_t& param, unsigned mode)
{
    auto out = text_of(param.first, mode);
    if (!param.second.empty()) {
        out += '=';
        out += text_of(param.second, mode);
    }
    return out;
}

std::string url_t::percent_encode(const char* data, std::size_t length, int extra)
{
    return oxs::percent_encode(data, length, extra);
}

std::string url_t::percent_encode(std::string_view text, int extra)
{
    return oxs::percent_encode(text, extra);
}

std::string url_t::percent_decode(const char* data, std::size_t length)
{
    return oxs::percent_decode(data, length);
}

} // namespace ox::oxs
