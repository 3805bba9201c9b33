#pragma once

// Runs the built program as a child process with a chosen environment and
// collects its standard output and error; every wait is bounded.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "standins/child_process.hpp"

namespace test_daemon {

class process_t {
public:
    // Starts the program with the arguments; `environment` entries replace
    // or add variables, and a variable mapped to nothing is removed.
    process_t(const std::vector<std::string>& arguments,
              const std::map<std::string, std::optional<std::string>>& environment)
    {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2");
        pid_ = standin::spawn_process({TRAXD_BINARY, arguments, environment, {{1, out[1]}, {2, err[1]}}});
        ::close(out[1]);
        ::close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
    }

    ~process_t()
    {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0)
            ::close(out_fd_);
        if (err_fd_ >= 0)
            ::close(err_fd_);
    }
    process_t(const process_t&) = delete;
    process_t& operator=(const process_t&) = delete;

    // The exit status (128 + signal when killed by one), or -1 when the
    // process is still running after the limit.
    int wait(std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (status_ < 0 && std::chrono::steady_clock::now() < deadline) {
            collect(20);
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = standin::decode_wait_status(status);
        }
        if (status_ >= 0)
            while (collect(0)) {
            }
        return status_;
    }

    // Reads what is available; true when something was read.
    bool collect(int wait_ms)
    {
        pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (::poll(p, 2, wait_ms) <= 0)
            return false;
        bool got = false;
        got |= drain(p[0], out_fd_, out);
        got |= drain(p[1], err_fd_, err);
        return got;
    }

    std::string out;
    std::string err;

private:
    static bool drain(const pollfd& p, int fd, std::string& into)
    {
        if (!(p.revents & (POLLIN | POLLHUP)))
            return false;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        into.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int status_ = -1;
};

} // namespace test_daemon
