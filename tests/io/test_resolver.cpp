#include "io/resolver.hpp"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "io/io_test.hpp"

namespace {

using namespace std::chrono_literals;
using boost::system::error_code;
using iterator_t = boost::asio::ip::basic_resolver_iterator<boost::asio::ip::tcp>;

struct resolved_t {
    std::vector<boost::asio::ip::tcp::endpoint> endpoints;
    error_code error;
    int calls = 0;
    bool inside_call = false;
};

class resolver_test : public ::testing::Test {
protected:
    std::shared_ptr<resolved_t> start(const std::string& host, unsigned short port, std::chrono::nanoseconds timeout)
    {
        auto result = std::make_shared<resolved_t>();
        auto returned = std::make_shared<bool>(false);
        io::async_resolve(context, host, port, timeout,
                          [result, returned](const iterator_t& it, const error_code& error) {
                              ++result->calls;
                              result->inside_call = !*returned;
                              result->error = error;
                              for (auto i = it; i != iterator_t(); ++i)
                                  result->endpoints.push_back(i->endpoint());
                          });
        *returned = true;
        return result;
    }

    // Runs until the loop has no work left: a timer left armed would keep it
    // busy for the whole time limit.
    void run_to_idle()
    {
        context.restart();
        context.run_for(20s);
    }

    boost::asio::io_context context;
};

TEST_F(resolver_test, localhost_resolves_to_loopback_with_the_port)
{
    for (auto timeout : {std::chrono::nanoseconds(0), std::chrono::nanoseconds(30s)}) {
        auto result = start("localhost", 8080, timeout);
        const auto began = std::chrono::steady_clock::now();
        run_to_idle();
        EXPECT_LT(std::chrono::steady_clock::now() - began, 15s) << "the time-out timer outlived the lookup";
        ASSERT_EQ(result->calls, 1);
        EXPECT_FALSE(result->inside_call);
        ASSERT_FALSE(result->error) << result->error.message();
        ASSERT_FALSE(result->endpoints.empty());
        for (const auto& endpoint : result->endpoints) {
            EXPECT_TRUE(endpoint.address().is_loopback()) << endpoint;
            EXPECT_EQ(endpoint.port(), 8080);
        }
    }
}

TEST_F(resolver_test, numeric_address_passes_through)
{
    auto result = start("127.0.0.1", 80, 5s);
    run_to_idle();
    ASSERT_EQ(result->calls, 1);
    ASSERT_EQ(result->endpoints.size(), 1u);
    EXPECT_EQ(result->endpoints[0], boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 80));
}

TEST_F(resolver_test, unknown_host_fails_with_an_empty_result)
{
    for (const auto& host : {io_test::unresolvable_host(), io_test::unresolvable_host("b\xc3\xbc"
                                                                                      "cher.")}) {
        auto result = start(host, 80, 10s);
        run_to_idle();
        ASSERT_EQ(result->calls, 1) << host;
        EXPECT_EQ(result->error, boost::asio::error::host_not_found) << host << ": " << result->error.message();
        EXPECT_TRUE(result->endpoints.empty());
    }
}

TEST_F(resolver_test, time_limit_withdraws_a_queued_lookup_and_completes_once)
{
    // Lookups run one after another on the resolver's one worker thread. A
    // long queue of lookups without limit keeps the worker busy while the
    // limit of the last one, already passed, withdraws it before the worker
    // reaches it. Every completion runs exactly once.
    std::vector<std::shared_ptr<resolved_t>> unlimited;
    for (int i = 0; i < 2000; ++i)
        unlimited.push_back(start("localhost", 80, 0ns));
    auto limited = start("localhost", 80, -1s);
    run_to_idle();
    ASSERT_EQ(limited->calls, 1);
    EXPECT_EQ(limited->error, boost::asio::error::operation_aborted) << limited->error.message();
    EXPECT_TRUE(limited->endpoints.empty());
    for (std::size_t i = 0; i < unlimited.size(); ++i) {
        ASSERT_EQ(unlimited[i]->calls, 1) << i;
        ASSERT_FALSE(unlimited[i]->error) << i << ": " << unlimited[i]->error.message();
        ASSERT_FALSE(unlimited[i]->endpoints.empty()) << i;
    }
}

// The names the resolver asks, answered "not found" without any lookup.
class asked_names_t {
public:
    asked_names_t() { io::resolve_lookup = record; }
    ~asked_names_t() { io::resolve_lookup = io::system_resolve_lookup; }
    asked_names_t(const asked_names_t&) = delete;
    asked_names_t& operator=(const asked_names_t&) = delete;

    static inline std::vector<std::pair<std::string, std::string>> names;

private:
    static void record(boost::asio::ip::tcp::resolver& resolver, const std::string& host, const std::string& service,
                       const io::lookup_handler_t& handler)
    {
        names.emplace_back(host, service);
        boost::asio::post(resolver.get_executor(), [handler] {
            handler(boost::asio::error::host_not_found, boost::asio::ip::tcp::resolver::results_type());
        });
    }
};

TEST_F(resolver_test, host_is_asked_in_its_ascii_form)
{
    struct case_t {
        std::string host;
        std::string asked;
    };
    const case_t cases[] = {
        {"b\xc3\xbc"
         "cher.example",
         "xn--bcher-kva.example"},
        {"www.\xe6\x97\xa5\xe6\x9c\xac.example", "www.xn--wgv71a.example"},
        {"plain.example", "plain.example"},
    };
    asked_names_t asked;
    for (const auto& c : cases) {
        asked.names.clear();
        auto result = start(c.host, 8080, 5s);
        run_to_idle();
        ASSERT_EQ(result->calls, 1) << c.asked;
        EXPECT_EQ(result->error, boost::asio::error::host_not_found) << c.asked;
        ASSERT_EQ(asked.names.size(), 1u) << c.asked;
        EXPECT_EQ(asked.names[0].first, c.asked);
        EXPECT_EQ(asked.names[0].second, "8080") << c.asked;
    }
}

TEST_F(resolver_test, executor_overload_completes_on_the_executor)
{
    auto result = std::make_shared<resolved_t>();
    io::async_resolve(boost::asio::any_io_executor(context.get_executor()), "localhost", 80,
                      [result](const iterator_t&, const error_code& error) {
                          ++result->calls;
                          result->error = error;
                      });
    run_to_idle();
    EXPECT_EQ(result->calls, 1);
    EXPECT_FALSE(result->error);
}

} // namespace
