#pragma once

// The chunked transfer coding of a body: chunk-size lines with their
// extensions, chunk data and the trailer block.

#include "protocol/parsers/field_block_parser.hpp"

#include <cstdint>
#include <string>

namespace proto {

class chunked_data_parser_t : public parser_t, public field_block_parser_t::delegate_t {
public:
    class delegate_t {
    public:
        // Each chunk header; size 0 is the last chunk, after which trailers come.
        virtual void on_chunk(chunked_data_parser_t& parser, std::int64_t size, const std::string& extension) = 0;
        virtual void on_data(chunked_data_parser_t& parser, const char* data, std::size_t size) = 0;
        virtual void on_trailer_field(chunked_data_parser_t& parser, const field_t& field) = 0;
        virtual ~delegate_t() = default;
    };

    // Neither a chunk-size line (without its line ends) nor the trailer block
    // may be longer than this; a peer could otherwise make us hold any amount.
    static constexpr std::size_t max_size_line = 65536;
    static constexpr std::size_t max_trailer_block = 65536;

    explicit chunked_data_parser_t(delegate_t* delegate);

    int consumed() const override;
    status_t status() const override;
    // Stops at the end of each chunk-size line, of each chunk's data and of the
    // body; the bytes after the trailer block are not taken. Complete also when
    // a `last` input has been taken whole. Throws "invalid state" once complete
    // or failed.
    std::size_t parse(const char* data, std::size_t size, bool last) override;
    void reset() override;

private:
    enum class phase_t { size_line, data, trailer, complete, failed };
    enum class state_t { start, lead_cr, after_lead, size, size_ws, extension, cr };

    void on_field(field_block_parser_t& parser, const field_view_t& field) override;

    std::size_t run_size_line(const char* data, std::size_t size);
    std::size_t take_data(const char* data, std::size_t size);
    std::size_t take_trailer(const char* data, std::size_t size, bool last);
    void end_size_line(std::size_t index);

    delegate_t* delegate_;
    phase_t phase_ = phase_t::size_line;
    state_t state_ = state_t::start;
    std::string size_text_;
    std::string extension_;
    std::size_t line_length_ = 0;
    std::int64_t remaining_ = 0;
    std::size_t trailer_length_ = 0;
    field_t trailer_field_; // the trailer field handed on
    field_block_parser_t trailer_;
};

} // namespace proto
