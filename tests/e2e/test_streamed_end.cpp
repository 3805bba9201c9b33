// A body streamed back while the query's body still arrives (early answers
// on): what has arrived goes back at once, and an end that came with the
// last data leaves in the same send as that data. A proxy passes the data
// on as it comes; when the next hop answers before the end follows (an
// origin server that has every byte of an upload of known length does),
// Squid drops the adapted body as unfinished and logs the query as failed,
// though every byte got through.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

const std::string post_head = "POST http://www.example.com/upload HTTP/1.1\r\nHost: www.example.com\r\n"
                              "Transfer-Encoding: chunked\r\n\r\n";
const std::string response_head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string first_chunk = "3\r\nabc\r\n";

std::string reqmod()
{
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\nEncapsulated: req-hdr=0, req-body=" +
           std::to_string(post_head.size()) + "\r\n\r\n" + post_head;
}

std::string respmod()
{
    return "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\nEncapsulated: res-hdr=0, res-body=" +
           std::to_string(response_head.size()) + "\r\n\r\n" + response_head;
}

// The kernel's TCP_INFO record goes on past the fields the C library
// declares; the count of segments with data received follows them (its
// layout for user space does not change).
struct tcp_info_t {
    tcp_info declared;
    std::uint64_t pacing_rate;
    std::uint64_t max_pacing_rate;
    std::uint64_t bytes_acked;
    std::uint64_t bytes_received;
    std::uint32_t segs_out;
    std::uint32_t segs_in;
    std::uint32_t notsent_bytes;
    std::uint32_t min_rtt;
    std::uint32_t data_segs_in;
};

// A connection to the daemon that counts the TCP segments with data it
// receives. The daemon sets TCP_NODELAY, so on loopback each of its sends
// arrives as one segment: the count tells how the answer was cut into
// sends, however late the reads here come.
class counting_client_t {
public:
    explicit counting_client_t(unsigned port) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::system_error(errno, std::generic_category(), "connect");
    }
    ~counting_client_t() { ::close(fd_); }
    counting_client_t(const counting_client_t&) = delete;
    counting_client_t& operator=(const counting_client_t&) = delete;

    // In one send, so that the daemon reads it in one piece.
    void send(const std::string& bytes)
    {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until what came since the last call ends with tail; returns
    // those bytes, or what came when the connection ends or 5 s pass.
    std::string read_through(const std::string& tail)
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!got.ends_with(tail)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1)
                break;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    std::uint32_t data_segments() const
    {
        tcp_info_t info{};
        socklen_t size = sizeof info;
        if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
            throw std::system_error(errno, std::generic_category(), "TCP_INFO");
        if (size < offsetof(tcp_info_t, data_segs_in) + sizeof info.data_segs_in)
            throw std::runtime_error("TCP_INFO without the count of segments with data");
        return info.data_segs_in;
    }

private:
    int fd_;
};

// The rest of the body in pieces, each sent once the echo of the one
// before has come back, and the echo each must bring in one send.
struct piece_t {
    std::string sent;
    std::string echoed;
};

struct streamed_end_case_t {
    const char* name;
    std::string query;
    // The encapsulated head the answer echoes.
    std::string head;
    std::vector<piece_t> rest;
};

class streamed_end_test_t : public daemon_test_t, public ::testing::WithParamInterface<streamed_end_case_t> {};

TEST_P(streamed_end_test_t, leaves_with_the_last_data)
{
    const auto& c = GetParam();
    settings.set_use_204(true);
    settings.set_allow_early_response(true);
    ASSERT_TRUE(start_configured());
    counting_client_t client(port);
    // The answer begins with the first chunk, before the rest is sent.
    client.send(c.query + first_chunk);
    const std::string begun = client.read_through(c.head + first_chunk);
    ASSERT_TRUE(begun.ends_with(c.head + first_chunk)) << begun;
    for (const piece_t& piece : c.rest) {
        SCOPED_TRACE(piece.sent);
        const std::uint32_t before = client.data_segments();
        client.send(piece.sent);
        EXPECT_EQ(client.read_through(piece.echoed), piece.echoed);
        EXPECT_EQ(client.data_segments() - before, 1u);
    }
    // The connection takes the next query.
    client.send(standin::options_query(port, "/respmod"));
    EXPECT_TRUE(client.read_through("\r\n\r\n").starts_with("ICAP/1.0 200 OK\r\n"));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(
    bodies, streamed_end_test_t,
    ::testing::Values(
        streamed_end_case_t{
            "reqmod_last_data_and_end", reqmod(), post_head, {{"2\r\nde\r\n0\r\n\r\n", "2\r\nde\r\n0\r\n\r\n"}}},
        streamed_end_case_t{
            "respmod_last_data_and_end", respmod(), response_head, {{"2\r\nde\r\n0\r\n\r\n", "2\r\nde\r\n0\r\n\r\n"}}},
        streamed_end_case_t{"extensions_and_trailers",
                            reqmod(),
                            post_head,
                            {{"2;x=1\r\nde\r\n0;e\r\nT: v\r\n\r\n", "2; x=1\r\nde\r\n0; e\r\nT: v\r\n\r\n"}}},
        streamed_end_case_t{
            "several_chunks_and_end",
            reqmod(),
            post_head,
            {{"2\r\nde\r\n1\r\nf\r\n4\r\nghij\r\n0\r\n\r\n", "2\r\nde\r\n1\r\nf\r\n4\r\nghij\r\n0\r\n\r\n"}}},
        // An end that comes on its own still ends the answer.
        streamed_end_case_t{
            "end_later", reqmod(), post_head, {{"2\r\nde\r\n", "2\r\nde\r\n"}, {"0\r\n\r\n", "0\r\n\r\n"}}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
