#pragma once

// One direction of an ICAP connection followed byte by byte, to tell where
// each message begins and ends without holding its body: the ICAP head,
// the encapsulated HTTP heads (their length from Encapsulated) and, when
// there is a body, its chunks up to the last chunk and the trailer's empty
// line. Previews are not followed: a body ends at its first last chunk.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace soak {

struct icap_message_t {
    // "RESPMOD icap://... ICAP/1.0" or "ICAP/1.0 200 OK".
    std::string start_line;
    // The first line of the first encapsulated head, e.g. the HTTP
    // request's "GET http://... HTTP/1.1"; empty when there is none.
    std::string http_start_line;
    bool has_body = false;
    // Body bytes without the chunked coding, so far.
    std::uint64_t body_size = 0;
};

class icap_stream_t {
public:
    using observer_t = std::function<void(const icap_message_t&)>;

    // `begun` is called when a message's heads are in, `ended` when its
    // last byte is.
    icap_stream_t(observer_t begun, observer_t ended);

    // Follows the next bytes of the stream. Once it is broken (bytes that
    // are not ICAP framing), the rest is ignored.
    void feed(std::string_view bytes);

    // Whether the stream stands between messages.
    bool between_messages() const { return state_ == state_t::head && pending_.empty(); }
    // What is not ICAP framing, the first time; empty while sound.
    const std::string& broken() const { return broken_; }
    // The message under way, when not between messages.
    const icap_message_t& current() const { return message_; }

private:
    enum class state_t { head, heads, size_line, data, data_end, trailer, broken };

    // Each takes what it needs from the front of `bytes`.
    void take_head(std::string_view& bytes);
    void take_heads(std::string_view& bytes);
    void take_size_line(std::string_view& bytes);
    void take_data(std::string_view& bytes);
    void take_data_end(std::string_view& bytes);
    void take_trailer(std::string_view& bytes);
    // A line ending in CRLF from pending_ and `bytes`; false when it is not
    // whole yet.
    bool take_line(std::string_view& bytes, std::string& line);
    void begin_body_or_end();
    void end_message();
    void fail(const std::string& why);

    observer_t begun_;
    observer_t ended_;
    state_t state_ = state_t::head;
    std::string pending_;
    icap_message_t message_;
    std::size_t heads_left_ = 0;
    std::uint64_t chunk_left_ = 0;
    std::string broken_;
};

} // namespace soak
