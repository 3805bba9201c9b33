#pragma once

// A block of header fields up to and including the empty line that ends it:
// ICAP and HTTP headers, chunked trailers and multipart part headers.

#include "protocol/parsers/parser.hpp"

#include <string>

namespace proto {

struct field_t {
    std::string name;
    std::string value;
};

class field_block_parser_t : public parser_t {
public:
    class delegate_t {
    public:
        virtual void on_field(field_block_parser_t& parser, const field_t& field) = 0;
        virtual ~delegate_t() = default;
    };

    explicit field_block_parser_t(delegate_t* delegate);

    int consumed() const override;
    status_t status() const override;
    // Takes bytes up to and including the LF of the empty line; `last` is not
    // looked at. Throws "invalid state" once complete or failed.
    std::size_t parse(const char* data, std::size_t size, bool last) override;
    void reset() override;

private:
    enum class state_t {
        failed,
        first_line, // start of the block: a name or the empty line
        line_start, // start of a line after a field: a name, a fold or the end
        name,
        name_ws,
        value,
        value_cr,
        fold_lead,  // leading white space of a continuation line
        fold_value, // rest of a continuation line
        end_cr,     // CR of the empty line
        complete,
    };

    void append_value(char c);
    void deliver();
    std::size_t take_line(const char* data, std::size_t begin, std::size_t lf, std::size_t size);

    delegate_t* delegate_;
    state_t state_ = state_t::first_line;
    field_t field_;
    bool fold_pending_ = false;
    // The field was taken as a whole line, already without blanks at its
    // ends, and no fold has added to it since.
    bool trimmed_ = false;
};

} // namespace proto
