#include "protocol/parsers/field_block_parser.hpp"

#include "protocol/parsers/wire_text.hpp"

#include <array>
#include <cstring>
#include <string_view>

namespace proto {

namespace {

// Token bytes of a field name, and every byte from 0x80 up, looked up in a
// table: names are scanned a byte at a time.
constexpr auto tchar_table = [] {
    std::array<bool, 256> table{};
    for (int c = '0'; c <= '9'; ++c)
        table[c] = true;
    for (int c = 'a'; c <= 'z'; ++c)
        table[c] = table[c - 'a' + 'A'] = true;
    for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
        table[static_cast<unsigned char>(c)] = true;
    for (int c = 0x80; c < 0x100; ++c)
        table[c] = true;
    return table;
}();

bool is_tchar(char c)
{
    return tchar_table[static_cast<unsigned char>(c)];
}

} // namespace

field_block_parser_t::field_block_parser_t(delegate_t* delegate) : delegate_(delegate) {}

int field_block_parser_t::consumed() const
{
    return parser_t::consumed();
}

parser_t::status_t field_block_parser_t::status() const
{
    switch (state_) {
    case state_t::failed:
        return failed;
    case state_t::complete:
        return complete;
    default:
        return running;
    }
}

void field_block_parser_t::reset()
{
    state_ = state_t::name_or_end;
    field_.name.clear();
    field_.value.clear();
    fold_pending_ = false;
    trimmed_ = false;
    clear_consumed();
}

// A fold becomes one SP between the trimmed pieces of the value.
void field_block_parser_t::append_value(char c)
{
    if (fold_pending_) {
        trim_blanks(field_.value);
        if (!is_blank(c))
            field_.value += ' ';
        fold_pending_ = false;
    }
    field_.value += c;
    trimmed_ = false;
}

void field_block_parser_t::deliver()
{
    if (!trimmed_) {
        trim_blanks(field_.name);
        trim_blanks(field_.value);
    }
    if (delegate_)
        delegate_->on_field(*this, field_view_t{field_.name, field_.value});
    field_.name.clear();
    field_.value.clear();
    fold_pending_ = false;
    trimmed_ = false;
    clear_consumed();
}

// One field line, data[begin] the first byte of its name and data[lf] its
// LF, with the checks and the outcome of the byte-wise states: the same
// errors at the same bytes, the field delivered at the same point.
// Returns the index of the LF, or of the last byte of the block when the
// empty line that ends it follows.
std::size_t field_block_parser_t::take_line(const char* data, std::size_t begin, std::size_t lf, std::size_t size)
{
    try {
        if (state_ == state_t::line_start)
            deliver();
    } catch (...) {
        state_ = state_t::failed;
        throw parser_error_t(std::current_exception(), position_of(begin));
    }
    // The LF ends every scan below: it is no token byte, blank, colon, CR
    // or NUL.
    std::size_t at = begin + 1;
    while (is_tchar(data[at]))
        ++at;
    const std::size_t name_end = at;
    while (is_blank(data[at]))
        ++at;
    std::size_t bad = at;
    if (data[at] == ':') {
        // The value without the blanks at its ends, as delivered; a NUL or
        // CR is no blank, so none is left out of the checks.
        std::size_t value = at + 1;
        std::size_t value_end = lf > value && data[lf - 1] == '\r' ? lf - 1 : lf;
        while (value < value_end && is_blank(data[value]))
            ++value;
        while (value_end > value && is_blank(data[value_end - 1]))
            --value_end;
        // A NUL fails where it is, a CR that is not the line's last byte
        // at the byte after it: whichever comes first.
        const std::size_t stop = value + find_cr_or_nul(data + value, value_end - value);
        bad = stop == value_end ? lf : data[stop] == '\0' ? stop : stop + 1;
        if (bad == lf) {
            count_consumed(lf + 1 - begin);
            const std::size_t next = lf + 1;
            const field_view_t field{std::string_view(data + begin, name_end - begin),
                                     std::string_view(data + value, value_end - value)};
            // The byte after the LF, when here, decides whether a fold may
            // follow; the byte-wise states hand the field over at a name
            // or an end of the block and take anything else themselves.
            if (next < size && (is_tchar(data[next]) || data[next] == '\r' || data[next] == '\n')) {
                try {
                    if (delegate_)
                        delegate_->on_field(*this, field);
                } catch (...) {
                    state_ = state_t::failed;
                    throw parser_error_t(std::current_exception(), position_of(next));
                }
                clear_consumed();
                state_ = state_t::name_or_end;
                // The empty line that ends the block, when here whole, as
                // the byte-wise states would take it.
                const std::size_t end = data[next] == '\r' && next + 1 < size ? next + 1 : next;
                if (data[end] == '\n') {
                    state_ = state_t::complete;
                    return end;
                }
                return lf;
            }
            // Both are empty here (a new block, or the last field
            // delivered): appending skips assign's overlap handling.
            try {
                field_.name.append(field.name);
                field_.value.append(field.value);
            } catch (...) {
                state_ = state_t::failed;
                throw parser_error_t(std::current_exception(), position_of(begin));
            }
            trimmed_ = true;
            state_ = state_t::line_start;
            return lf;
        }
    }
    count_consumed(bad - begin);
    state_ = state_t::failed;
    throw parser_error_t("invalid field block data", data + bad, data + size, position_of(bad));
}

std::size_t field_block_parser_t::parse(const char* data, std::size_t size, bool)
{
    if (status() != running)
        throw error_t("invalid state");
    std::size_t i = 0;
    for (; i < size && state_ != state_t::complete; ++i) {
        const char c = data[i];
        // A field line that is here whole is taken in one pass; a line cut
        // by the end of the input, a fold and the end of the block go
        // through the states byte by byte.
        if ((state_ == state_t::name_or_end || state_ == state_t::line_start) && is_tchar(c)) {
            if (const void* lf = std::memchr(data + i + 1, '\n', size - i - 1)) {
                i = take_line(data, i, static_cast<std::size_t>(static_cast<const char*>(lf) - data), size);
                continue;
            }
        }
        bool ok = true;
        try {
            switch (state_) {
            case state_t::name_or_end:
            case state_t::line_start:
                if (state_ == state_t::line_start && is_blank(c)) {
                    state_ = state_t::fold_lead; // the first SP or HT of a fold is dropped
                    break;
                }
                if (state_ == state_t::line_start && (is_tchar(c) || c == '\r' || c == '\n'))
                    deliver();
                if (is_tchar(c)) {
                    field_.name += c;
                    trimmed_ = false;
                    state_ = state_t::name;
                } else if (c == '\r') {
                    state_ = state_t::end_cr;
                } else if (c == '\n') {
                    state_ = state_t::complete;
                } else {
                    ok = false;
                }
                break;
            case state_t::name:
                if (is_tchar(c)) {
                    // As in the value: the rest of the name at once.
                    std::size_t end = i + 1;
                    while (end < size && is_tchar(data[end]))
                        ++end;
                    field_.name.append(data + i, end - i);
                    count_consumed(end - i - 1);
                    i = end - 1;
                } else if (is_blank(c)) {
                    state_ = state_t::name_ws;
                } else if (c == ':') {
                    state_ = state_t::value;
                } else {
                    ok = false;
                }
                break;
            case state_t::name_ws:
                if (c == ':')
                    state_ = state_t::value;
                else if (!is_blank(c))
                    ok = false;
                break;
            case state_t::value:
            case state_t::fold_value:
                if (c == '\r') {
                    state_ = state_t::value_cr;
                } else if (c == '\n') {
                    state_ = state_t::line_start;
                } else if (c == '\0') {
                    ok = false;
                } else if (fold_pending_) {
                    append_value(c);
                } else {
                    // The rest of a run of plain value bytes is taken in
                    // one append rather than byte by byte.
                    std::size_t end = i + 1;
                    while (end < size && data[end] != '\r' && data[end] != '\n' && data[end] != '\0')
                        ++end;
                    field_.value.append(data + i, end - i);
                    trimmed_ = false;
                    count_consumed(end - i - 1);
                    i = end - 1;
                }
                break;
            case state_t::fold_lead:
                if (c == '\r') {
                    state_ = state_t::value_cr;
                } else if (c == '\n') {
                    state_ = state_t::line_start;
                } else if (c != '\0') {
                    fold_pending_ = true;
                    append_value(c);
                    if (!is_blank(c))
                        state_ = state_t::fold_value;
                } else {
                    ok = false;
                }
                break;
            case state_t::value_cr:
                if (c == '\n')
                    state_ = state_t::line_start;
                else
                    ok = false;
                break;
            case state_t::end_cr:
                if (c == '\n')
                    state_ = state_t::complete;
                else
                    ok = false;
                break;
            case state_t::failed:
            case state_t::complete:
                break;
            }
        } catch (...) {
            state_ = state_t::failed;
            throw parser_error_t(std::current_exception(), position_of(i));
        }
        if (!ok) {
            state_ = state_t::failed;
            throw parser_error_t("invalid field block data", data + i, data + size, position_of(i));
        }
        count_consumed(1);
    }
    if (state_ == state_t::complete)
        clear_consumed();
    return i;
}

} // namespace proto
