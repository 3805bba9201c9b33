#pragma once

// A multipart body (RFC 2046): preamble, parts with their header blocks and
// data, epilogue. Line-oriented: it collects bytes up to each LF, decides
// whether the line is a delimiter and hands everything else on as data,
// without the line end that precedes a delimiter. A part that is itself
// multipart gets a nested parser of this class.

#include "protocol/parsers/field_block_parser.hpp"

#include <memory>
#include <string>

namespace proto {

class multipart_data_parser_t : public parser_t, public field_block_parser_t::delegate_t {
public:
    enum data_kind_t { preamble = 0, epilogue = 1, part_body = 2 };

    class delegate_t {
    public:
        // A delimiter line; `closing` for the close delimiter ("--" after it).
        virtual void on_part_begin(multipart_data_parser_t& parser, bool closing) = 0;
        virtual void on_part_field(multipart_data_parser_t& parser, const field_t& field) = 0;
        // The current part's Content-Type opened a nested multipart body, whose
        // parser reports to the same delegate.
        virtual void on_nested_multipart(multipart_data_parser_t& parser, multipart_data_parser_t* nested) = 0;
        // `kind` is a data_kind_t.
        virtual void on_part_data(multipart_data_parser_t& parser, int kind, const char* data, std::size_t size) = 0;
        virtual ~delegate_t() = default;
    };

    multipart_data_parser_t(std::string boundary, delegate_t* delegate);
    multipart_data_parser_t(std::string boundary, multipart_data_parser_t* parent, delegate_t* delegate);
    ~multipart_data_parser_t() override;

    status_t status() const override;
    // Takes a line at a time (or the whole input when it holds no LF), a part
    // header block at a time; completes only at the end of a `last` input.
    std::size_t parse(const char* data, std::size_t size, bool last) override;
    void reset() override;

    const std::string& boundary() const noexcept { return boundary_; }
    multipart_data_parser_t* parent() const noexcept { return parent_; }

private:
    enum class phase_t { preamble, part_header, part_body, epilogue, complete, failed };

    void on_field(field_block_parser_t& parser, const field_view_t& view) override;

    std::size_t parse_phase(const char* data, std::size_t size);
    void line_step(bool end);
    bool is_delimiter(bool& closing) const;
    void deliver(std::size_t n, bool end);

    phase_t phase_ = phase_t::preamble;
    std::string line_;
    std::string boundary_;
    multipart_data_parser_t* parent_;
    std::unique_ptr<multipart_data_parser_t> nested_;
    field_t field_; // the part field handed on
    field_block_parser_t header_;
    delegate_t* delegate_;
};

} // namespace proto
