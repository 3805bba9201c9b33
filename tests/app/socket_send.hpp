#pragma once

#include <sys/socket.h>

#include <stdexcept>
#include <string>

namespace test_socket {

// Writes every byte to a connected socket; throws when the peer is gone.
inline void send_all(int fd, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send");
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace test_socket
