#pragma once

// One ICAP message as it arrives: the start line, the ICAP header fields,
// the sections announced by the Encapsulated field, the raw bytes of each
// encapsulated HTTP head and the extent of the chunked body. The HTTP heads
// are not interpreted and the body is not decoded: every section's bytes go
// to the delegate tagged with their kind.

#include "protocol/parsers/chunked_data_parser.hpp"
#include "protocol/parsers/field_block_parser.hpp"
#include "protocol/parsers/start_line_machine.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace proto::icap {

enum section_kind_t {
    req_hdr = 0,
    res_hdr = 1,
    req_body = 2,
    res_body = 3,
    opt_body = 4,
    null_body = 5,
};

struct section_t {
    std::int64_t offset = -1; // as written in the Encapsulated field
    std::int64_t length = -1; // to the next offset; -1 for the body (last entry)
    section_kind_t kind = req_hdr;
};

using section_list_t = std::vector<section_t>;

// Splits an Encapsulated value such as 'req-hdr=0, res-hdr=137, res-body=296'
// into sections, which it replaces. The first offset must be 0, offsets
// must not decrease, a body kind comes last and only there, and an offset
// must fit in 64 bits. Throws base_ragel_parser_t::error_t
// "invalid icap encapsulated field: " + the value, leaving sections
// undefined.
void parse_encapsulated(std::string_view value, section_list_t& sections);

class parser_t : public proto::parser_t,
                 public field_block_parser_t::delegate_t,
                 public chunked_data_parser_t::delegate_t {
public:
    class delegate_t {
    public:
        virtual void on_request_line(parser_t& parser, const request_line_t& line) = 0;
        virtual void on_status_line(parser_t& parser, const status_line_t& line) = 0;
        virtual void on_field(parser_t& parser, const field_view_t& field) = 0;
        virtual void on_encapsulated(parser_t& parser, const section_list_t& sections) = 0;
        // The ICAP header ended and sections follow.
        virtual void on_head_end(parser_t& parser) = 0;
        // Raw bytes of a section: an HTTP head, or the body's chunked coding.
        virtual void on_data(parser_t& parser, section_kind_t kind, const char* data, std::size_t size) = 0;
        virtual ~delegate_t() = default;
    };

    explicit parser_t(delegate_t* delegate);

    status_t status() const override;
    // Stops after the start line, after the header block, after each head
    // section and at each inner boundary of the body; takes nothing once
    // complete. Throws "invalid icap message" when a `last` input ends the
    // message early. A parse error (error_t) fails the parser; any other
    // exception from the delegate passes unchanged and does not fail it.
    std::size_t parse(const char* data, std::size_t size, bool last) override;
    void reset() override;

private:
    enum class phase_t { start_line, fields, sections, complete, failed };

    void on_field(field_block_parser_t& parser, const field_view_t& field) override;
    void on_chunk(chunked_data_parser_t& parser, std::int64_t size, const std::string& extension) override;
    void on_data(chunked_data_parser_t& parser, const char* data, std::size_t size) override;
    void on_trailer_field(chunked_data_parser_t& parser, const field_t& field) override;

    std::size_t parse_phase(const char* data, std::size_t size, bool last);
    std::size_t parse_sections(const char* data, std::size_t size, bool last);
    void next_section();

    delegate_t* delegate_;
    start_line_machine_t start_line_;
    phase_t phase_ = phase_t::start_line;
    // The sections of the last Encapsulated field; those from next_ on are
    // still to come.
    section_list_t pending_;
    std::size_t next_ = 0;
    section_t current_;
    field_block_parser_t fields_;
    chunked_data_parser_t body_;
};

} // namespace proto::icap
