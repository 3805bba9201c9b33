#include "bench/process_cpu.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace bench {

namespace {

double process_cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may
    // hold spaces: state is field 3, utime 14 and stime 15.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stoull(field);
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace

double process_tree_cpu_seconds(pid_t pid)
{
    double total = process_cpu_seconds(pid);
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream children(task.path() / "children");
        pid_t child = 0;
        while (children >> child)
            total += process_tree_cpu_seconds(child);
    }
    return total;
}

} // namespace bench
