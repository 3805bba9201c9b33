#include "bench/load_generator.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

#include "bench/icap_answer_reader.hpp"

namespace bench {

namespace {

using clock_t_ = std::chrono::steady_clock;

constexpr std::size_t max_error_samples = 5;
constexpr int poll_ms = 50;

std::system_error system_failure(const char* what)
{
    return std::system_error(errno, std::generic_category(), what);
}

} // namespace

std::uint32_t load_result_t::percentile_us(double p) const
{
    if (latencies_us.empty())
        return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(latencies_us.size())));
    return latencies_us[std::min(latencies_us.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// One thread's connections and its epoll loop.
class load_generator_t::worker_t {
public:
    worker_t(load_generator_t& owner, int connections) : owner_(owner), path_(owner.path_), connections_(connections)
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0)
            throw system_failure("epoll_create1");
        for (auto& connection : connections_)
            if (!open(connection))
                throw std::system_error(errno, std::generic_category(),
                                        "connect to 127.0.0.1:" + std::to_string(owner_.options_.port));
    }

    ~worker_t()
    {
        for (auto& connection : connections_)
            if (connection.fd >= 0)
                ::close(connection.fd);
        ::close(epoll_);
    }

    void run()
    {
        for (auto& connection : connections_)
            send_next(connection);
        std::array<epoll_event, 64> events{};
        auto next_check = clock_t_::now();
        while (!owner_.stopping_.load(std::memory_order_relaxed)) {
            const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), poll_ms);
            for (int i = 0; i < n; ++i)
                progress(*static_cast<connection_t*>(events[i].data.ptr));
            const auto now = clock_t_::now();
            if (now >= next_check) {
                check_limits(now);
                next_check = now + std::chrono::milliseconds(poll_ms);
            }
            if (owner_.options_.count != 0 &&
                std::none_of(connections_.begin(), connections_.end(), [](const auto& c) { return c.busy; }))
                return;
        }
    }

    load_result_t& result() { return result_; }

private:
    struct connection_t {
        int fd = -1;
        bool busy = false;
        // Sending the rest after "100 Continue".
        bool continued = false;
        const std::string* out = nullptr;
        std::size_t sent = 0;
        clock_t_::time_point started;
        icap_answer_reader_t reader;
    };

    bool open(connection_t& connection)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(owner_.options_.port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.ptr = &connection;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ||
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        connection.fd = fd;
        return true;
    }

    void close(connection_t& connection)
    {
        if (connection.fd >= 0)
            ::close(connection.fd);
        connection.fd = -1;
        connection.busy = false;
    }

    void send_next(connection_t& connection)
    {
        if (owner_.stopping_.load(std::memory_order_relaxed))
            return;
        if (owner_.options_.count != 0 && owner_.to_send_.fetch_sub(1, std::memory_order_relaxed) <= 0)
            return;
        if (connection.fd < 0 && !open(connection)) {
            // Tried again at the next check of the limits, not here: a
            // server that is gone would otherwise be asked in a tight loop.
            count_error(std::string("connect: ") + std::strerror(errno));
            return;
        }
        connection.busy = true;
        connection.continued = false;
        connection.out = &path_.first;
        connection.sent = 0;
        connection.started = clock_t_::now();
        connection.reader.reset(path_.body);
        progress(connection);
    }

    void progress(connection_t& connection)
    {
        while (connection.fd >= 0 && connection.busy && write(connection) && read(connection)) {
        }
    }

    // Sends what the socket takes; false when the query failed.
    bool write(connection_t& connection)
    {
        while (connection.sent < connection.out->size()) {
            const ssize_t n = ::send(connection.fd, connection.out->data() + connection.sent,
                                     connection.out->size() - connection.sent, MSG_NOSIGNAL);
            if (n > 0)
                connection.sent += static_cast<std::size_t>(n);
            else if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            else if (errno != EINTR) {
                error(connection, std::string("send: ") + std::strerror(errno));
                return false;
            }
        }
        return true;
    }

    // Reads what has arrived, even while the query is still being sent: a
    // server may answer a large body while it takes it, and waits when
    // nobody reads. True when the query has more to send right away (the
    // rest after "100 Continue").
    bool read(connection_t& connection)
    {
        for (;;) {
            const ssize_t n = ::recv(connection.fd, buffer_.data(), buffer_.size(), 0);
            if (n > 0) {
                const int fd = connection.fd;
                take(connection, std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
                // Answered and the next query driven already, or closed.
                if (connection.fd != fd || !connection.busy)
                    return false;
                if (connection.sent < connection.out->size())
                    return true;
            } else if (n == 0) {
                error(connection, "the server closed the connection");
                return false;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return false;
            } else if (errno != EINTR) {
                error(connection, std::string("recv: ") + std::strerror(errno));
                return false;
            }
        }
    }

    void take(connection_t& connection, std::string_view piece)
    {
        while (!piece.empty() || connection.reader.complete()) {
            piece.remove_prefix(connection.reader.consume(piece));
            if (connection.reader.failed()) {
                error(connection, connection.reader.failure());
                return;
            }
            if (!connection.reader.complete())
                return;
            const unsigned status = connection.reader.status();
            if (status == 100 && !connection.continued && !path_.rest.empty() &&
                connection.sent == connection.out->size()) {
                connection.continued = true;
                connection.out = &path_.rest;
                connection.sent = 0;
                connection.reader.reset(path_.body);
                continue;
            }
            finish(connection, !piece.empty());
            return;
        }
    }

    // A final answer is whole.
    void finish(connection_t& connection, bool bytes_after)
    {
        const auto& reader = connection.reader;
        std::optional<std::string> wrong;
        if (connection.sent < connection.out->size())
            wrong = "status " + std::to_string(reader.status()) + " before the whole query was sent";
        else if (bytes_after)
            wrong = "bytes after the answer";
        else
            wrong = path_.judge(reader.status(), reader.has_body(), reader.body_matches());
        if (wrong) {
            error(connection, *wrong);
            return;
        }
        if (owner_.counting_.load(std::memory_order_relaxed)) {
            ++result_.requests;
            ++result_.statuses[reader.status()];
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::microseconds>(clock_t_::now() - connection.started).count();
            result_.latencies_us.push_back(
                static_cast<std::uint32_t>(std::min<long long>(elapsed, std::numeric_limits<std::uint32_t>::max())));
        }
        connection.busy = false;
        if (reader.closes()) {
            ++result_.reconnects;
            close(connection);
        }
        send_next(connection);
    }

    // The query failed: counted, its connection closed, and the next query
    // sent on a new one.
    void error(connection_t& connection, const std::string& why)
    {
        count_error(why);
        close(connection);
        send_next(connection);
    }

    void count_error(const std::string& why)
    {
        ++result_.errors;
        if (result_.error_samples.size() < max_error_samples)
            result_.error_samples.push_back(path_.name + ": " + why);
    }

    void check_limits(clock_t_::time_point now)
    {
        for (auto& connection : connections_) {
            if (connection.busy && now - connection.started > owner_.options_.query_limit)
                error(connection, "no answer within " + std::to_string(owner_.options_.query_limit.count()) + " ms");
            else if (connection.fd < 0 && !connection.busy && owner_.options_.count == 0)
                send_next(connection);
        }
    }

    load_generator_t& owner_;
    const load_path_t& path_;
    std::vector<connection_t> connections_;
    int epoll_ = -1;
    std::array<char, 256 * 1024> buffer_{};
    load_result_t result_;
};

load_generator_t::load_generator_t(const load_path_t& path, const load_options_t& options)
    : path_(path), options_(options), to_send_(static_cast<std::int64_t>(options.count))
{
    const int threads = std::max(1, std::min(options.threads, options.connections));
    for (int t = 0; t < threads; ++t)
        workers_.push_back(
            std::make_unique<worker_t>(*this, options.connections / threads + (t < options.connections % threads)));
}

load_generator_t::~load_generator_t()
{
    stopping_ = true;
    for (auto& thread : threads_)
        if (thread.joinable())
            thread.join();
}

void load_generator_t::start()
{
    for (auto& worker : workers_)
        threads_.emplace_back([&worker] { worker->run(); });
}

void load_generator_t::open_window()
{
    counting_ = true;
}

void load_generator_t::close_window()
{
    counting_ = false;
}

void load_generator_t::wait()
{
    for (auto& thread : threads_)
        thread.join();
}

load_result_t load_generator_t::stop()
{
    stopping_ = true;
    for (auto& thread : threads_)
        if (thread.joinable())
            thread.join();
    load_result_t total;
    for (auto& worker : workers_) {
        load_result_t& part = worker->result();
        total.requests += part.requests;
        total.errors += part.errors;
        total.reconnects += part.reconnects;
        for (const auto& [status, n] : part.statuses)
            total.statuses[status] += n;
        total.latencies_us.insert(total.latencies_us.end(), part.latencies_us.begin(), part.latencies_us.end());
        for (auto& sample : part.error_samples)
            if (total.error_samples.size() < max_error_samples)
                total.error_samples.push_back(std::move(sample));
    }
    std::sort(total.latencies_us.begin(), total.latencies_us.end());
    return total;
}

} // namespace bench
