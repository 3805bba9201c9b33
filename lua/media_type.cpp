#include "lua/media_type.hpp"

#include <cstring>
#include <locale>
#include <stdexcept>

namespace ic::context {

namespace {

// The text of s before the first c, removed from s with the c; all of s
// when it holds no c.
std::string cut(std::string& s, char c)
{
    const auto found = s.find(c);
    std::string head = s.substr(0, found);
    s.erase(0, found == std::string::npos ? std::string::npos : found + 1);
    return head;
}

bool is_space(char c)
{
    return std::isspace(c, std::locale());
}

std::string trim_right(std::string s)
{
    std::size_t end = s.size();
    while (end > 0 && is_space(s[end - 1]))
        --end;
    s.erase(end);
    return s;
}

std::string trim_left(std::string s)
{
    std::size_t begin = 0;
    while (begin < s.size() && is_space(s[begin]))
        ++begin;
    s.erase(0, begin);
    return s;
}

std::string trim(std::string s)
{
    return trim_left(trim_right(std::move(s)));
}

std::string lower(std::string s)
{
    const std::locale locale;
    for (char& c : s)
        c = std::tolower(c, locale);
    return s;
}

// A quoted string at the start of s (which begins with the double quote):
// a backslash takes the next character as it is; the string ends at the
// next unescaped double quote or at the end of s, where a lone backslash
// gives nothing. The characters read are removed from s.
std::string read_quoted(std::string& s)
{
    std::string text;
    std::size_t i = 1;
    while (i < s.size()) {
        const char c = s[i++];
        if (c == '"')
            break;
        if (c == '\\') {
            if (i == s.size())
                break;
            text += s[i++];
        } else {
            text += c;
        }
    }
    s.erase(0, i);
    return text;
}

bool allowed_in_pattern(char c)
{
    static const char others[] = "!#$%&'*+-./^_`|~";
    return std::isalnum(c, std::locale()) || (c != '\0' && std::strchr(others, c) != nullptr);
}

[[noreturn]] void bad_pattern(const std::string& pattern)
{
    throw std::runtime_error("bad media type: " + pattern);
}

} // namespace

media_type_t::media_type_t(const io::http::param_map_t& fields) : raw(fields.get("Content-Type"))
{
    std::string work = raw;
    std::string head = lower(trim(cut(work, ';')));
    type = cut(head, '/');
    if (type.empty())
        return;
    subtype = std::move(head);
    while (!work.empty()) {
        std::string name = lower(trim(cut(work, '=')));
        work = trim_left(std::move(work));
        std::string value;
        if (!work.empty() && work.front() == '"')
            value = read_quoted(work);
        value += trim_right(cut(work, ';'));
        parameters.emplace(std::move(name), std::move(value));
    }
}

const media_type_t& media_type_t::empty()
{
    static const media_type_t nothing;
    return nothing;
}

bool media_type_t::matches(const std::string& pattern) const
{
    for (const char c : pattern)
        if (!allowed_in_pattern(c))
            bad_pattern(pattern);
    std::string rest = pattern;
    const std::string ptype = lower(trim(cut(rest, '/')));
    const std::string psub = lower(std::move(rest));
    if (ptype.empty() || psub.empty() || (ptype == "*" && psub != "*") || psub.find('/') != std::string::npos)
        bad_pattern(pattern);
    if (ptype == "*")
        return true;
    return ptype == type && (psub == "*" || psub == subtype);
}

} // namespace ic::context
