#pragma once

// Test support for the logger: an output that keeps what it receives, the
// capture of a descriptor, and a child process whose exit-time actions and
// standard error can be watched.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/log.hpp"

namespace log_capture {

struct record_t {
    int level;
    std::string text;
    bool operator==(const record_t&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const record_t& r)
{
    return os << "{" << r.level << ", \"" << r.text << "\"}";
}

// Keeps every record it is given.
class recording_log_t : public cf_log_t {
public:
    recording_log_t() : cf_log_t(nullptr, nullptr) {}
    void open() override {}
    void write(int level, const std::string& text) override { records.push_back({level, text}); }
    void write_raw(const std::string& tag, int number, const std::string& text) override
    {
        records.push_back({-1, cf_format_tagged_text(tag, number, text)});
    }
    void write_out_of_memory() override { records.push_back({-2, "out of memory"}); }

    std::vector<record_t> records;
};

// Reads what is available on a non-blocking descriptor, waiting at most
// `wait` for the first bytes and until the writer closes or goes quiet.
inline std::string drain(int fd, std::chrono::milliseconds wait = std::chrono::milliseconds(2000))
{
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready <= 0)
            return data;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return data;
        data.append(chunk, static_cast<std::size_t>(n));
    }
}

// A pipe whose descriptors close with it.
struct pipe_t {
    int read_end = -1;
    int write_end = -1;
    pipe_t()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2");
        read_end = fds[0];
        write_end = fds[1];
    }
    ~pipe_t()
    {
        close_write();
        if (read_end >= 0)
            ::close(read_end);
    }
    pipe_t(const pipe_t&) = delete;
    pipe_t& operator=(const pipe_t&) = delete;
    void close_write()
    {
        if (write_end >= 0)
            ::close(write_end);
        write_end = -1;
    }
    // Everything written so far, without waiting for more.
    std::string available() const { return drain(read_end, std::chrono::milliseconds(0)); }
};

// Sends a descriptor (2 by default) into a pipe while it lives.
class fd_capture_t {
public:
    explicit fd_capture_t(int fd = 2) : fd_(fd), saved_(::dup(fd))
    {
        std::fflush(nullptr);
        ::dup2(pipe_.write_end, fd_);
    }
    ~fd_capture_t() { restore(); }
    fd_capture_t(const fd_capture_t&) = delete;
    fd_capture_t& operator=(const fd_capture_t&) = delete;

    // Restores the descriptor and returns what was written to it.
    std::string finish()
    {
        restore();
        return pipe_.available();
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }

    int fd_;
    pipe_t pipe_;
    int saved_;
};

struct child_result_t {
    int exit_status = -1;
    std::string error_output;
};

// Runs body in a forked child whose descriptor 2 is a pipe, then ends the
// child with exit(0), so that exit-time actions run. A body that throws ends
// the child with 3. Waits at most 10 seconds for the child.
inline child_result_t run_in_child(const std::function<void()>& body)
{
    std::fflush(nullptr);
    pipe_t errors;
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(errors.write_end, 2);
        try {
            body();
        } catch (...) {
            std::_Exit(3);
        }
        std::exit(0);
    }
    errors.close_write();
    child_result_t result;
    result.error_output = drain(errors.read_end, std::chrono::milliseconds(10000));
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return result;
        }
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return result;
}

} // namespace log_capture
