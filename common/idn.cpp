#include "common/idn.hpp"

#include "common/punycode.hpp"

#include <boost/locale/utf.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>

namespace ox::oxs {

namespace {

namespace utf = boost::locale::utf;

// A label of a host name is at most 63 bytes in the DNS.
constexpr std::size_t max_label = 63;
constexpr std::size_t max_encoded = 256;

bool is_ascii(std::string_view label)
{
    return std::all_of(label.begin(), label.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// The punycode of a UTF-8 label, or nothing when it cannot be converted.
std::optional<std::string> encode_label(std::string_view label)
{
    if (label.size() > max_label)
        return std::nullopt;
    std::uint32_t points[max_label];
    std::size_t count = 0;
    for (auto it = label.begin(); it != label.end();) {
        const utf::code_point cp = utf::utf_traits<char>::decode(it, label.end());
        if (cp == utf::illegal || cp == utf::incomplete)
            return std::nullopt;
        points[count++] = cp;
    }
    char encoded[max_encoded];
    std::size_t length = max_encoded;
    if (punycode_encode(count, points, nullptr, &length, encoded) != punycode_status_t::success)
        return std::nullopt;
    return std::string(encoded, length);
}

// The UTF-8 text of an ACE label's punycode part, or nothing when it does
// not decode to a label that idn_to_ascii would turn back into it.
std::optional<std::string> decode_label(std::string_view encoded)
{
    if (encoded.empty() || encoded.size() > max_encoded)
        return std::nullopt;
    std::uint32_t points[max_label];
    std::size_t count = max_label;
    if (punycode_decode(encoded.size(), encoded.data(), &count, points, nullptr) != punycode_status_t::success)
        return std::nullopt;
    std::string text;
    bool non_ascii = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (!utf::is_valid_codepoint(points[i]))
            return std::nullopt;
        non_ascii = non_ascii || points[i] >= 0x80;
        utf::utf_traits<char>::encode(points[i], std::back_inserter(text));
    }
    if (!non_ascii)
        return std::nullopt;
    const auto again = encode_label(text);
    if (!again || !equal_ignoring_ascii_case(*again, encoded))
        return std::nullopt;
    return text;
}

// Applies convert to every label and joins the results with '.', adding a
// '.' only behind text already written.
template <typename convert_t>
std::string each_label(std::string_view host, convert_t convert)
{
    std::string out;
    out.reserve(host.size());
    for (;;) {
        const auto dot = host.find('.');
        const auto label = host.substr(0, dot);
        if (!out.empty())
            out += '.';
        convert(label, out);
        if (dot == std::string_view::npos)
            break;
        host.remove_prefix(dot + 1);
    }
    return out;
}

} // namespace

std::string idn_to_ascii(std::string_view host)
{
    return each_label(host, [](std::string_view label, std::string& out) {
        if (is_ascii(label)) {
            out += label;
        } else if (const auto encoded = encode_label(label)) {
            out += ace_prefix;
            out += *encoded;
        } else {
            out += label;
        }
    });
}

std::string idn_to_ascii(const char* host, std::size_t length)
{
    return idn_to_ascii(std::string_view(host, length));
}

std::string idn_to_unicode(std::string_view host)
{
    return each_label(host, [](std::string_view label, std::string& out) {
        if (label.starts_with(ace_prefix)) {
            if (const auto decoded = decode_label(label.substr(ace_prefix.size()))) {
                out += *decoded;
                return;
            }
        }
        out += label;
    });
}

std::string idn_to_unicode(const char* host, std::size_t length)
{
    return idn_to_unicode(std::string_view(host, length));
}

} // namespace ox::oxs
