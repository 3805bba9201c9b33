#include "protocol/param_map.hpp"

#include "protocol/parsers/wire_text.hpp"

#include <algorithm>
#include <ostream>

namespace io::http {

namespace {

// The global locale is never changed, so upper-casing is the classic one:
// only a to z move.
char upper(char c) noexcept
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

const std::string& empty_string()
{
    static std::string const empty;
    return empty;
}

const std::vector<std::string>& empty_values()
{
    static const std::vector<std::string> empty;
    return empty;
}

} // namespace

bool field_name_less_t::operator()(const std::string& a, const std::string& b) const noexcept
{
    std::size_t const n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        // Names mostly come in one spelling: equal bytes need no case.
        if (a[i] == b[i])
            continue;
        const auto x = static_cast<signed char>(upper(a[i]));
        const auto y = static_cast<signed char>(upper(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

bool iequals(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper(x) == upper(y); });
}

void param_map_t::add(const std::string& name, const std::string& value)
{
    fields_[name].push_back(value);
}

const std::string& param_map_t::get(const std::string& name) const
{
    const auto it = fields_.find(name);
    return it == fields_.end() || it->second.empty() ? empty_string() : it->second.front();
}

const std::vector<std::string>& param_map_t::get_all(const std::string& name) const
{
    const auto it = fields_.find(name);
    return it == fields_.end() ? empty_values() : it->second;
}

bool param_map_t::has(const std::string& name) const
{
    return fields_.find(name) != fields_.end();
}

bool param_map_t::has(const std::string& name, const std::string& value) const
{
    const auto& values = get_all(name);
    return std::find(values.begin(), values.end(), value) != values.end();
}

void param_map_t::remove(const std::string& name)
{
    fields_.erase(name);
}

void param_map_t::remove(const std::string& name, const std::string& value)
{
    const auto it = fields_.find(name);
    if (it == fields_.end())
        return;
    std::erase(it->second, value);
    if (it->second.empty())
        fields_.erase(it);
}

void param_map_t::clear()
{
    fields_.clear();
}

std::int64_t param_map_t::content_length() const
{
    if (!has("Content-Length"))
        return -1;
    // A value too large for 64 bits counts as no length.
    return proto::leading_integer(get("Content-Length")).value_or(-1);
}

bool param_map_t::first_value_is(const std::string& name, std::string_view expected) const
{
    const auto it = fields_.find(name);
    return it != fields_.end() && iequals(it->second.empty() ? std::string_view() : it->second.front(), expected);
}

bool param_map_t::is_chunked() const
{
    return first_value_is("Transfer-Encoding", "Chunked");
}

bool param_map_t::is_keep_alive() const
{
    return first_value_is("Connection", "Keep-Alive");
}

bool param_map_t::is_close() const
{
    return first_value_is("Connection", "Close");
}

void write_head_text(std::ostream& out, std::string_view text)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t const end = text.find_first_of("\r\n", start);
        out << text.substr(start, end - start);
        if (end == std::string_view::npos)
            break;
        out << ' ';
        start = end + 1;
    }
}

void write_field_value(std::ostream& out, std::string_view value)
{
    const auto is_fold = [&](std::size_t at) {
        return at + 2 < value.size() && (value[at + 2] == '\t' || value[at + 2] == ' ');
    };
    std::size_t start = 0;
    for (std::size_t at = value.find("\r\n"); at != std::string_view::npos; at = value.find("\r\n", at + 1)) {
        if (!is_fold(at))
            continue;
        write_head_text(out, value.substr(start, at - start));
        out << "\r\n";
        start = at + 2;
    }
    write_head_text(out, value.substr(start));
}

std::ostream& operator<<(std::ostream& out, const param_map_t& fields)
{
    for (const auto& [name, values] : fields.fields()) {
        for (const auto& value : values) {
            write_head_text(out, name);
            out << ": ";
            write_field_value(out, value);
            out << "\r\n";
        }
    }
    return out;
}

} // namespace io::http
