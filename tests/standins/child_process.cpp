#include "standins/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

extern char** environ;

namespace standin {

pid_t spawn_process(const spawn_request_t& request)
{
    // Everything the child needs is built before the fork: between fork and
    // exec only async-signal-safe calls are made.
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (request.environment.count(text.substr(0, text.find('='))) == 0)
            variables.push_back(text);
    }
    for (const auto& [name, value] : request.environment)
        if (value)
            variables.push_back(name + "=" + *value);

    std::vector<std::string> argument_texts{request.binary};
    argument_texts.insert(argument_texts.end(), request.arguments.begin(), request.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argument_texts)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);

    // Source and target numbers may overlap, so every source is first moved
    // above all of them.
    int highest = 2;
    for (const auto& [target, source] : request.descriptors)
        highest = std::max({highest, target, source});
    std::vector<std::pair<int, int>> moves(request.descriptors.begin(), request.descriptors.end());

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (pid > 0)
        return pid;

    // The child starts as a fresh daemon would: its own process group, so
    // that a terminal's Ctrl-C reaches only whoever started it, no blocked
    // signals and the default actions of the signals the daemon handles.
    ::setpgid(0, 0);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int number : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
        ::signal(number, SIG_DFL);
    for (auto& [target, source] : moves) {
        source = ::fcntl(source, F_DUPFD_CLOEXEC, highest + 1);
        if (source < 0)
            ::_exit(127);
    }
    for (const auto& [target, source] : moves)
        if (::dup2(source, target) < 0)
            ::_exit(127);
    if (request.descriptor_limit) {
        const rlimit limit{*request.descriptor_limit, *request.descriptor_limit};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(127);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

int decode_wait_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace standin
