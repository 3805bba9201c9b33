#include "common/percent_coding.hpp"

#include <boost/algorithm/hex.hpp>

#include <algorithm>

namespace ox::oxs {

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

void append_escape(std::string& out, unsigned char byte)
{
    out += '%';
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 0xF];
}

bool is_control(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F;
}

// ASCII only, whatever the global locale says about bytes above 0x7F.
bool is_ascii_alnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

std::string percent_encode(const char* data, std::size_t length, int extra)
{
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const char c = data[i];
        const auto byte = static_cast<unsigned char>(c);
        if (static_cast<int>(byte) == extra || is_ascii_alnum(c) || c == '-' || c == '_' || c == '.' || c == '*' ||
            c == '+')
            out += c;
        else
            append_escape(out, byte);
    }
    return out;
}

std::string percent_encode(std::string_view text, int extra)
{
    return percent_encode(text.data(), text.size(), extra);
}

std::string percent_decode(const char* data, std::size_t length)
{
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] != '%') {
            out += data[i];
            continue;
        }
        if (length - i < 3)
            return {};
        boost::algorithm::unhex(data + i + 1, data + i + 3, std::back_inserter(out));
        i += 2;
    }
    return out;
}

std::string percent_decode(std::string_view text)
{
    return percent_decode(text.data(), text.size());
}

std::string percent_encode_controls(std::string_view text)
{
    if (std::none_of(text.begin(), text.end(), [](char c) { return is_control(static_cast<unsigned char>(c)); }))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        if (is_control(static_cast<unsigned char>(c)))
            append_escape(out, static_cast<unsigned char>(c));
        else
            out += c;
    }
    return out;
}

} // namespace ox::oxs
