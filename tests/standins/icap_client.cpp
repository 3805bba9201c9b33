#include "standins/icap_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace standin {

namespace {

// The ports tests pick for their servers start here: above the ones
// daemons installed on the machine listen on by default.
constexpr unsigned lowest_test_port = 16384;

sockaddr_in loopback(unsigned port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Whether a listening socket could bind the port on 127.0.0.1 now.
bool bindable(unsigned port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    const sockaddr_in address = loopback(port);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// The first port the system hands out to sockets that connect without a
// port of their own.
unsigned first_ephemeral_port()
{
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 0;
    return range >> low && low > lowest_test_port + 1000 ? low : 32768;
}

} // namespace

std::optional<std::string> icap_head_t::field(const std::string& name) const
{
    for (const auto& [n, v] : fields)
        if (n == name)
            return v;
    return std::nullopt;
}

std::vector<std::string> icap_head_t::names() const
{
    std::vector<std::string> result;
    for (const auto& f : fields)
        result.push_back(f.first);
    return result;
}

icap_head_t parse_icap_head(const std::string& text)
{
    icap_head_t head;
    std::size_t at = 0;
    bool first = true;
    for (;;) {
        const std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            throw std::runtime_error("head without its empty line");
        const std::string line = text.substr(at, end - at);
        at = end + 2;
        if (line.empty())
            return head;
        if (first) {
            head.status_line = line;
            first = false;
            continue;
        }
        // A continuation line (the threat list of a blocking answer spans
        // several) belongs to the field before it, folds kept.
        if ((line[0] == '\t' || line[0] == ' ') && !head.fields.empty()) {
            head.fields.back().second += "\r\n" + line;
            continue;
        }
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos)
            throw std::runtime_error("not a field line: " + line);
        head.fields.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
}

icap_client_t::icap_client_t(unsigned port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        fail("socket");
    const sockaddr_in address = loopback(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::generic_category(), "connect");
    }
}

icap_client_t::~icap_client_t()
{
    ::close(fd_);
}

void icap_client_t::send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            fail("send");
        sent += static_cast<std::size_t>(n);
    }
}

void icap_client_t::shutdown_send()
{
    ::shutdown(fd_, SHUT_WR);
}

icap_client_t::read_t icap_client_t::read_some(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0)
        return read_t::timeout;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0)
        return read_t::timeout;
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0)
        return read_t::end;
    buffered_.append(chunk, static_cast<std::size_t>(n));
    return read_t::data;
}

std::optional<std::string> icap_client_t::read_head(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::size_t end = buffered_.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string head = buffered_.substr(0, end + 4);
            buffered_.erase(0, end + 4);
            return head;
        }
        if (read_some(deadline) != read_t::data)
            return std::nullopt;
    }
}

std::optional<std::string> icap_client_t::take(std::size_t n, std::chrono::steady_clock::time_point deadline)
{
    while (buffered_.size() < n)
        if (read_some(deadline) != read_t::data)
            return std::nullopt;
    std::string bytes = buffered_.substr(0, n);
    buffered_.erase(0, n);
    return bytes;
}

std::optional<std::string> icap_client_t::take_line(std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const std::size_t end = buffered_.find("\r\n");
        if (end != std::string::npos)
            return take(end + 2, deadline);
        if (read_some(deadline) != read_t::data)
            return std::nullopt;
    }
}

std::optional<std::string> icap_client_t::read_answer(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::optional<std::string> answer = read_head(limit);
    if (!answer)
        return std::nullopt;
    const std::optional<std::string> encapsulated = parse_icap_head(*answer).field("Encapsulated");
    if (!encapsulated)
        return answer;
    // The last entry gives the heads' length and whether a body follows.
    const std::size_t last = encapsulated->rfind(", ");
    const std::string entry = encapsulated->substr(last == std::string::npos ? 0 : last + 2);
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos)
        return std::nullopt;
    const auto heads = take(std::stoul(entry.substr(equals + 1)), deadline);
    if (!heads)
        return std::nullopt;
    *answer += *heads;
    if (entry.compare(0, equals, "null-body") == 0)
        return answer;
    for (;;) {
        const auto size_line = take_line(deadline);
        if (!size_line)
            return std::nullopt;
        *answer += *size_line;
        const std::size_t size = std::stoul(*size_line, nullptr, 16);
        if (size == 0)
            break;
        const auto data = take(size + 2, deadline);
        if (!data)
            return std::nullopt;
        *answer += *data;
    }
    for (;;) {
        const auto trailer = take_line(deadline);
        if (!trailer)
            return std::nullopt;
        *answer += *trailer;
        if (*trailer == "\r\n")
            return answer;
    }
}

std::optional<icap_head_t> icap_client_t::ask(const std::string& query, std::chrono::milliseconds limit)
{
    send(query);
    const auto head = read_head(limit);
    if (!head)
        return std::nullopt;
    return parse_icap_head(*head);
}

bool icap_client_t::wait_for_end(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (!buffered_.empty())
            return false;
        const read_t got = read_some(deadline);
        if (got != read_t::data)
            return got == read_t::end;
    }
}

bool icap_client_t::stays_open(std::chrono::milliseconds time)
{
    return buffered_.empty() && read_some(std::chrono::steady_clock::now() + time) == read_t::timeout;
}

std::string options_query(unsigned port, const std::string& path, const std::string& extra_fields)
{
    return "OPTIONS icap://127.0.0.1:" + std::to_string(port) + path + " ICAP/1.0\r\n" +
           "Host: 127.0.0.1:" + std::to_string(port) + "\r\n" + extra_fields + "\r\n";
}

unsigned free_port()
{
    // Not from the system's ephemeral range: while a test starts its server
    // on the port, any client connecting meanwhile (the tests run side by
    // side) may be given that very port as its own, and the server's bind
    // then fails.
    thread_local std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<unsigned> pick(lowest_test_port, first_ephemeral_port() - 1);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const unsigned port = pick(random);
        if (bindable(port))
            return port;
    }
    throw std::runtime_error("no free port on 127.0.0.1 below the ephemeral range");
}

} // namespace standin
