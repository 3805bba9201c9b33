#pragma once

// The PilotD end of the daemon's channel, for the tests: a socketpair whose
// other end the daemon adopts, and bounded reads and writes of whole frames.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "schemas/pilotd_traxd_ipc.pb.h"

#include "socket_send.hpp"

namespace test_pilotd {

class peer_t {
public:
    peer_t()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        own_ = fds[0];
        daemon_ = fds[1];
    }
    ~peer_t()
    {
        close_own();
        if (daemon_ >= 0)
            ::close(daemon_);
    }
    peer_t(const peer_t&) = delete;
    peer_t& operator=(const peer_t&) = delete;

    // The descriptor the daemon adopts.
    int daemon_end() const { return daemon_; }
    // Forget the daemon's end once the daemon owns it.
    void release_daemon_end() { daemon_ = -1; }
    void close_own()
    {
        if (own_ >= 0)
            ::close(own_);
        own_ = -1;
    }

    void send_raw(const std::string& bytes) const { test_socket::send_all(own_, bytes); }

    void send_frame(const std::string& body) const
    {
        const auto length = static_cast<std::uint32_t>(body.size());
        std::string frame(sizeof length, '\0');
        std::memcpy(frame.data(), &length, sizeof length);
        send_raw(frame + body);
    }

    void send(const ox::Pilotd2TRAXDMessage& message) const
    {
        std::string body;
        if (!message.SerializePartialToString(&body))
            throw std::runtime_error("serialize");
        send_frame(body);
    }

    // Reads one frame, calling pump (which may run the daemon's event loop)
    // while waiting; nothing when the time is up or the daemon closed.
    std::optional<ox::TRAXD2PilotdMessage> receive(
        const std::function<void()>& pump = [] { ::usleep(10000); },
        std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::uint32_t length = 0;
        if (!read_exactly(reinterpret_cast<char*>(&length), sizeof length, pump, deadline))
            return std::nullopt;
        std::string body(length, '\0');
        if (!read_exactly(body.data(), length, pump, deadline))
            return std::nullopt;
        ox::TRAXD2PilotdMessage message;
        if (!message.ParseFromString(body))
            throw std::runtime_error("daemon sent a message that does not parse");
        return message;
    }

    // Reads until a message with the tag arrives, skipping others (the
    // statistics come every second).
    std::optional<ox::TRAXD2PilotdMessage> receive_tag(
        ox::TRAXD2PilotdMessage::MessageTag tag, const std::function<void()>& pump = [] { ::usleep(10000); },
        std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            auto message = receive(pump, left);
            if (!message || message->tag() == tag)
                return message;
        }
    }

private:
    bool read_exactly(char* data, std::size_t size, const std::function<void()>& pump,
                      std::chrono::steady_clock::time_point deadline)
    {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::recv(own_, data + got, size - got, MSG_DONTWAIT);
            if (n == 0)
                return false;
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            pump();
        }
        return true;
    }

    int own_ = -1;
    int daemon_ = -1;
};

// A configuration the daemon accepts: the current user, a console log,
// templates under /tmp, a hook that lets everything pass and the given
// listen endpoint.
inline ox::TRAXDConfig usable_config(const std::string& address = "0.0.0.0", unsigned port = 0)
{
    ox::TRAXDConfig config;
    config.mutable_run_as_user()->set_uid(::getuid());
    config.mutable_actual_log()->set_type(ox::Log::STDERR);
    config.set_templates_dir("/tmp");
    config.mutable_message_hook()->set_buffer("function message_hook(t) return 'pass' end");
    config.mutable_listen_address()->set_address(address);
    config.mutable_listen_address()->set_port(port);
    return config;
}

inline ox::Pilotd2TRAXDMessage config_response(const ox::TRAXDConfig& config, std::uint32_t revision)
{
    ox::Pilotd2TRAXDMessage message;
    message.set_tag(ox::Pilotd2TRAXDMessage::GET_CONFIG_RESPONSE);
    message.set_config_revision(revision);
    message.mutable_config()->CopyFrom(config);
    return message;
}

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
inline unsigned free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("free_port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace test_pilotd
