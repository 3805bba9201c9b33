#pragma once

#include <algorithm>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/container/vector.hpp>

namespace io::http {

// Orders field names as HTTP compares them: byte by byte after upper-casing
// the ASCII letters, bytes taken as signed, a prefix before the longer name.
struct field_name_less_t {
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// The values of one field in the order they were added. Most fields come
// once, so the first value lives in the entry itself.
class field_values_t : public boost::container::small_vector<std::string, 1> {
public:
    using small_vector::small_vector;

    friend bool operator==(const field_values_t& a, const std::vector<std::string>& b)
    {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
};

// Header fields of one message head (or the trailers of a chunked body): a
// case-insensitive map from name to the values in the order they were added.
// The first add decides the stored spelling of a name.
class param_map_t {
public:
    // Sorted by field_name_less_t, one entry per name: a head's few fields
    // share one buffer instead of a node and a value buffer each. The
    // container moves its entries when it grows, although moving a list
    // with its value inside is not declared noexcept.
    using map_t = boost::container::vector<std::pair<std::string, field_values_t>>;

    void add(std::string_view name, std::string value);

    // The first value, or an empty string when the field is absent.
    const std::string& get(std::string_view name) const;
    // All values in order, or an empty list when the field is absent.
    const field_values_t& get_all(std::string_view name) const;

    bool has(std::string_view name) const;
    bool has(std::string_view name, std::string_view value) const;

    void remove(std::string_view name);
    // Removes every value equal to value; the field goes with its last value.
    void remove(std::string_view name, std::string_view value);
    void clear();

    const map_t& fields() const noexcept { return fields_; }
    bool empty() const noexcept { return fields_.empty(); }

    // -1 without a "Content-Length" field, and also for a value that does
    // not fit in 64 bits. Leading blanks and a sign are taken and the digits
    // up to the first other byte count, so a value without digits gives 0.
    // A negative value comes back as it is: callers treat every negative
    // length as no usable length.
    std::int64_t content_length() const;
    bool is_chunked() const;
    bool is_keep_alive() const;
    bool is_close() const;

private:
    const field_values_t* find(std::string_view name) const;
    bool first_value_is(std::string_view name, std::string_view expected) const;

    map_t fields_;
};

// The field lines: "name: value" CR LF per value, in name order.
std::ostream& operator<<(std::ostream& out, const param_map_t& fields);

// Writes text into a message head. A CR or LF inside it becomes a space, so
// that nothing stored in a message can end a line or the head early.
void write_head_text(std::ostream& out, std::string_view text);

// Writes a field value: as write_head_text, except that a CR LF directly
// followed by a tab or a space stays, since it only folds the value onto a
// continuation line (the form of multi-line fields such as the list of
// threats in a blocking answer) and cannot start a field or end the head.
void write_field_value(std::ostream& out, std::string_view value);

// Compares two texts ignoring the case of ASCII letters.
bool iequals(std::string_view a, std::string_view b) noexcept;

} // namespace io::http
