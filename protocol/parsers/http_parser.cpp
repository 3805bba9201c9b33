#include "protocol/parsers/http_parser.hpp"

#include "protocol/parsers/content_type.hpp"
#include "protocol/parsers/wire_text.hpp"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace proto::http {

namespace {

// A Content-Length read as atoll does (leading space and sign allowed, the
// digits up to the first other byte, none gives 0); a negative value or one
// that does not fit in 64 bits is no valid length and gives -1.
std::int64_t to_content_length(const std::string& text)
{
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str())
        return 0;
    if (errno == ERANGE || value < 0)
        return -1;
    return value;
}

int sum(std::int64_t a, int b)
{
    constexpr std::int64_t top = std::numeric_limits<int>::max();
    return static_cast<int>(a + b > top ? top : a + b);
}

} // namespace

parser_t::parser_t(delegate_t* delegate)
    : delegate_(delegate), start_line_("HTTP", "invalid http request or response"), fields_(this)
{
    reset();
}

parser_t::~parser_t()
{
    reset();
}

int parser_t::consumed() const
{
    int total = sum(start_line_.consumed(), fields_.consumed());
    if (chunked_)
        total = sum(total, chunked_->consumed());
    if (multipart_)
        total = sum(total, multipart_->consumed());
    return total;
}

parser_t::status_t parser_t::status() const
{
    return status_of(phase_);
}

void parser_t::reset()
{
    start_line_.reset();
    phase_ = phase_t::start_line;
    content_length_ = -1;
    encoded_ = false;
    chunked_.reset();
    multipart_.reset();
    fields_.reset();
}

std::size_t parser_t::parse(const char* data, std::size_t size, bool last)
{
    if (phase_ == phase_t::failed)
        throw error_t("invalid http data", data, size);
    try {
        std::size_t const taken = parse_phase(data, size, last);
        if (taken == size && last) {
            if (phase_ == phase_t::start_line || phase_ == phase_t::fields)
                throw error_t("invalid http message");
            if (phase_ == phase_t::body) {
                if (multipart_)
                    multipart_->parse(nullptr, 0, true);
                phase_ = phase_t::complete;
            }
        }
        return taken;
    } catch (...) {
        phase_ = phase_t::failed;
        throw;
    }
}

std::size_t parser_t::parse_phase(const char* data, std::size_t size, bool last)
{
    switch (phase_) {
    case phase_t::start_line:
        return parse_start_line(data, size);
    case phase_t::fields: {
        std::size_t const taken = fields_.feed(data, size, last);
        if (fields_.status() == complete) {
            if (content_length_ == 0) {
                phase_ = phase_t::complete;
            } else {
                phase_ = phase_t::body;
                if (delegate_)
                    delegate_->on_head_end(*this, content_length_);
            }
        }
        return taken;
    }
    case phase_t::body:
        return parse_body(data, size, last);
    case phase_t::complete:
    case phase_t::failed:
        break;
    }
    return 0;
}

std::size_t parser_t::parse_start_line(const char* data, std::size_t size)
{
    std::size_t const taken = start_line_.run(data, size);
    if (!start_line_.done())
        return taken;
    phase_ = phase_t::fields;
    if (delegate_) {
        try {
            if (start_line_.kind() == start_line_machine_t::kind_t::request)
                delegate_->on_request_line(*this, start_line_.request_line());
            else
                delegate_->on_status_line(*this, start_line_.status_line());
        } catch (...) {
            throw parser_error_t(std::current_exception(), position_of(taken - 1));
        }
    }
    start_line_.reset();
    return taken;
}

std::size_t parser_t::parse_body(const char* data, std::size_t size, bool last)
{
    if (chunked_) {
        std::size_t const taken = chunked_->feed(data, size, last);
        count_down(taken);
        if (chunked_->status() == complete) {
            // The multipart body inside ends with the chunked body.
            if (multipart_)
                multipart_->parse(nullptr, 0, true);
            phase_ = phase_t::complete;
        }
        return taken;
    }
    const bool known = content_length_ >= 0;
    std::size_t const n =
        known && static_cast<std::uint64_t>(content_length_) < size ? static_cast<std::size_t>(content_length_) : size;
    if (multipart_) {
        // The multipart body ends where the length ends, or with the input.
        const bool ends = (known && static_cast<std::uint64_t>(content_length_) == n) || (last && n == size);
        std::size_t const taken = multipart_->feed(data, n, ends);
        if (known) {
            count_down(n);
            if (content_length_ == 0)
                phase_ = phase_t::complete;
        } else if (multipart_->status() == complete) {
            phase_ = phase_t::complete;
        }
        return taken;
    }
    if (n && delegate_)
        delegate_->on_data(*this, nullptr, multipart_data_parser_t::part_body, data, n);
    if (known) {
        count_down(n);
        if (content_length_ == 0)
            phase_ = phase_t::complete;
    }
    return n;
}

// A known length counts the body bytes down; it never goes below zero.
void parser_t::count_down(std::size_t n)
{
    if (content_length_ < 0)
        return;
    content_length_ =
        static_cast<std::uint64_t>(content_length_) > n ? content_length_ - static_cast<std::int64_t>(n) : 0;
}

void parser_t::on_field(field_block_parser_t&, const field_view_t& view)
{
    const field_t& field = hold(view, field_);
    const std::string& name = field.name;
    if (iequals_upper(name, "CONTENT-LENGTH")) {
        content_length_ = to_content_length(field.value);
    } else if (iequals_upper(name, "TRANSFER-ENCODING")) {
        if (iequals_upper(field.value, "CHUNKED") && !chunked_)
            chunked_ = std::make_unique<chunked_data_parser_t>(this);
    } else if (iequals_upper(name, "CONTENT-ENCODING")) {
        if (!iequals_upper(field.value, "IDENTITY")) {
            encoded_ = true;
            multipart_.reset();
        }
    } else if (iequals_upper(name, "CONTENT-TYPE") && !encoded_ && !multipart_) {
        try {
            // Without a boundary nothing could be split: the body stays plain.
            const auto type = parse_content_type(field.value);
            if (!type.boundary.empty())
                multipart_ = std::make_unique<multipart_data_parser_t>(type.boundary, this);
        } catch (const error_t&) {
            // Not multipart: the body is plain data.
        }
    }
    if (delegate_)
        delegate_->on_field(*this, field);
}

void parser_t::on_chunk(chunked_data_parser_t&, std::int64_t size, const std::string& extension)
{
    if (delegate_)
        delegate_->on_chunk(*this, size, extension);
}

void parser_t::on_data(chunked_data_parser_t&, const char* data, std::size_t size)
{
    if (!multipart_) {
        if (size && delegate_)
            delegate_->on_data(*this, nullptr, multipart_data_parser_t::part_body, data, size);
        return;
    }
    std::size_t const taken = multipart_->feed(data, size, false);
    if (taken != size)
        throw parser_error_t("invalid http message", data + taken, data + size, position_of(taken));
}

void parser_t::on_trailer_field(chunked_data_parser_t&, const field_t& field)
{
    if (delegate_)
        delegate_->on_field(*this, field);
}

void parser_t::on_part_begin(multipart_data_parser_t& parser, bool closing)
{
    if (delegate_)
        delegate_->on_part_begin(*this, &parser, closing);
}

void parser_t::on_part_field(multipart_data_parser_t&, const field_t& field)
{
    if (delegate_)
        delegate_->on_field(*this, field);
}

void parser_t::on_nested_multipart(multipart_data_parser_t& parser, multipart_data_parser_t* nested)
{
    if (delegate_)
        delegate_->on_nested_multipart(*this, &parser, nested);
}

void parser_t::on_part_data(multipart_data_parser_t& parser, int kind, const char* data, std::size_t size)
{
    if (delegate_)
        delegate_->on_data(*this, &parser, kind, data, size);
}

} // namespace proto::http
