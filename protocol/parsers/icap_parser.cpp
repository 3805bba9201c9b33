#include "protocol/parsers/icap_parser.hpp"

#include "protocol/parsers/wire_text.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace proto::icap {

namespace {

bool kind_of(std::string_view name, section_kind_t& kind)
{
    // Only names of the right length are compared.
    static constexpr struct {
        std::string_view name;
        section_kind_t kind;
    } names[] = {{"REQ-HDR", req_hdr},   {"RES-HDR", res_hdr},   {"REQ-BODY", req_body},
                 {"RES-BODY", res_body}, {"OPT-BODY", opt_body}, {"NULL-BODY", null_body}};
    std::size_t first = 0;
    std::size_t last = 0;
    switch (name.size()) {
    case 7:
        last = 2;
        break;
    case 8:
        first = 2;
        last = 5;
        break;
    case 9:
        first = 5;
        last = 6;
        break;
    default:
        return false;
    }
    for (std::size_t i = first; i < last; ++i) {
        if (iequals_upper(name, names[i].name)) {
            kind = names[i].kind;
            return true;
        }
    }
    return false;
}

// The two parts of a "name=offset" piece, each without blanks at its ends,
// as splitting it at '=' gives them; false for any other number of parts.
// A '=' that ends the piece adds no part, so "a=1=" has two.
bool split_pair(std::string_view piece, std::string_view& name, std::string_view& offset)
{
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos || equals + 1 == piece.size())
        return false;
    const std::size_t second = piece.find('=', equals + 1);
    if (second != std::string_view::npos && second + 1 != piece.size())
        return false;
    const auto trimmed = [](std::string_view text) {
        std::size_t first = 0;
        std::size_t last = text.size();
        while (first < last && is_blank(text[first]))
            ++first;
        while (last > first && is_blank(text[last - 1]))
            --last;
        return text.substr(first, last - first);
    };
    name = trimmed(piece.substr(0, equals));
    offset = trimmed(piece.substr(equals + 1, (second == std::string_view::npos ? piece.size() : second) - equals - 1));
    return true;
}

bool is_body(section_kind_t kind)
{
    return kind != req_hdr && kind != res_hdr;
}

// The kind whose name, in any case, and a '=' begin text, and the bytes
// they take; false for anything else. Eight bytes are compared at once.
bool name_at(std::string_view text, section_kind_t& kind, std::size_t& length)
{
    if (text.size() < 8)
        return false;
    const std::uint64_t word = to_upper8(load8(text.data()));
    const auto is = [word](const char(&name)[9]) { return word == load8(name); };
    length = 8;
    if (is("REQ-HDR=")) {
        kind = req_hdr;
        return true;
    }
    if (is("RES-HDR=")) {
        kind = res_hdr;
        return true;
    }
    length = 9;
    if (text.size() > 8 && text[8] == '=') {
        kind = is("REQ-BODY") ? req_body : is("RES-BODY") ? res_body : opt_body;
        return kind != opt_body || is("OPT-BODY");
    }
    length = 10;
    kind = null_body;
    return text.size() > 9 && text[9] == '=' && to_upper(text[8]) == 'Y' && is("NULL-BOD");
}

// The value as clients write it, pieces "name=digits" joined by ", ", read
// in one pass into sections, which are then as the general reading gives
// them. False for anything else, a piece after a body or an offset of more
// digits than surely fit included: the general reading then decides, from
// scratch.
bool read_plain_encapsulated(std::string_view value, section_list_t& sections)
{
    constexpr std::size_t max_digits = 18;
    std::size_t at = 0;
    for (;;) {
        section_t section;
        std::size_t length;
        if (!name_at(value.substr(at), section.kind, length) || (!sections.empty() && is_body(sections.back().kind)))
            return false;
        at += length;
        const std::size_t digits = at;
        std::int64_t offset = 0;
        const std::size_t digits_end = std::min(value.size(), digits + max_digits);
        while (at < digits_end && value[at] >= '0' && value[at] <= '9')
            offset = offset * 10 + (value[at++] - '0');
        if (at == digits || (at < value.size() && value[at] >= '0' && value[at] <= '9'))
            return false;
        section.offset = offset;
        sections.push_back(section);
        if (at == value.size())
            return true;
        if (value.size() - at < 2 || value[at] != ',' || value[at + 1] != ' ')
            return false;
        at += 2;
    }
}

// Splits the value at its commas into sections, as long as each piece is
// valid; returns whether all were.
bool read_any_encapsulated(std::string_view value, section_list_t& sections)
{
    bool valid = true;
    split(value, ',', [&](std::string_view piece) {
        std::string_view name;
        std::string_view offset_text;
        section_t section;
        valid = split_pair(piece, name, offset_text) && kind_of(name, section.kind) &&
                (sections.empty() || !is_body(sections.back().kind));
        if (!valid)
            return false;
        const std::optional<std::int64_t> offset = proto::leading_integer(offset_text);
        valid = offset.has_value();
        if (valid) {
            section.offset = *offset;
            sections.push_back(section);
        }
        return valid;
    });
    return valid;
}

} // namespace

void parse_encapsulated(std::string_view value, section_list_t& sections)
{
    sections.clear();
    // Queries carry two or three sections.
    sections.reserve(4);
    // Made only when thrown: a valid field costs no message.
    const auto invalid = [&value] {
        return base_ragel_parser_t::error_t("invalid icap encapsulated field: " + std::string(value));
    };
    if (!read_plain_encapsulated(value, sections)) {
        sections.clear();
        if (!read_any_encapsulated(value, sections))
            throw invalid();
    }
    if (sections.empty())
        return;
    if (sections.front().offset != 0 || !is_body(sections.back().kind))
        throw invalid();
    for (std::size_t i = 0; i + 1 < sections.size(); ++i) {
        // Offsets start at 0 and never decrease, so the difference cannot overflow.
        if (sections[i + 1].offset < sections[i].offset)
            throw invalid();
        sections[i].length = sections[i + 1].offset - sections[i].offset;
    }
}

parser_t::parser_t(delegate_t* delegate)
    : delegate_(delegate), start_line_("ICAP", "invalid icap request or response"), fields_(this), body_(nullptr)
{
    reset();
}

parser_t::status_t parser_t::status() const
{
    return status_of(phase_);
}

void parser_t::reset()
{
    start_line_.reset();
    phase_ = phase_t::start_line;
    pending_.clear();
    next_ = 0;
    current_ = section_t{};
    fields_.reset();
    body_.reset();
}

std::size_t parser_t::parse(const char* data, std::size_t size, bool last)
{
    if (phase_ == phase_t::failed)
        throw error_t("invalid icap data", data, size);
    std::size_t taken;
    // Only a parse error fails the parser; anything else a delegate throws
    // is the delegate's business and passes as it came.
    try {
        taken = parse_phase(data, size, last);
    } catch (const error_t&) {
        phase_ = phase_t::failed;
        throw;
    }
    if (taken == size && last && phase_ != phase_t::complete)
        throw error_t("invalid icap message");
    return taken;
}

std::size_t parser_t::parse_phase(const char* data, std::size_t size, bool last)
{
    switch (phase_) {
    case phase_t::start_line: {
        std::size_t const taken = start_line_.run(data, size);
        if (start_line_.done()) {
            phase_ = phase_t::fields;
            if (delegate_) {
                if (start_line_.kind() == start_line_machine_t::kind_t::request)
                    delegate_->on_request_line(*this, start_line_.request_line());
                else
                    delegate_->on_status_line(*this, start_line_.status_line());
            }
            start_line_.reset();
        }
        return taken;
    }
    case phase_t::fields: {
        // The block parser takes the input whole or up to its end: one
        // call, made directly, does what a feed would.
        std::size_t const taken = fields_.parse(data, size, last);
        if (fields_.status() == complete) {
            phase_ = phase_t::sections;
            next_section();
            if (phase_ == phase_t::sections && delegate_)
                delegate_->on_head_end(*this);
        }
        return taken;
    }
    case phase_t::sections:
        return parse_sections(data, size, last);
    case phase_t::complete:
    case phase_t::failed:
        break;
    }
    return 0;
}

std::size_t parser_t::parse_sections(const char* data, std::size_t size, bool last)
{
    const section_kind_t kind = current_.kind;
    std::size_t taken;
    if (current_.length < 0) {
        taken = body_.parse(data, size, last);
        if (body_.status() == complete) {
            body_.reset();
            next_section();
        }
    } else if (static_cast<std::uint64_t>(current_.length) > size) {
        taken = size;
        current_.length -= static_cast<std::int64_t>(size);
    } else {
        taken = static_cast<std::size_t>(current_.length);
        next_section();
    }
    if (taken && delegate_)
        delegate_->on_data(*this, kind, data, taken);
    return taken;
}

void parser_t::next_section()
{
    while (next_ < pending_.size() && pending_[next_].kind == null_body)
        ++next_;
    if (next_ == pending_.size()) {
        current_ = section_t{};
        phase_ = phase_t::complete;
        return;
    }
    current_ = pending_[next_++];
}

void parser_t::on_field(field_block_parser_t&, const field_view_t& field)
{
    if (delegate_)
        delegate_->on_field(*this, field);
    if (!iequals_upper(field.name, "ENCAPSULATED"))
        return;
    // Into the list of the last query: a parser kept for the next query
    // keeps its room too.
    parse_encapsulated(field.value, pending_);
    next_ = 0;
    if (delegate_)
        delegate_->on_encapsulated(*this, pending_);
}

void parser_t::on_chunk(chunked_data_parser_t&, std::int64_t, const std::string&) {}

void parser_t::on_data(chunked_data_parser_t&, const char*, std::size_t) {}

void parser_t::on_trailer_field(chunked_data_parser_t&, const field_t&) {}

} // namespace proto::icap
