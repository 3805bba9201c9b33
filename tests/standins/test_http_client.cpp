#include "standins/http_client.hpp"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// A proxy on loopback that plays a script: for each connection it accepts,
// the texts it sends back, one per request it reads; after the last text of
// a connection it closes that connection.
class scripted_proxy_t {
public:
    explicit scripted_proxy_t(std::vector<std::vector<std::string>> connections)
        : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
          thread_([this, connections = std::move(connections)] { serve(connections); })
    {
    }
    ~scripted_proxy_t()
    {
        // A connection of its own wakes an accept that waits for a
        // connection the client never made.
        stopping_ = true;
        tcp::socket waker(io_);
        boost::system::error_code ignored;
        waker.connect(tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port())), ignored);
        thread_.join();
    }

    unsigned port() const { return acceptor_.local_endpoint().port(); }

private:
    void serve(const std::vector<std::vector<std::string>>& connections)
    {
        for (const auto& answers : connections) {
            tcp::socket socket(io_);
            boost::system::error_code ec;
            acceptor_.accept(socket, ec);
            if (ec || stopping_)
                return;
            asio::streambuf in;
            for (const auto& answer : answers) {
                const std::size_t head = asio::read_until(socket, in, "\r\n\r\n", ec);
                if (ec)
                    break;
                in.consume(head);
                asio::write(socket, asio::buffer(answer), ec);
            }
        }
    }

    std::atomic<bool> stopping_{false};
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::thread thread_;
};

std::string page(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct retry_case_t {
    const char* name;
    std::vector<std::vector<std::string>> connections;
    // The bodies of the two GETs; empty where the GET must throw.
    std::string first;
    std::string second;
};

class http_client_retry : public testing::TestWithParam<retry_case_t> {};

TEST_P(http_client_retry, sends_again_only_what_a_kept_connection_lost_before_any_answer)
{
    const auto& c = GetParam();
    scripted_proxy_t proxy(c.connections);
    standin::http_client_t client(proxy.port());
    for (const auto& expected : {c.first, c.second}) {
        if (expected.empty())
            EXPECT_ANY_THROW(client.get("http://origin.test/page", std::chrono::seconds(5)));
        else
            EXPECT_EQ(client.get("http://origin.test/page", std::chrono::seconds(5)).body, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, http_client_retry,
    testing::Values(
        // The kept connection closes as the second request arrives: sent again.
        retry_case_t{"kept_closed", {{page("a")}, {page("b")}}, "a", "b"},
        // A fresh connection that closes without an answer is a failure.
        retry_case_t{"fresh_closed", {{}, {page("b")}}, "", "b"},
        // Part of a head came back on the kept connection: not sent again.
        retry_case_t{"kept_part_of_head", {{page("a"), "HTTP/1.1 2"}, {page("b")}}, "a", ""},
        // Sent again at most once: the new connection closes too.
        retry_case_t{"kept_closed_twice", {{page("a")}, {}}, "a", ""}),
    [](const testing::TestParamInfo<retry_case_t>& info) { return std::string(info.param.name); });

} // namespace
