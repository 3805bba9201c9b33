#pragma once

// A blocking ICAP client for the tests: a TCP connection to 127.0.0.1 whose
// reads are bounded in time, and a reader of whole answers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "app/socket_send.hpp"

namespace test_icap {

class client_t {
public:
    explicit client_t(unsigned port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<unsigned short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect");
    }
    ~client_t()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    client_t(const client_t&) = delete;
    client_t& operator=(const client_t&) = delete;

    void send(const std::string& bytes) const { test_socket::send_all(fd_, bytes); }

    void shutdown_send() const { ::shutdown(fd_, SHUT_WR); }

    // Reads until the text holds a whole ICAP head (answers here carry no
    // body), the peer closes or the limit passes; pump runs between polls.
    std::string read_head(const std::function<void()>& pump,
                          std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto end = buffered_.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string head = buffered_.substr(0, end + 4);
                buffered_.erase(0, end + 4);
                return head;
            }
            if (closed_ || std::chrono::steady_clock::now() >= deadline)
                return std::string();
            read_some(pump);
        }
    }

    // True when the server closed (end of stream) with nothing more sent.
    bool closed_without_data(const std::function<void()>& pump,
                             std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!closed_ && std::chrono::steady_clock::now() < deadline)
            read_some(pump);
        return closed_ && buffered_.empty();
    }

private:
    void read_some(const std::function<void()>& pump)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) {
            pump();
            return;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            closed_ = true;
        else
            buffered_.append(chunk, static_cast<std::size_t>(n));
    }

    int fd_ = -1;
    std::string buffered_;
    bool closed_ = false;
};

} // namespace test_icap
