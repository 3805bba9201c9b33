#pragma once

// Byte-level text helpers of the wire grammars: ASCII only, independent of
// the locale.

#include <string>

namespace proto {

inline bool is_blank(char c)
{
    return c == ' ' || c == '\t';
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

// Removes SP and HT from both ends.
inline void trim_blanks(std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(" \t") + 1);
    text.erase(0, first);
}

} // namespace proto
