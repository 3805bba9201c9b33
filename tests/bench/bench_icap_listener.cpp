// Measures a running ICAP server from outside, the way an administrator
// would see it: its CPU time and memory from /proc, the clients over
// loopback TCP. Start the daemon by hand (for instance under the stand-in
// PilotD, as scripts/demo does, with logging at Notice), raise the
// descriptor limit of both sides with ulimit -n when many connections are
// asked for, then:
//
//   bench_icap_listener options PORT PID CONNECTIONS SECONDS
//       keep-alive OPTIONS, one client thread per connection: requests per
//       second and per CPU-second of the server
//   bench_icap_listener burst PORT PID BUSY NEW
//       BUSY connections under OPTIONS load while NEW clients connect at
//       once and each sends one OPTIONS: time until all NEW were answered
//   bench_icap_listener idle PORT PID CONNECTIONS
//       CONNECTIONS kept-alive connections, each after one OPTIONS, left
//       idle: resident memory per connection, and after they all closed
//   bench_icap_listener query PATH PORT PID CONNECTIONS SECONDS
//       like options, with the query PATH: reqmod-204 (a GET with
//       "Allow: 204"), respmod-10k (a 10 KiB body, no "Allow: 204",
//       answered unchanged), respmod-10k-preview (the same body with
//       "Allow: 204" and a preview of 1024 bytes, or less when the
//       server's OPTIONS answer offers less)
//   bench_icap_listener respmod PORT PID MEGABYTES
//       one RESPMOD of a body of that size without "Allow: 204", answered
//       with the body unchanged: the server's peak resident memory
//
// The figures are printed; nothing is asserted.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_cpu.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

const std::string options_query = "OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

// A "Vm..." line of /proc/PID/status, in KiB.
long status_kib(int pid, const std::string& name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}

int connect_to(unsigned port, bool blocking)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS)
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    return fd;
}

void send_all(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            throw std::runtime_error(std::string("send: ") + std::strerror(errno));
        }
        sent += static_cast<std::size_t>(n);
    }
}

// Reads until the bytes end with the terminator; false when the server
// closed first.
bool read_until(int fd, std::string& buffer, const std::string& terminator)
{
    char chunk[65536];
    for (;;) {
        if (buffer.size() >= terminator.size() &&
            buffer.compare(buffer.size() - terminator.size(), terminator.size(), terminator) == 0)
            return true;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

bool ask_options(int fd)
{
    send_all(fd, options_query);
    std::string answer;
    return read_until(fd, answer, "\r\n\r\n") && answer.rfind("ICAP/1.0 200 ", 0) == 0;
}

// Client threads, one per connection, that each ask one query after the
// other until stopped.
class load_t {
public:
    load_t(unsigned port, int connections, std::function<bool(int fd)> ask) : ask_(std::move(ask))
    {
        for (int i = 0; i < connections; ++i)
            fds_.push_back(connect_to(port, true));
        for (int fd : fds_)
            threads_.emplace_back([this, fd] {
                while (!stop_) {
                    if (ask_(fd))
                        ++answered_;
                    else
                        ++failed_;
                }
            });
    }
    ~load_t()
    {
        stop_ = true;
        for (auto& thread : threads_)
            thread.join();
        for (int fd : fds_)
            ::close(fd);
    }

    long answered() const { return answered_; }
    long failed() const { return failed_; }

private:
    const std::function<bool(int fd)> ask_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0};
    std::atomic<long> failed_{0};
};

const std::string http_request_head = "GET http://www.example.com/index.html HTTP/1.1\r\nHost: www.example.com\r\n"
                                      "Accept: */*\r\nUser-Agent: bench\r\n\r\n";
const std::string http_response_head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                       "Content-Length: 10240\r\n\r\n";

// One query, sent in two parts when it has a preview: the second part goes
// after "100 Continue".
struct query_t {
    std::string first;
    std::string rest;
};

// The preview the server takes (the Preview field of its OPTIONS answer),
// at most 1024 bytes.
std::size_t offered_preview(unsigned port)
{
    const int fd = connect_to(port, true);
    send_all(fd, options_query);
    std::string answer;
    read_until(fd, answer, "\r\n\r\n");
    ::close(fd);
    const std::size_t field = answer.find("\r\nPreview: ");
    if (field == std::string::npos)
        return 0;
    return std::min<std::size_t>(1024, std::stoul(answer.substr(field + 11)));
}

query_t make_query(const std::string& path, unsigned port)
{
    if (path == "reqmod-204")
        return {"REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n"
                "Encapsulated: req-hdr=0, null-body=" +
                    std::to_string(http_request_head.size()) + "\r\n\r\n" + http_request_head,
                ""};
    const std::string encapsulated =
        "Encapsulated: res-hdr=0, res-body=" + std::to_string(http_response_head.size()) + "\r\n\r\n";
    if (path == "respmod-10k")
        return {"RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n" + encapsulated + http_response_head +
                    "2800\r\n" + std::string(10240, 'x') + "\r\n0\r\n\r\n",
                ""};
    if (path == "respmod-10k-preview") {
        const std::size_t preview = offered_preview(port);
        const auto chunk = [](std::size_t size) {
            std::ostringstream text;
            text << std::hex << size << "\r\n" << std::string(size, 'x') << "\r\n";
            return size == 0 ? std::string() : text.str();
        };
        return {"RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\nPreview: " +
                    std::to_string(preview) + "\r\n" + encapsulated + http_response_head + chunk(preview) + "0\r\n\r\n",
                chunk(10240 - preview) + "0\r\n\r\n"};
    }
    throw std::runtime_error("unknown query path " + path);
}

// Sends the query and reads its answer: a 2xx head, and the chunked body
// after it when the answer carries one.
bool ask(int fd, const query_t& query)
{
    send_all(fd, query.first);
    std::string answer;
    if (!read_until(fd, answer, "\r\n\r\n"))
        return false;
    if (answer.rfind("ICAP/1.0 100 ", 0) == 0) {
        send_all(fd, query.rest);
        answer.clear();
        if (!read_until(fd, answer, "\r\n\r\n"))
            return false;
    }
    if (answer.rfind("ICAP/1.0 204 ", 0) == 0)
        return true;
    if (answer.rfind("ICAP/1.0 200 ", 0) != 0)
        return false;
    if (answer.find("-body=") == std::string::npos)
        return true;
    return read_until(fd, answer, "\r\n0\r\n\r\n");
}

// Keeps the load running and prints what it did in the measured seconds.
int measure(const std::string& name, load_t& load, int pid, int connections, int seconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long answered_before = load.answered();
    const double cpu_before = bench::process_tree_cpu_seconds(pid);
    const auto start = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(clock_type::now() - start).count();
    const double cpu = bench::process_tree_cpu_seconds(pid) - cpu_before;
    const long answered = load.answered() - answered_before;
    std::printf("%s connections=%d requests=%ld failed=%ld per_s=%.0f server_cpu_s=%.2f per_cpu_s=%.0f\n", name.c_str(),
                connections, answered, load.failed(), static_cast<double>(answered) / wall, cpu,
                cpu > 0 ? static_cast<double>(answered) / cpu : 0.0);
    return load.failed() == 0 ? 0 : 1;
}

int query(const std::string& path, unsigned port, int pid, int connections, int seconds)
{
    const query_t made = make_query(path, port);
    load_t load(port, connections, [made](int fd) { return ask(fd, made); });
    return measure(path, load, pid, connections, seconds);
}

int options(unsigned port, int pid, int connections, int seconds)
{
    load_t load(port, connections, ask_options);
    return measure("options", load, pid, connections, seconds);
}

int burst(unsigned port, int pid, int busy, int fresh)
{
    load_t load(port, busy, ask_options);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu_before = bench::process_tree_cpu_seconds(pid);
    struct client_t {
        int fd;
        bool sent = false;
        std::string answer;
        double answered_after = -1;
    };
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<client_t> clients;
    clients.reserve(static_cast<std::size_t>(fresh));
    const auto start = clock_type::now();
    for (int i = 0; i < fresh; ++i) {
        clients.push_back(client_t{connect_to(port, false), false, std::string(), -1});
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(i);
        ::epoll_ctl(poller, EPOLL_CTL_ADD, clients.back().fd, &event);
    }
    int done = 0;
    int failed = 0;
    std::vector<epoll_event> events(1024);
    const auto limit = start + std::chrono::seconds(60);
    while (done + failed < fresh && clock_type::now() < limit) {
        const int n = ::epoll_wait(poller, events.data(), static_cast<int>(events.size()), 100);
        for (int k = 0; k < n; ++k) {
            client_t& client = clients[events[static_cast<std::size_t>(k)].data.u32];
            if (client.answered_after >= 0)
                continue;
            if (!client.sent && (events[static_cast<std::size_t>(k)].events & EPOLLOUT)) {
                if (::send(client.fd, options_query.data(), options_query.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(options_query.size())) {
                    ++failed;
                    client.answered_after = 0;
                    continue;
                }
                client.sent = true;
                epoll_event event{};
                event.events = EPOLLIN;
                event.data.u32 = events[static_cast<std::size_t>(k)].data.u32;
                ::epoll_ctl(poller, EPOLL_CTL_MOD, client.fd, &event);
            }
            char chunk[4096];
            const ssize_t got = ::recv(client.fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                ++failed;
                client.answered_after = 0;
                continue;
            }
            if (got > 0)
                client.answer.append(chunk, static_cast<std::size_t>(got));
            if (client.answer.find("\r\n\r\n") != std::string::npos) {
                client.answered_after = std::chrono::duration<double>(clock_type::now() - start).count();
                if (client.answer.rfind("ICAP/1.0 200 ", 0) == 0)
                    ++done;
                else
                    ++failed;
            }
        }
    }
    const double all = std::chrono::duration<double>(clock_type::now() - start).count();
    const double cpu = bench::process_tree_cpu_seconds(pid) - cpu_before;
    std::vector<double> times;
    for (const auto& client : clients)
        if (client.answered_after > 0)
            times.push_back(client.answered_after);
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return times.empty() ? 0.0 : times[static_cast<std::size_t>(q * static_cast<double>(times.size() - 1))];
    };
    std::printf("burst busy=%d new=%d answered=%d failed=%d busy_failed=%ld all_within_s=%.3f "
                "median_s=%.3f p99_s=%.3f max_s=%.3f server_cpu_s=%.2f\n",
                busy, fresh, done, failed, load.failed(), all, at(0.5), at(0.99), at(1.0), cpu);
    for (const auto& client : clients)
        ::close(client.fd);
    ::close(poller);
    return done == fresh ? 0 : 1;
}

int idle(unsigned port, int pid, int connections)
{
    const long before = status_kib(pid, "VmRSS");
    std::vector<int> fds;
    fds.reserve(static_cast<std::size_t>(connections));
    int failed = 0;
    for (int i = 0; i < connections; ++i) {
        fds.push_back(connect_to(port, true));
        if (!ask_options(fds.back()))
            ++failed;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long held = status_kib(pid, "VmRSS");
    for (int fd : fds)
        ::close(fd);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long after = status_kib(pid, "VmRSS");
    std::printf("idle connections=%d failed=%d rss_before_kib=%ld rss_held_kib=%ld per_connection_bytes=%.0f "
                "rss_after_close_kib=%ld\n",
                connections, failed, before, held,
                static_cast<double>(held - before) * 1024.0 / static_cast<double>(connections), after);
    return failed == 0 ? 0 : 1;
}

int respmod(unsigned port, int pid, long megabytes)
{
    const long peak_before = status_kib(pid, "VmHWM");
    const long rss_before = status_kib(pid, "VmRSS");
    const int fd = connect_to(port, true);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    const std::string query = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n"
                              "Encapsulated: res-hdr=0, res-body=" +
                              std::to_string(head.size()) + "\r\n\r\n" + head;
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        send_all(fd, query);
        const std::string piece(65536, 'x');
        std::ostringstream size;
        size << std::hex << piece.size() << "\r\n";
        const std::string chunk = size.str() + piece + "\r\n";
        for (long i = 0; i < megabytes * 16; ++i)
            send_all(fd, chunk);
        send_all(fd, "0\r\n\r\n");
        sent = true;
    });
    std::string answer;
    long received = 0;
    char buffer[65536];
    std::string tail;
    const auto start = clock_type::now();
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        received += n;
        tail.append(buffer, static_cast<std::size_t>(n));
        if (answer.size() < 64)
            answer.append(buffer, static_cast<std::size_t>(std::min<ssize_t>(n, 64)));
        if (tail.size() > 16)
            tail.erase(0, tail.size() - 16);
        if (sent && tail.size() >= 7 && tail.compare(tail.size() - 7, 7, "\r\n0\r\n\r\n") == 0)
            break;
    }
    sender.join();
    ::close(fd);
    const double wall = std::chrono::duration<double>(clock_type::now() - start).count();
    std::printf("respmod megabytes=%ld answer='%s' received_bytes=%ld wall_s=%.2f rss_before_kib=%ld "
                "peak_before_kib=%ld peak_after_kib=%ld rss_after_kib=%ld\n",
                megabytes, answer.substr(0, answer.find('\r')).c_str(), received, wall, rss_before, peak_before,
                status_kib(pid, "VmHWM"), status_kib(pid, "VmRSS"));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "query" && argc == 7) {
        try {
            return query(argv[2], static_cast<unsigned>(std::atoi(argv[3])), std::atoi(argv[4]), std::atoi(argv[5]),
                         std::atoi(argv[6]));
        } catch (const std::exception& e) {
            std::cerr << e.what() << '\n';
            return 1;
        }
    }
    if (argc != 5 && argc != 6) {
        std::cerr << "usage: " << argv[0]
                  << " options PORT PID CONNECTIONS SECONDS | query PATH PORT PID CONNECTIONS SECONDS"
                     " | burst PORT PID BUSY NEW | idle PORT PID CONNECTIONS | respmod PORT PID MEGABYTES\n";
        return 2;
    }
    const unsigned port = static_cast<unsigned>(std::atoi(argv[2]));
    const int pid = std::atoi(argv[3]);
    const int n = std::atoi(argv[4]);
    try {
        if (mode == "options" && argc == 6)
            return options(port, pid, n, std::atoi(argv[5]));
        if (mode == "burst" && argc == 6)
            return burst(port, pid, n, std::atoi(argv[5]));
        if (mode == "idle")
            return idle(port, pid, n);
        if (mode == "respmod")
            return respmod(port, pid, n);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    std::cerr << "unknown mode " << mode << '\n';
    return 2;
}
