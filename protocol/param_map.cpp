#include "protocol/param_map.hpp"

#include "protocol/parsers/wire_text.hpp"

#include <algorithm>
#include <ostream>
#include <tuple>

namespace io::http {

namespace {

// The global locale is never changed, so upper-casing is the classic one:
// only a to z move.
char upper(char c) noexcept
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Room for the fields of a typical ICAP head, taken with the first field so
// that an empty map (the trailers of most chunks) costs nothing.
constexpr std::size_t typical_fields = 8;

// Negative, zero or positive as a sorts before, with or after b in the
// order of field_name_less_t: one pass serves both the search and the
// equality test.
int compare_names(std::string_view a, std::string_view b) noexcept
{
    std::size_t const n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        // Names mostly come in one spelling: equal bytes need no case.
        if (a[i] == b[i])
            continue;
        const auto x = static_cast<signed char>(upper(a[i]));
        const auto y = static_cast<signed char>(upper(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The first entry whose name does not sort before name; found is set when
// its name equals name. Heads arrive mostly unsorted but short, and a name
// that sorts after every other (the common case of a field appended to
// a sorted head) is decided by one comparison.
template <typename iterator_t>
iterator_t lower_bound(iterator_t first, iterator_t last, std::string_view name, bool& found) noexcept
{
    found = false;
    if (first == last)
        return last;
    const int to_last = compare_names((last - 1)->first, name);
    if (to_last <= 0) {
        found = to_last == 0;
        return to_last == 0 ? last - 1 : last;
    }
    auto count = last - first - 1;
    while (count > 0) {
        const auto half = count / 2;
        const auto middle = first + half;
        const int order = compare_names(middle->first, name);
        if (order == 0) {
            found = true;
            return middle;
        }
        if (order < 0) {
            first = middle + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return first;
}

const std::string& empty_string()
{
    static std::string const empty;
    return empty;
}

const field_values_t& empty_values()
{
    static const field_values_t empty;
    return empty;
}

} // namespace

bool field_name_less_t::operator()(std::string_view a, std::string_view b) const noexcept
{
    return compare_names(a, b) < 0;
}

bool iequals(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return x == y || upper(x) == upper(y); });
}

void param_map_t::add(std::string_view name, std::string value)
{
    if (fields_.capacity() == 0)
        fields_.reserve(typical_fields);
    bool found;
    auto it = lower_bound(fields_.begin(), fields_.end(), name, found);
    if (!found)
        it = fields_.emplace(it, std::piecewise_construct, std::forward_as_tuple(name), std::forward_as_tuple());
    it->second.push_back(std::move(value));
}

const field_values_t* param_map_t::find(std::string_view name) const
{
    bool found;
    const auto it = lower_bound(fields_.begin(), fields_.end(), name, found);
    return found ? &it->second : nullptr;
}

const std::string& param_map_t::get(std::string_view name) const
{
    const field_values_t* values = find(name);
    return !values || values->empty() ? empty_string() : values->front();
}

const field_values_t& param_map_t::get_all(std::string_view name) const
{
    const field_values_t* values = find(name);
    return values ? *values : empty_values();
}

bool param_map_t::has(std::string_view name) const
{
    return find(name) != nullptr;
}

bool param_map_t::has(std::string_view name, std::string_view value) const
{
    const auto& values = get_all(name);
    return std::find(values.begin(), values.end(), value) != values.end();
}

void param_map_t::remove(std::string_view name)
{
    bool found;
    const auto it = lower_bound(fields_.begin(), fields_.end(), name, found);
    if (found)
        fields_.erase(it);
}

void param_map_t::remove(std::string_view name, std::string_view value)
{
    bool found;
    const auto it = lower_bound(fields_.begin(), fields_.end(), name, found);
    if (!found)
        return;
    auto& values = it->second;
    values.erase(std::remove(values.begin(), values.end(), value), values.end());
    if (values.empty())
        fields_.erase(it);
}

void param_map_t::clear()
{
    fields_.clear();
}

std::int64_t param_map_t::content_length() const
{
    const field_values_t* values = find("Content-Length");
    if (!values)
        return -1;
    // A value too large for 64 bits counts as no length.
    return proto::leading_integer(values->empty() ? std::string_view() : values->front()).value_or(-1);
}

bool param_map_t::first_value_is(std::string_view name, std::string_view expected) const
{
    const field_values_t* values = find(name);
    return values && iequals(values->empty() ? std::string_view() : values->front(), expected);
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
