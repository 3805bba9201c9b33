#pragma once

// Byte-level text helpers of the wire grammars: ASCII only, independent of
// the locale.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace proto {

inline bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// White space as isspace gives it in the C locale.
inline bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline char to_upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string to_upper(std::string text)
{
    for (char& c : text)
        c = to_upper(c);
    return text;
}

// to_upper of the eight bytes of a word at once: a byte gets 0x20 taken
// off where its low seven bits are 'a' to 'z' and its top bit is clear.
// No sum carries out of its byte.
inline std::uint64_t to_upper8(std::uint64_t word)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    const std::uint64_t low = word & (0x7f * ones);
    const std::uint64_t from_a = low + (0x80 - 'a') * ones;
    const std::uint64_t past_z = low + (0x80 - 'z' - 1) * ones;
    const std::uint64_t lower = from_a & ~past_z & ~word & (0x80 * ones);
    return word - (lower >> 2);
}

inline std::uint64_t load8(const char* bytes)
{
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Whether a byte of the word is below n, for n up to 128: a byte from 0x80
// up never is. A borrow only runs on from a byte that is below n.
inline bool has_byte_below(std::uint64_t word, unsigned char n)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    return ((word - n * ones) & ~word & (0x80 * ones)) != 0;
}

// The index of the first CR or NUL of the size bytes at data, or size:
// eight bytes at a time, the last eight overlapping the words before, and
// one by one only in a word that has one or in fewer than eight bytes. A
// field value is checked for both at once rather than by a search for each.
inline std::size_t find_cr_or_nul(const char* data, std::size_t size)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    const auto hit = [](std::uint64_t word) {
        const std::uint64_t cr = word ^ ('\r' * ones);
        return (((word - ones) & ~word) | ((cr - ones) & ~cr)) & (0x80 * ones);
    };
    std::size_t at = 0;
    if (size >= 8) {
        while (size - at > 8 && !hit(load8(data + at)))
            at += 8;
        if (size - at <= 8 && !hit(load8(data + size - 8)))
            return size;
    }
    for (; at < size; ++at) {
        if (data[at] == '\r' || data[at] == '\0')
            return at;
    }
    return size;
}

// text equals name, upper-case, ignoring the case of ASCII letters: the
// comparison of to_upper(text) == name without the copy, eight bytes at a
// time.
inline bool iequals_upper(std::string_view text, std::string_view name)
{
    if (text.size() != name.size())
        return false;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        if (to_upper8(load8(text.data() + i)) != load8(name.data() + i))
            return false;
    }
    for (; i < text.size(); ++i) {
        if (to_upper(text[i]) != name[i])
            return false;
    }
    return true;
}

// Calls visit with each piece of text between separators as std::getline
// yields them (none after a separator that ends the text), without the
// bytes trimmed (SP and HT unless told otherwise) at its ends, until visit
// returns false.
template <typename visit_t>
void split(std::string_view text, char separator, const visit_t& visit, bool (*trimmed)(char) = is_blank)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        std::size_t first = start;
        std::size_t last = end;
        while (first < last && trimmed(text[first]))
            ++first;
        while (last > first && trimmed(text[last - 1]))
            --last;
        if (!visit(text.substr(first, last - first)))
            return;
        start = end + 1;
    }
}

// Removes SP and HT from both ends.
inline void trim_blanks(std::string& text)
{
    // Most fields have nothing to trim.
    if (text.empty() || (!is_blank(text.front()) && !is_blank(text.back())))
        return;
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(" \t") + 1);
    text.erase(0, first);
}

// A decimal number read as atoll reads it (leading white space and a sign
// allowed, the digits up to the first other byte, none gives 0), but
// nothing when it does not fit in 64 bits instead of an undefined value.
inline std::optional<std::int64_t> leading_integer(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    // Summed on the negative side, which holds one value more.
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value < (min + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == min)
        return std::nullopt;
    return -value;
}

} // namespace proto
