#pragma once

// A push reader for ICAP answers as a load generator receives them: bytes go
// in as they arrive, in pieces of any size, and the reader tells when one
// answer is whole. It keeps only what it must (the head and the current
// chunk-size line), and compares an encapsulated body with the bytes the
// answer should carry as they pass, so that a megabyte echoed back is
// checked without being copied.

#include <cstddef>
#include <string>
#include <string_view>

namespace bench {

class icap_answer_reader_t {
public:
    // Starts on a new answer whose body, if it has one, must equal
    // `expected_body` (which must outlive the answer).
    void reset(std::string_view expected_body);

    // Takes bytes from the front of the piece until the answer is whole or
    // broken and returns how many it took; the rest belongs to what follows.
    std::size_t consume(std::string_view piece);

    bool complete() const { return state_ == state_t::done; }
    bool failed() const { return state_ == state_t::failed; }
    // Why the answer is broken.
    const std::string& failure() const { return failure_; }

    // What a whole answer held.
    unsigned status() const { return status_; }
    bool has_body() const { return has_body_; }
    std::size_t body_size() const { return body_offset_; }
    bool body_matches() const { return body_matches_; }
    // "Connection: close" in the head: the server ends the connection.
    bool closes() const { return closes_; }

private:
    enum class state_t { head, http_heads, chunk_size, chunk_data, chunk_end, trailer, done, failed };

    std::size_t take_head(std::string_view piece);
    std::size_t take_line(std::string_view piece);
    void parse_head();
    void parse_chunk_size();
    void fail(std::string why);

    state_t state_ = state_t::head;
    std::string failure_;
    // The head, then each chunk-size or trailer line, as it accumulates.
    std::string text_;
    std::size_t remaining_ = 0;

    std::string_view expected_;
    unsigned status_ = 0;
    bool has_body_ = false;
    std::size_t body_offset_ = 0;
    bool body_matches_ = true;
    bool closes_ = false;
};

} // namespace bench
