#pragma once

// A block of header fields up to and including the empty line that ends it:
// ICAP and HTTP headers, chunked trailers and multipart part headers.

#include "protocol/parsers/parser.hpp"

#include <string>
#include <string_view>

namespace proto {

struct field_t {
    std::string name;
    std::string value;
};

// A field as the block parser hands it over: without blanks at the ends of
// name and value, and valid only during the call. A field whose line is
// here whole and that nothing can fold onto is seen in the input itself;
// any other in the parser's own copy.
struct field_view_t {
    std::string_view name;
    std::string_view value;
};

// Copies a field handed over as a view into `into`, whose strings keep
// their room for the next field; returns it.
inline const field_t& hold(const field_view_t& field, field_t& into)
{
    into.name.assign(field.name);
    into.value.assign(field.value);
    return into;
}

class field_block_parser_t : public parser_t {
public:
    class delegate_t {
    public:
        virtual void on_field(field_block_parser_t& parser, const field_view_t& field) = 0;
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
        name_or_end, // start of the block, or of a line after a field handed over: a name or the empty line
        line_start,  // start of a line after a field held: a name, a fold or the end
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
    // Hands over the field held and clears it.
    void deliver();
    std::size_t take_line(const char* data, std::size_t begin, std::size_t lf, std::size_t size);

    delegate_t* delegate_;
    state_t state_ = state_t::name_or_end;
    // The field in progress, or taken whole but not handed over yet: the
    // first byte of the next line, which may fold onto it, is still to come.
    field_t field_;
    bool fold_pending_ = false;
    // The field was taken as a whole line, already without blanks at its
    // ends, and no fold has added to it since.
    bool trimmed_ = false;
};

} // namespace proto
