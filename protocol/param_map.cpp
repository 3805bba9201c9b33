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

// Up to this many fields a lookup compares every name rather than search
// the name order, and the slots hold the name order themselves.
constexpr std::size_t scanned_fields = 8;

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
    if (a.size() != b.size())
        return false;
    std::size_t i = 0;
    for (; i + 8 <= a.size(); i += 8) {
        const std::uint64_t x = proto::load8(a.data() + i);
        const std::uint64_t y = proto::load8(b.data() + i);
        if (x != y && proto::to_upper8(x) != proto::to_upper8(y))
            return false;
    }
    for (; i < a.size(); ++i) {
        if (a[i] != b[i] && upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

std::size_t param_map_t::search(std::string_view name, bool& found) const noexcept
{
    // A name that sorts after every other, as in a head written in name
    // order, is placed by one comparison.
    found = false;
    std::size_t count = used_;
    if (count == 0)
        return 0;
    const int to_last = compare_names(slots_[rank(count - 1)].entry.first, name);
    if (to_last < 0)
        return count;
    if (to_last == 0) {
        found = true;
        return count - 1;
    }
    std::size_t first = 0;
    --count;
    while (count > 0) {
        std::size_t const half = count / 2;
        std::size_t const middle = first + half;
        const int order = compare_names(slots_[rank(middle)].entry.first, name);
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

std::size_t param_map_t::index_of(std::string_view name) const noexcept
{
    // A few names are looked at one by one: most differ in length, which
    // rejects them before any byte is compared.
    if (used_ <= scanned_fields) {
        for (std::size_t index = 0; index < used_; ++index) {
            const std::string& other = slots_[index].entry.first;
            if (other.size() == name.size() && iequals(other, name))
                return index;
        }
        return absent;
    }
    bool found;
    std::size_t const place = search(name, found);
    return found ? rank(place) : absent;
}

const field_values_t* param_map_t::find(std::string_view name) const noexcept
{
    std::size_t const index = index_of(name);
    return index == absent ? nullptr : &slots_[index].entry.second;
}

namespace {

void assign(std::string& into, std::string&& value) noexcept
{
    into = std::move(value);
}

void assign(std::string& into, std::string_view value)
{
    into.assign(value);
}

} // namespace

template <class Value>
void param_map_t::add_value(std::string_view name, Value&& value)
{
    // One search finds the name or the place of a new one.
    bool found;
    std::size_t const place = search(name, found);
    if (found) {
        slots_[rank(place)].entry.second.emplace_back(std::forward<Value>(value));
        return;
    }
    if (slots_.capacity() == 0)
        slots_.reserve(typical_fields);
    if (used_ == slots_.size())
        slots_.emplace_back();
    // Until used_ counts it, the slot holds no field: should anything here
    // throw, the map stays as it was.
    std::size_t const last = used_;
    auto& [slot_name, values] = slots_[last].entry;
    slot_name.assign(name);
    if (values.empty()) {
        values.emplace_back(std::forward<Value>(value));
    } else {
        values.erase(values.begin() + 1, values.end());
        assign(values.front(), std::forward<Value>(value));
    }
    if (order_.empty() && last + 1 > scanned_fields) {
        order_.reserve(2 * (last + 1));
        for (std::size_t k = 0; k < last; ++k)
            order_.push_back(slots_[k].rank);
    }
    if (!order_.empty())
        order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(place), static_cast<std::uint32_t>(last));
    used_ = last + 1;
    if (!order_.empty())
        return;
    for (std::size_t k = last; k > place; --k)
        slots_[k].rank = slots_[k - 1].rank;
    slots_[place].rank = static_cast<std::uint32_t>(last);
}

void param_map_t::add(std::string_view name, std::string value)
{
    add_value(name, std::move(value));
}

void param_map_t::add(std::string_view name, std::string_view value)
{
    add_value(name, value);
}

void param_map_t::erase_at(std::size_t place)
{
    std::uint32_t const index = rank(place);
    std::size_t const last = used_ - 1;
    // The entries after it move down a slot, and the indexes of the name
    // order count them one lower.
    for (std::size_t k = index; k < last; ++k)
        slots_[k].entry = std::move(slots_[k + 1].entry);
    if (order_.empty()) {
        for (std::size_t k = place; k < last; ++k)
            slots_[k].rank = slots_[k + 1].rank;
        used_ = last;
        for (std::size_t k = 0; k < last; ++k) {
            if (slots_[k].rank > index)
                --slots_[k].rank;
        }
        return;
    }
    used_ = last;
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(place));
    for (std::uint32_t& other : order_) {
        if (other > index)
            --other;
    }
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
    std::size_t const place = search(name, found);
    if (found)
        erase_at(place);
}

void param_map_t::remove(std::string_view name, std::string_view value)
{
    bool found;
    std::size_t const place = search(name, found);
    if (!found)
        return;
    auto& values = slots_[rank(place)].entry.second;
    values.erase(std::remove(values.begin(), values.end(), value), values.end());
    if (values.empty())
        erase_at(place);
}

void param_map_t::clear()
{
    // A slot keeps its name and first value, their room bounded, so that
    // the next fields are copied rather than allocated.
    // A slot in use holds at least one value; one that held many gives
    // their room back too.
    for (std::size_t k = 0; k < used_; ++k) {
        auto& [name, values] = slots_[k].entry;
        if (name.capacity() > kept_text)
            name = std::string();
        if (values.front().capacity() > kept_text)
            values.front() = std::string();
        if (values.capacity() > 1) {
            field_values_t first;
            first.push_back(std::move(values.front()));
            values = std::move(first);
        }
    }
    used_ = 0;
    order_.clear();
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
