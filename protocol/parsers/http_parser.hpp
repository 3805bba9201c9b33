#pragma once

// One HTTP message: start line, header fields and, when bytes follow the
// head, the body by the framing the header announces (chunked coding, a
// multipart Content-Type, a Content-Length, or up to the end of the input).

#include "protocol/parsers/chunked_data_parser.hpp"
#include "protocol/parsers/field_block_parser.hpp"
#include "protocol/parsers/multipart_data_parser.hpp"
#include "protocol/parsers/start_line_machine.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace proto::http {

class parser_t : public proto::parser_t,
                 public field_block_parser_t::delegate_t,
                 public chunked_data_parser_t::delegate_t,
                 public multipart_data_parser_t::delegate_t {
public:
    class delegate_t {
    public:
        virtual void on_request_line(parser_t& parser, const request_line_t& line) = 0;
        virtual void on_status_line(parser_t& parser, const status_line_t& line) = 0;
        // Header fields, trailer fields of a chunked body and header fields of
        // multipart parts.
        virtual void on_field(parser_t& parser, const field_t& field) = 0;
        // The head ended and a body may follow; -1 when no valid Content-Length
        // came.
        virtual void on_head_end(parser_t& parser, std::int64_t content_length) = 0;
        virtual void on_chunk(parser_t& parser, std::int64_t size, const std::string& extension) = 0;
        virtual void on_part_begin(parser_t& parser, multipart_data_parser_t* multipart, bool closing) = 0;
        virtual void on_nested_multipart(parser_t& parser, multipart_data_parser_t* multipart,
                                         multipart_data_parser_t* nested) = 0;
        // Body bytes; `kind` is 2 for body data (always outside multipart), 0 for
        // a multipart preamble, 1 for an epilogue.
        virtual void on_data(parser_t& parser, multipart_data_parser_t* multipart, int kind, const char* data,
                             std::size_t size) = 0;
        virtual ~delegate_t() = default;
    };

    explicit parser_t(delegate_t* delegate);
    ~parser_t() override;

    int consumed() const override;
    status_t status() const override;
    // Stops after the start line, after the header block and wherever the
    // body's framing ends; takes nothing once complete. Throws
    // "invalid http message" when a `last` input ends inside the head.
    std::size_t parse(const char* data, std::size_t size, bool last) override;
    void reset() override;

private:
    enum class phase_t { start_line, fields, body, complete, failed };

    void on_field(field_block_parser_t& parser, const field_view_t& view) override;
    void on_chunk(chunked_data_parser_t& parser, std::int64_t size, const std::string& extension) override;
    void on_data(chunked_data_parser_t& parser, const char* data, std::size_t size) override;
    void on_trailer_field(chunked_data_parser_t& parser, const field_t& field) override;
    void on_part_begin(multipart_data_parser_t& parser, bool closing) override;
    void on_part_field(multipart_data_parser_t& parser, const field_t& field) override;
    void on_nested_multipart(multipart_data_parser_t& parser, multipart_data_parser_t* nested) override;
    void on_part_data(multipart_data_parser_t& parser, int kind, const char* data, std::size_t size) override;

    std::size_t parse_phase(const char* data, std::size_t size, bool last);
    std::size_t parse_start_line(const char* data, std::size_t size);
    std::size_t parse_body(const char* data, std::size_t size, bool last);
    void count_down(std::size_t n);

    delegate_t* delegate_;
    start_line_machine_t start_line_;
    phase_t phase_ = phase_t::start_line;
    std::int64_t content_length_ = -1;
    bool encoded_ = false;
    field_t field_; // the header field handed on
    field_block_parser_t fields_;
    std::unique_ptr<chunked_data_parser_t> chunked_;
    std::unique_ptr<multipart_data_parser_t> multipart_;
};

} // namespace proto::http
