#pragma once

// Starting a program as a child process with a chosen environment and a few
// inherited descriptors, for the stand-ins that run the real daemon.

#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace standin {

struct spawn_request_t {
    std::string binary;
    std::vector<std::string> arguments;
    // Variables to set (a value) or to remove (nothing); every other
    // variable of this process is passed on unchanged.
    std::map<std::string, std::optional<std::string>> environment;
    // Descriptors the child gets: child number -> descriptor in this
    // process. Everything else this process opened with O_CLOEXEC stays out.
    std::map<int, int> descriptors;
    // The child's limit on open descriptors (soft and hard), set just
    // before exec; nothing keeps this process's.
    std::optional<rlim_t> descriptor_limit;
};

// Forks and executes the request; returns the child's pid. Throws
// std::system_error when the fork fails; a failing exec ends the child
// with status 127.
pid_t spawn_process(const spawn_request_t& request);

// Decodes a waitpid status: the exit status, or 128 + the signal number
// for a child killed by a signal.
int decode_wait_status(int status);

} // namespace standin
