#include "protocol/parsers/field_block_parser.hpp"

#include "protocol/parsers/wire_text.hpp"

#include <array>
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
    state_ = state_t::first_line;
    field_.name.clear();
    field_.value.clear();
    fold_pending_ = false;
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
}

void field_block_parser_t::deliver()
{
    trim_blanks(field_.name);
    trim_blanks(field_.value);
    if (delegate_)
        delegate_->on_field(*this, field_);
    field_.name.clear();
    field_.value.clear();
    fold_pending_ = false;
    clear_consumed();
}

std::size_t field_block_parser_t::parse(const char* data, std::size_t size, bool)
{
    if (status() != running)
        throw error_t("invalid state");
    std::size_t i = 0;
    for (; i < size && state_ != state_t::complete; ++i) {
        const char c = data[i];
        bool ok = true;
        try {
            switch (state_) {
            case state_t::first_line:
            case state_t::line_start:
                if (state_ == state_t::line_start && is_blank(c)) {
                    state_ = state_t::fold_lead; // the first SP or HT of a fold is dropped
                    break;
                }
                if (state_ == state_t::line_start && (is_tchar(c) || c == '\r' || c == '\n'))
                    deliver();
                if (is_tchar(c)) {
                    field_.name += c;
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
