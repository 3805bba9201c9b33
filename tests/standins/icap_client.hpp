#pragma once

// A blocking ICAP client that stands in for a proxy: one TCP connection to
// 127.0.0.1 with bounded waits, and the pieces of an answer head.

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace standin {

using namespace std::chrono_literals;

// An answer head taken apart: the status line and the fields in the order
// they were written.
struct icap_head_t {
    std::string status_line;
    std::vector<std::pair<std::string, std::string>> fields;

    // The first value of the field (names compared exactly), if any.
    std::optional<std::string> field(const std::string& name) const;
    std::vector<std::string> names() const;
};

// Splits a head text ending in an empty line; a line that begins with a
// blank continues the field before it (joined with CR LF, the blank kept).
// Throws std::runtime_error when another line is not "name: value".
icap_head_t parse_icap_head(const std::string& text);

class icap_client_t {
public:
    // Connects to 127.0.0.1:port; throws std::system_error on failure.
    explicit icap_client_t(unsigned port);
    ~icap_client_t();
    icap_client_t(const icap_client_t&) = delete;
    icap_client_t& operator=(const icap_client_t&) = delete;

    void send(const std::string& bytes);
    // Half-closes the sending side.
    void shutdown_send();

    // One head, through its empty line; nothing when the server ends the
    // connection first or the limit passes.
    std::optional<std::string> read_head(std::chrono::milliseconds limit = 5000ms);
    // One whole answer as it came: the head, the encapsulated HTTP heads and
    // the chunked body through its last chunk and trailers, as far as the
    // head's Encapsulated field announces them (an answer without one is its
    // head alone). Nothing when the server ends the connection first, the
    // limit passes or the framing is broken.
    std::optional<std::string> read_answer(std::chrono::milliseconds limit = 5000ms);
    // Sends a query and reads the head of its answer, taken apart.
    std::optional<icap_head_t> ask(const std::string& query, std::chrono::milliseconds limit = 5000ms);
    // True when the server ends its sending side within the limit without
    // sending anything more.
    bool wait_for_end(std::chrono::milliseconds limit = 5000ms);
    // True when the server sent nothing more and did not end the connection
    // during the whole time.
    bool stays_open(std::chrono::milliseconds time);

private:
    enum class read_t { data, end, timeout };
    read_t read_some(std::chrono::steady_clock::time_point deadline);
    // Takes the next n bytes, or the bytes up to and including the next
    // CR LF, once they have arrived.
    std::optional<std::string> take(std::size_t n, std::chrono::steady_clock::time_point deadline);
    std::optional<std::string> take_line(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    std::string buffered_;
};

// An OPTIONS query for the service path, e.g. "/respmod".
std::string options_query(unsigned port, const std::string& path, const std::string& extra_fields = "");

// A TCP port on 127.0.0.1 that nothing listened on a moment ago, below the
// range the system hands out to connecting sockets.
unsigned free_port();

} // namespace standin
