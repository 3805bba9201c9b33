#include "lua/read_lines.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

namespace ox::lua::orvex {

namespace {

class descriptor_t {
public:
    explicit descriptor_t(int fd) : fd_(fd) {}
    ~descriptor_t() { ::close(fd_); }
    descriptor_t(const descriptor_t&) = delete;
    descriptor_t& operator=(const descriptor_t&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

[[noreturn]] void throw_errno(const std::string& what)
{
    throw boost::system::system_error(errno, boost::system::system_category(), what);
}

bool blank(const std::string& line)
{
    return std::all_of(line.begin(), line.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

void add_line(std::vector<std::string>& lines, std::string&& line)
{
    if (!blank(line))
        lines.push_back(std::move(line));
}

} // namespace

std::vector<std::string> read_lines(const std::string& path)
{
    // A NUL byte would cut the path short and open another file.
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        throw_errno("Cannot open " + path);
    }
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw_errno("Cannot open " + path);
    const descriptor_t file(fd);

    std::vector<std::string> lines;
    std::string line;
    char block[8192];
    for (;;) {
        const ssize_t got = ::read(file.get(), block, sizeof block);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("Cannot read " + path);
        }
        if (got == 0)
            break;
        for (ssize_t i = 0; i < got; ++i) {
            if (block[i] == '\n')
                add_line(lines, std::exchange(line, std::string()));
            else
                line += block[i];
        }
    }
    add_line(lines, std::move(line));
    return lines;
}

} // namespace ox::lua::orvex
