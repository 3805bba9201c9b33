#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/container/vector.hpp>

#include "io/recycling_allocator.hpp"

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
    using entry_t = std::pair<std::string, field_values_t>;

private:
    struct slot_t;

public:
    // The fields in name order (field_name_less_t), one entry per name.
    class view_t {
    public:
        class iterator_t {
        public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = entry_t;
            using difference_type = std::ptrdiff_t;
            using pointer = const entry_t*;
            using reference = const entry_t&;

            iterator_t(const slot_t* slots, const std::uint32_t* order, std::size_t at) noexcept
                : slots_(slots), order_(order), at_(at)
            {
            }

            reference operator*() const noexcept { return slots_[order_ ? order_[at_] : slots_[at_].rank].entry; }
            pointer operator->() const noexcept { return &**this; }
            iterator_t& operator++() noexcept
            {
                ++at_;
                return *this;
            }
            iterator_t operator++(int) noexcept
            {
                const iterator_t before = *this;
                ++at_;
                return before;
            }
            bool operator==(const iterator_t& other) const noexcept { return at_ == other.at_; }

        private:
            const slot_t* slots_;
            const std::uint32_t* order_; // null while the slots hold the order
            std::size_t at_;             // place in name order
        };

        explicit view_t(const param_map_t& map) noexcept : map_(map) {}

        iterator_t begin() const noexcept { return {map_.slots_.data(), order(), 0}; }
        iterator_t end() const noexcept { return {map_.slots_.data(), order(), map_.used_}; }
        std::size_t size() const noexcept { return map_.used_; }
        bool empty() const noexcept { return map_.used_ == 0; }

    private:
        const std::uint32_t* order() const noexcept { return map_.order_.empty() ? nullptr : map_.order_.data(); }

        const param_map_t& map_;
    };

    param_map_t() = default;
    param_map_t(const param_map_t&) = default;
    param_map_t& operator=(const param_map_t&) = default;
    // A map moved from is empty.
    param_map_t(param_map_t&& other) noexcept
        : slots_(std::move(other.slots_)), used_(std::exchange(other.used_, 0)), order_(std::move(other.order_))
    {
    }
    param_map_t& operator=(param_map_t&& other) noexcept
    {
        slots_ = std::move(other.slots_);
        used_ = std::exchange(other.used_, 0);
        order_ = std::move(other.order_);
        return *this;
    }

    // A new name takes a slot a clear left, its text copied into the room
    // the slot's strings kept. Neither text may be a view into the map.
    void add(std::string_view name, std::string value);
    void add(std::string_view name, std::string_view value);
    void add(std::string_view name, const char* value) { add(name, std::string_view(value)); }

    // The first value, or an empty string when the field is absent.
    const std::string& get(std::string_view name) const;
    // All values in order, or an empty list when the field is absent.
    const field_values_t& get_all(std::string_view name) const;

    bool has(std::string_view name) const;
    bool has(std::string_view name, std::string_view value) const;

    void remove(std::string_view name);
    // Removes every value equal to value; the field goes with its last value.
    void remove(std::string_view name, std::string_view value);
    // Empties the map. Its slots stay, with the room of their names and
    // first values up to kept_text bytes each, for the fields added next.
    void clear();

    view_t fields() const noexcept { return view_t(*this); }
    bool empty() const noexcept { return used_ == 0; }

    // -1 without a "Content-Length" field, and also for a value that does
    // not fit in 64 bits. Leading blanks and a sign are taken and the digits
    // up to the first other byte count, so a value without digits gives 0.
    // A negative value comes back as it is: callers treat every negative
    // length as no usable length.
    std::int64_t content_length() const;
    bool is_chunked() const;
    bool is_keep_alive() const;
    bool is_close() const;

    // The room a name or a first value keeps through a clear.
    static constexpr std::size_t kept_text = 128;

private:
    static constexpr std::size_t absent = static_cast<std::size_t>(-1);

    template <class Value>
    void add_value(std::string_view name, Value&& value);

    // The place of name in name order, and whether it is there.
    std::size_t search(std::string_view name, bool& found) const noexcept;
    // The index of the slot whose entry is at place in name order.
    std::uint32_t rank(std::size_t place) const noexcept { return order_.empty() ? slots_[place].rank : order_[place]; }
    // The slot of the entry named name, or absent.
    std::size_t index_of(std::string_view name) const noexcept;
    const field_values_t* find(std::string_view name) const noexcept;
    void erase_at(std::size_t place);
    bool first_value_is(std::string_view name, std::string_view expected) const;

    // Slot k holds the entry whose name was added k-th, so that a new name
    // is appended, and, while the map holds a few fields, the index of the
    // slot whose entry is k-th in name order: keeping the names sorted moves
    // four bytes per entry rather than whole entries, and a head's few
    // fields share one buffer instead of a node and a value buffer each.
    // The container moves its slots when it grows, although moving a list
    // with its value inside is not declared noexcept. The slots from used_
    // on hold no field: what they hold is only room for the next ones.
    struct slot_t {
        entry_t entry;
        std::uint32_t rank = 0;
    };

    // A map is made and dropped with every message: its slots come from
    // the thread's cache of blocks, not the general allocator.
    boost::container::vector<slot_t, io::recycling_allocator_t<slot_t>> slots_;
    std::size_t used_ = 0;
    // The name order once the map has grown past a few fields: an insert
    // moves contiguous indexes, so that even thousands of fields arriving
    // in reverse order cost little.
    std::vector<std::uint32_t> order_;
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
