// icap-floor: the least an ICAP server can do for the queries of
// scripts/bench's small paths, as a yardstick for the others. One thread,
// level-triggered epoll, one receive per readable connection and one send
// of every answer that receive completed; it answers OPTIONS with a fixed
// 200 and every REQMOD whose encapsulated part has no body with a fixed
// 204, and checks nothing else. What it does per CPU-second over loopback
// is what the kernel leaves to any single-threaded server on this machine.
//
//   icap-floor --port N
//
// It runs until killed. Any other query closes its connection.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

// About the size of a real server's OPTIONS answer.
constexpr std::string_view options_answer = "ICAP/1.0 200 OK\r\n"
                                            "Methods: REQMOD, RESPMOD\r\n"
                                            "Service: icap-floor\r\n"
                                            "ISTag: \"floor\"\r\n"
                                            "Encapsulated: null-body=0\r\n"
                                            "Max-Connections: 10000\r\n"
                                            "Options-TTL: 3600\r\n"
                                            "Allow: 204\r\n"
                                            "Preview: 0\r\n"
                                            "Transfer-Preview: *\r\n\r\n";

constexpr std::string_view no_content_answer = "ICAP/1.0 204 No Content\r\n"
                                               "ISTag: \"floor\"\r\n"
                                               "Encapsulated: null-body=0\r\n\r\n";

constexpr std::string_view head_end = "\r\n\r\n";

// Takes the complete queries at the front of input and appends their
// answers to output; false on a query it does not answer.
bool answer(std::string& input, std::string& output)
{
    std::size_t at = 0;
    for (;;) {
        const std::string_view rest = std::string_view(input).substr(at);
        const std::size_t end = rest.find(head_end);
        if (end == std::string_view::npos)
            break;
        const std::string_view head = rest.substr(0, end + head_end.size());
        if (head.starts_with("OPTIONS ")) {
            output += options_answer;
            at += head.size();
            continue;
        }
        const std::size_t field = head.find("null-body=");
        if (!head.starts_with("REQMOD ") || field == std::string_view::npos)
            return false;
        const std::size_t encapsulated = std::strtoul(head.data() + field + 10, nullptr, 10);
        if (rest.size() < head.size() + encapsulated)
            break;
        output += no_content_answer;
        at += head.size() + encapsulated;
    }
    input.erase(0, at);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3 || std::strcmp(argv[1], "--port") != 0) {
        std::fputs("usage: icap-floor --port N\n", stderr);
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        std::perror("icap-floor: listen");
        return 1;
    }
    const int poller = epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);

    std::unordered_map<int, std::string> pending;
    std::string output;
    static char block[65536];
    epoll_event ready[256];
    for (;;) {
        const int count = epoll_wait(poller, ready, 256, -1);
        if (count < 0 && errno != EINTR) {
            std::perror("icap-floor: epoll_wait");
            return 1;
        }
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                for (int client; (client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    event.data.fd = client;
                    epoll_ctl(poller, EPOLL_CTL_ADD, client, &event);
                }
                continue;
            }
            const ssize_t got = recv(fd, block, sizeof block, 0);
            if (got < 0 && errno == EAGAIN)
                continue;
            std::string& input = pending[fd];
            output.clear();
            if (got > 0)
                input.append(block, static_cast<std::size_t>(got));
            if (got <= 0 || !answer(input, output)) {
                pending.erase(fd);
                close(fd);
                continue;
            }
            if (!output.empty())
                send(fd, output.data(), output.size(), MSG_NOSIGNAL);
        }
    }
}
