#include "protocol/parsers/chunked_data_parser.hpp"

#include "protocol/parsers/wire_text.hpp"

#include <algorithm>
#include <limits>

namespace proto {

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Hexadecimal digits to a size; too many digits give the largest int64.
std::int64_t to_size(const std::string& digits)
{
    constexpr auto top = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (char c : digits) {
        const int digit = hex_value(c);
        if (value > (top - digit) / 16)
            return top;
        value = value * 16 + digit;
    }
    return value;
}

} // namespace

chunked_data_parser_t::chunked_data_parser_t(delegate_t* delegate) : delegate_(delegate), trailer_(this) {}

int chunked_data_parser_t::consumed() const
{
    return parser_t::consumed();
}

parser_t::status_t chunked_data_parser_t::status() const
{
    return status_of(phase_);
}

void chunked_data_parser_t::reset()
{
    phase_ = phase_t::size_line;
    state_ = state_t::start;
    size_text_.clear();
    extension_.clear();
    line_length_ = 0;
    remaining_ = 0;
    trailer_length_ = 0;
    trailer_.reset();
    clear_consumed();
}

std::size_t chunked_data_parser_t::parse(const char* data, std::size_t size, bool last)
{
    if (status() != running)
        throw error_t("invalid state");
    std::size_t taken = 0;
    try {
        switch (phase_) {
        case phase_t::size_line:
            taken = run_size_line(data, size);
            break;
        case phase_t::data:
            taken = take_data(data, size);
            break;
        case phase_t::trailer:
            taken = take_trailer(data, size, last);
            break;
        case phase_t::complete:
        case phase_t::failed:
            break;
        }
    } catch (...) {
        phase_ = phase_t::failed;
        throw;
    }
    if (taken == size && last)
        phase_ = phase_t::complete;
    return taken;
}

std::size_t chunked_data_parser_t::run_size_line(const char* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        bool ok = true;
        bool in_line = false; // the byte belongs to the line itself, not to a line end
        switch (state_) {
        case state_t::start:
        case state_t::after_lead:
            // At most one line end, the one closing the previous chunk's data.
            if (hex_value(c) >= 0) {
                size_text_ += c;
                state_ = state_t::size;
                in_line = true;
            } else if (c == '\r' && state_ == state_t::start) {
                state_ = state_t::lead_cr;
            } else if (c == '\n' && state_ == state_t::start) {
                state_ = state_t::after_lead;
            } else {
                ok = false;
            }
            break;
        case state_t::lead_cr:
            if (c == '\n')
                state_ = state_t::after_lead;
            else
                ok = false;
            break;
        case state_t::size:
        case state_t::size_ws:
            in_line = true;
            if (hex_value(c) >= 0 && state_ == state_t::size) {
                size_text_ += c;
            } else if (is_blank(c)) {
                state_ = state_t::size_ws;
            } else if (c == ';') {
                state_ = state_t::extension;
            } else if (c == '\r') {
                state_ = state_t::cr;
                in_line = false;
            } else if (c == '\n') {
                end_size_line(i);
                return i + 1;
            } else {
                ok = false;
            }
            break;
        case state_t::extension:
            in_line = true;
            if (c == '\r') {
                state_ = state_t::cr;
                in_line = false;
            } else if (c == '\n') {
                end_size_line(i);
                return i + 1;
            } else if (c != '\0') {
                extension_ += c;
            } else {
                ok = false;
            }
            break;
        case state_t::cr:
            if (c == '\n') {
                end_size_line(i);
                return i + 1;
            }
            ok = false;
            break;
        }
        if (!ok)
            throw parser_error_t("invalid chunked data", data + i, data + size, position_of(i));
        if (in_line && ++line_length_ > max_size_line)
            throw parser_error_t("invalid chunked data: chunk-size line too long", position_of(i));
        count_consumed(1);
    }
    return size;
}

void chunked_data_parser_t::end_size_line(std::size_t index)
{
    trim_blanks(size_text_);
    trim_blanks(extension_);
    std::int64_t const size = to_size(size_text_);
    if (delegate_) {
        try {
            delegate_->on_chunk(*this, size, extension_);
        } catch (...) {
            throw parser_error_t(std::current_exception(), position_of(index));
        }
    }
    size_text_.clear();
    extension_.clear();
    state_ = state_t::start;
    line_length_ = 0;
    clear_consumed();
    remaining_ = size;
    phase_ = size > 0 ? phase_t::data : phase_t::trailer;
}

std::size_t chunked_data_parser_t::take_data(const char* data, std::size_t size)
{
    std::size_t const n = static_cast<std::uint64_t>(remaining_) < size ? static_cast<std::size_t>(remaining_) : size;
    if (delegate_)
        delegate_->on_data(*this, data, n);
    remaining_ -= static_cast<std::int64_t>(n);
    if (remaining_ == 0)
        phase_ = phase_t::size_line;
    return n;
}

std::size_t chunked_data_parser_t::take_trailer(const char* data, std::size_t size, bool last)
{
    // Offer one byte more than the block may still grow by, so that a block
    // over the limit is refused without reading all of it.
    std::size_t const allowance = max_trailer_block - trailer_length_;
    std::size_t const offered = std::min(size, allowance + 1);
    std::size_t const n = trailer_.feed(data, offered, last && offered == size);
    if (n > allowance)
        throw parser_error_t("invalid chunked data: trailer block too long", position_of(allowance));
    trailer_length_ += n;
    if (trailer_.status() == complete)
        phase_ = phase_t::complete;
    return n;
}

void chunked_data_parser_t::on_field(field_block_parser_t&, const field_view_t& field)
{
    if (delegate_)
        delegate_->on_trailer_field(*this, hold(field, trailer_field_));
}

} // namespace proto
