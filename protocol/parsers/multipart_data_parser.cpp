#include "protocol/parsers/multipart_data_parser.hpp"

#include "protocol/parsers/content_type.hpp"
#include "protocol/parsers/wire_text.hpp"

#include <cstring>

namespace proto {

multipart_data_parser_t::multipart_data_parser_t(std::string boundary, delegate_t* delegate)
    : multipart_data_parser_t(std::move(boundary), nullptr, delegate)
{
}

multipart_data_parser_t::multipart_data_parser_t(std::string boundary, multipart_data_parser_t* parent,
                                                 delegate_t* delegate)
    : boundary_(std::move(boundary)), parent_(parent), header_(this), delegate_(delegate)
{
}

multipart_data_parser_t::~multipart_data_parser_t() = default;

parser_t::status_t multipart_data_parser_t::status() const
{
    return status_of(phase_);
}

void multipart_data_parser_t::reset()
{
    phase_ = phase_t::preamble;
    nested_.reset();
    header_.reset();
    line_.clear();
}

std::size_t multipart_data_parser_t::parse(const char* data, std::size_t size, bool last)
{
    if (phase_ == phase_t::complete)
        return 0;
    if (phase_ == phase_t::failed)
        throw error_t("invalid multipart data", data, size);
    try {
        std::size_t const taken = parse_phase(data, size);
        if (taken == size && last) {
            if (phase_ == phase_t::part_header)
                throw error_t("invalid multipart data");
            line_step(true);
            phase_ = phase_t::complete;
        }
        return taken;
    } catch (...) {
        phase_ = phase_t::failed;
        throw;
    }
}

std::size_t multipart_data_parser_t::parse_phase(const char* data, std::size_t size)
{
    if (phase_ == phase_t::part_header) {
        std::size_t const taken = header_.parse(data, size, false);
        if (header_.status() == complete) {
            header_.reset();
            phase_ = phase_t::part_body;
        }
        return taken;
    }
    const auto* lf = static_cast<const char*>(size ? std::memchr(data, '\n', size) : nullptr);
    std::size_t const taken = lf ? static_cast<std::size_t>(lf - data) + 1 : size;
    if (taken)
        line_.append(data, taken);
    if (lf)
        line_step(false);
    return taken;
}

// The line buffer may begin with the line end of the previous line, which
// was held back in case this line is a delimiter.
bool multipart_data_parser_t::is_delimiter(bool& closing) const
{
    std::size_t i = 0;
    std::size_t const n = line_.size();
    if (i + 1 < n && line_[i] == '\r')
        ++i;
    if (i + 1 < n && line_[i] == '\n')
        ++i;
    if (line_.compare(i, 2, "--") != 0)
        return false;
    i += 2;
    if (line_.compare(i, boundary_.size(), boundary_) != 0)
        return false;
    i += boundary_.size();
    closing = line_.compare(i, 2, "--") == 0;
    if (closing)
        i += 2;
    while (i < n && (line_[i] == ' ' || line_[i] == '\t'))
        ++i;
    std::size_t const rest = n - i;
    return rest == 0 || (rest == 1 && (line_[i] == '\r' || line_[i] == '\n')) ||
           (rest == 2 && line_[i] == '\r' && line_[i + 1] == '\n');
}

void multipart_data_parser_t::line_step(bool end)
{
    bool closing = false;
    // After the close delimiter every line is epilogue.
    if (phase_ != phase_t::epilogue && is_delimiter(closing)) {
        phase_ = closing ? phase_t::epilogue : phase_t::part_header;
        line_.clear();
        if (nested_)
            nested_->parse(nullptr, 0, true);
        if (delegate_)
            delegate_->on_part_begin(*this, closing);
        nested_.reset();
        return;
    }
    std::size_t n = line_.size();
    if (!end) {
        if (n >= 2 && line_[n - 2] == '\r' && line_[n - 1] == '\n')
            n -= 2;
        else if (n >= 1 && (line_[n - 1] == '\n' || line_[n - 1] == '\r'))
            n -= 1;
    }
    deliver(n, end);
    line_.erase(0, n);
    if (end)
        nested_.reset();
}

void multipart_data_parser_t::deliver(std::size_t n, bool end)
{
    if (phase_ == phase_t::part_body && nested_) {
        if (nested_->feed(line_.data(), n, end) != n)
            throw error_t("invalid nested multipart data", line_.data(), n);
        return;
    }
    const int kind = phase_ == phase_t::preamble ? preamble : phase_ == phase_t::epilogue ? epilogue : part_body;
    if (delegate_)
        delegate_->on_part_data(*this, kind, line_.data(), n);
}

void multipart_data_parser_t::on_field(field_block_parser_t&, const field_view_t& view)
{
    const field_t& field = hold(view, field_);
    if (delegate_)
        delegate_->on_part_field(*this, field);
    if (!iequals_upper(field.name, "CONTENT-TYPE"))
        return;
    content_type_t type;
    try {
        type = parse_content_type(field.value);
    } catch (const error_t&) {
        return; // not multipart: the part's data is plain data
    }
    // Without a boundary nothing could be split: treat the part as plain data.
    if (type.boundary.empty())
        return;
    if (type.boundary == boundary_)
        throw error_t("invalid nested multipart data boundary");
    nested_ = std::make_unique<multipart_data_parser_t>(type.boundary, this, delegate_);
    if (delegate_)
        delegate_->on_nested_multipart(*this, nested_.get());
}

} // namespace proto
