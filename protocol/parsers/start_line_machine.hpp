#pragma once

// The start line of an ICAP or HTTP message: a request line
// (method, uri, optional version) or a status line (optional version, code,
// reason). Both protocols share the grammar; only the version word differs.

#include <cstddef>
#include <cstdint>
#include <string>

namespace proto {

struct request_line_t {
    std::string method;
    std::string uri;
    int major = 0; // 0.0 when the line carries no version
    int minor = 0;
};

struct status_line_t {
    int code = 0;
    std::string reason;
    int major = 0; // 0.0 when the line carries no version
    int minor = 0;
};

// Byte-driven recogniser of one start line. It takes bytes up to and
// including the LF that ends the line and then stops; its owner reports the
// line and resets it. Numbers saturate at INT_MAX instead of wrapping, so an
// oversized version can never pass for a small one.
class start_line_machine_t {
public:
    enum class kind_t { none, request, status };

    // `word` is the four upper-case letters of the version ("ICAP", "HTTP");
    // `error_message` the text of the parse error.
    start_line_machine_t(const char* word, const char* error_message);

    // Runs over the input; returns the bytes taken. Throws
    // base_ragel_parser_t::parser_error_t at a byte outside the grammar.
    std::size_t run(const char* data, std::size_t size);

    bool done() const noexcept { return state_ == state_t::done; }
    kind_t kind() const noexcept { return kind_; }
    const request_line_t& request_line() const noexcept { return request_; }
    const status_line_t& status_line() const noexcept { return status_; }

    // Bytes of the line in progress.
    std::int64_t consumed() const noexcept { return consumed_; }

    // Back to the start, records cleared.
    void reset();

private:
    enum class state_t {
        start,        // nothing seen yet
        lead_ws,      // white space before the first token
        lead_lf,      // bare LF lines before a status line
        lead_lf_ws,   // white space after those LF lines
        token,        // first token: a method or the version word
        version_word, // letters and "/" of a version
        after_method,
        uri,
        after_uri,
        major_first,
        major,
        minor_first,
        minor,
        request_trail, // white space after a request line's version
        before_code,   // white space after a status line's version
        code,
        reason,
        cr,
        done,
    };

    // A request line with a version that is here whole, taken in one pass
    // with the outcome of the byte-wise states; returns the bytes taken,
    // or 0 for any other line (a status line, a line cut short, one that
    // fails) with nothing changed, for the byte-wise states to take.
    std::size_t take_request_line(const char* data, std::size_t size);
    // On CR or LF moves on to the end of the line and returns true.
    bool line_end(char c);
    // Adds n to the bytes of the line, held at INT64_MAX.
    void count_consumed(std::size_t n) noexcept;
    int& major();
    int& minor();

    const char* word_;
    const char* error_message_;
    state_t state_ = state_t::start;
    kind_t kind_ = kind_t::none;
    std::size_t matched_ = 0; // letters of the version word matched so far
    request_line_t request_;
    status_line_t status_;
    std::int64_t consumed_ = 0;
};

} // namespace proto
