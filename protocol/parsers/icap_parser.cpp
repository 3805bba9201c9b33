#include "protocol/parsers/icap_parser.hpp"

#include "protocol/parsers/wire_text.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace proto::icap {

namespace {

bool kind_of(std::string_view name, section_kind_t& kind)
{
    static constexpr struct {
        std::string_view name;
        section_kind_t kind;
    } names[] = {{"REQ-HDR", req_hdr},   {"RES-HDR", res_hdr},   {"REQ-BODY", req_body},
                 {"RES-BODY", res_body}, {"OPT-BODY", opt_body}, {"NULL-BODY", null_body}};
    for (const auto& entry : names) {
        if (iequals_upper(name, entry.name)) {
            kind = entry.kind;
            return true;
        }
    }
    return false;
}

bool is_body(section_kind_t kind)
{
    return kind != req_hdr && kind != res_hdr;
}

} // namespace

void parse_encapsulated(const std::string& value, section_list_t& sections)
{
    sections.clear();
    // Queries carry two or three sections.
    sections.reserve(4);
    bool valid = true;
    split(value, ',', [&](std::string_view piece) {
        std::string_view parts[2];
        std::size_t count = 0;
        split(piece, '=', [&](std::string_view part) {
            if (count < 2)
                parts[count] = part;
            return ++count <= 2;
        });
        section_t section;
        const std::optional<std::int64_t> offset = proto::leading_integer(parts[1]);
        valid = count == 2 && offset && kind_of(parts[0], section.kind) &&
                (sections.empty() || !is_body(sections.back().kind));
        if (valid) {
            section.offset = *offset;
            sections.push_back(section);
        }
        return valid;
    });
    // Made only when thrown: a valid field costs no message.
    const auto invalid = [&value] { return base_ragel_parser_t::error_t("invalid icap encapsulated field: " + value); };
    if (!valid)
        throw invalid();
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
        std::size_t const taken = fields_.feed(data, size, last);
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

void parser_t::on_field(field_block_parser_t&, const field_t& field)
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
