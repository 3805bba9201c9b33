// The check engine with the hook's place taken by the test: verdicts turned
// into results, URL checks and body scans while Tagger and Vetter are
// unavailable, and results held back while a body scan still runs.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include "app/core/config_holder.hpp"
#include "app/inventory_fixture.hpp"
#include "clients/state_watcher.hpp"
#include "common/error_category.hpp"
#include "icap/check_engine.hpp"
#include "icap/hook_double.hpp"
#include "io/resolver.hpp"
#include "io/stream.hpp"
#include "protocol/protocol_error.hpp"
#include "schemas/error.pb.h"
#include "verdicts/template_dir.hpp"

namespace {

using result_t = ic::check_engine_t::result_t;

const std::string get_head = "GET http://www.example.com/a HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
const std::string response_head = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n";

struct outcome_t {
    std::optional<result_t> result;
    boost::system::error_code error;
    int calls = 0;

    ic::check_engine_t::result_callback_t callback()
    {
        return [this](const result_t& r, const boost::system::error_code& e) {
            result = r;
            error = e;
            ++calls;
        };
    }
};

class check_engine_test : public test_inventory::fixture_t {
protected:
    check_engine_test()
    {
        templates.add("en", "<p>blocked</p>");
        auto config = settings();
        config.set_templates_dir(templates.root().string());
        inventory->config_holder->apply(config);
    }

    ic::check_engine_t& engine() { return *inventory->check_engine; }

    // Runs one transaction with the test's decision; the outcome once the
    // loop has run.
    outcome_t process(const test_hook::decide_t& decide, const std::string& request_head,
                      const std::string& response = "", const io::http::param_map_t& fields = {},
                      const ic::context::body_getter_t& getter = {})
    {
        engine().run_hook = test_hook::runner(inventory->io_context, decide);
        outcome_t outcome;
        engine().process(fields, orx::buffer_t(request_head), orx::buffer_t(response), getter, outcome.callback());
        EXPECT_EQ(outcome.calls, 0) << "completed inside the call";
        run_until([&] { return outcome.calls != 0; });
        return outcome;
    }

    // The body's bytes as written.
    std::string wire(const std::shared_ptr<io::http::body_stream_t>& body)
    {
        std::string bytes;
        bool done = false;
        io::async_read_all(body, [&](const orx::buffer_t& data, const boost::system::error_code&) {
            bytes = std::string(data.data(), data.size());
            done = true;
        });
        run_until([&] { return done; });
        return bytes;
    }

    test_templates::template_dir_t templates;
};

TEST_F(check_engine_test, passing_message_keeps_its_own_head_and_the_body_read)
{
    const auto stream = io::http::body_stream_t::make_empty(inventory->io_context);
    io::icap::preview_t preview;
    preview.ieof = true;
    const auto pass = [&](ic::context::context_t&) { return std::make_shared<ic::allowed_t>(preview, stream); };

    const auto reqmod = process(pass, get_head);
    ASSERT_TRUE(reqmod.result);
    EXPECT_FALSE(reqmod.error);
    EXPECT_FALSE(reqmod.result->modified);
    EXPECT_TRUE(reqmod.result->icap_headers.empty());
    EXPECT_EQ(std::string(reqmod.result->request_head.data(), reqmod.result->request_head.size()), get_head);
    EXPECT_EQ(reqmod.result->response_head.size(), 0u);
    EXPECT_EQ(reqmod.result->body, stream);
    EXPECT_TRUE(reqmod.result->preview.ieof);
    EXPECT_EQ(reqmod.result->preview.body, preview.body);

    const auto respmod = process(pass, get_head, response_head);
    ASSERT_TRUE(respmod.result);
    EXPECT_EQ(respmod.result->request_head.size(), 0u);
    EXPECT_EQ(std::string(respmod.result->response_head.data(), respmod.result->response_head.size()), response_head);
}

TEST_F(check_engine_test, protocol_error_verdict_is_the_protocol_error)
{
    const auto outcome =
        process([](ic::context::context_t&) { return std::make_shared<ic::protocol_error_t>(); }, get_head);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(outcome.error, io::protocol_error);
    EXPECT_FALSE(outcome.result->modified);
    EXPECT_EQ(outcome.result->request_head.size() + outcome.result->response_head.size(), 0u);
    EXPECT_FALSE(outcome.result->body);
}

struct block_case_t {
    const char* name;
    std::string request_head;
    std::string templates;
    // The page as written, or the rewritten request head.
    std::string page;
    std::string rewrite;
};

ox::oxs::report_t black_list()
{
    ox::oxs::report_t report;
    report.categories = 0x20000000;
    return report;
}

class block_test : public check_engine_test, public testing::WithParamInterface<block_case_t> {};

// A block page goes out in chunked coding ending with the last chunk (also
// when the page is empty); a CONNECT is rewritten instead, without a body.
// The proxy's client fields reach the verdict before it answers.
TEST_P(block_test, answer_becomes_the_result)
{
    const auto& c = GetParam();
    templates.add("en", c.templates);
    std::shared_ptr<ic::blocked_url_t> verdict;
    io::http::param_map_t fields;
    fields.add("X-Client-IP", "192.0.2.1");
    fields.add("X-Client-Username", "alice");
    const auto outcome = process(
        [&](ic::context::context_t& context) {
            verdict = std::make_shared<ic::blocked_url_t>(*inventory, context.request_url(), false, black_list());
            return verdict;
        },
        c.request_head, "", fields);
    ASSERT_TRUE(outcome.result);
    EXPECT_FALSE(outcome.error);
    EXPECT_TRUE(outcome.result->modified);
    EXPECT_EQ(outcome.result->icap_headers,
              (std::vector<std::pair<std::string, std::string>>{{"X-Response-Info", "Blocked"}}));
    EXPECT_EQ(verdict->client_ip, "192.0.2.1");
    EXPECT_EQ(verdict->client_user, "alice");
    if (c.rewrite.empty()) {
        EXPECT_EQ(outcome.result->request_head.size(), 0u);
        const std::string head(outcome.result->response_head.data(), outcome.result->response_head.size());
        EXPECT_EQ(head.find(" 403 "), 8u) << head;
        ASSERT_TRUE(outcome.result->body);
        EXPECT_EQ(wire(outcome.result->body), c.page);
    } else {
        EXPECT_EQ(std::string(outcome.result->request_head.data(), outcome.result->request_head.size()), c.rewrite);
        EXPECT_EQ(outcome.result->response_head.size(), 0u);
        EXPECT_FALSE(outcome.result->body);
    }
}

INSTANTIATE_TEST_SUITE_P(cases, block_test,
                         testing::Values(block_case_t{"page", get_head, "<p>blocked</p>",
                                                      "e\r\n<p>blocked</p>\r\n0\r\n\r\n", ""},
                                         block_case_t{"empty_page", get_head, "", "0\r\n\r\n", ""},
                                         block_case_t{"connect",
                                                      "CONNECT www.example.com:443 HTTP/1.1\r\n"
                                                      "Host: www.example.com:443\r\n\r\n",
                                                      "<p>blocked</p>", "",
                                                      "CONNECT www.example.com.orvex.invalid.:443 HTTP/1.1\r\n"
                                                      "Host: www.example.com.orvex.invalid.:443\r\n\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The names the resolver is asked for, answered from a table without any
// lookup.
class fake_lookup_t {
public:
    explicit fake_lookup_t(std::optional<boost::asio::ip::address> address)
    {
        answer = address;
        asked.clear();
        io::resolve_lookup = lookup;
    }
    ~fake_lookup_t() { io::resolve_lookup = io::system_resolve_lookup; }
    fake_lookup_t(const fake_lookup_t&) = delete;
    fake_lookup_t& operator=(const fake_lookup_t&) = delete;

    static inline std::optional<boost::asio::ip::address> answer;
    static inline std::vector<std::pair<std::string, std::string>> asked;

private:
    static void lookup(boost::asio::ip::tcp::resolver& resolver, const std::string& host, const std::string& service,
                       const io::lookup_handler_t& handler)
    {
        asked.emplace_back(host, service);
        boost::asio::post(resolver.get_executor(), [handler, host, service] {
            if (answer)
                handler({}, boost::asio::ip::tcp::resolver::results_type::create(
                                boost::asio::ip::tcp::endpoint(*answer, 80), host, service));
            else
                handler(boost::asio::error::host_not_found, {});
        });
    }
};

struct url_case_t {
    const char* name;
    std::string request_head;
    std::string server_ip;
    std::optional<boost::asio::ip::address> resolves_to;
    // The URL's addresses once checked; the names asked.
    std::vector<std::string> addresses;
    std::vector<std::pair<std::string, std::string>> asked;
    ox::ErrorCode error;
};

class url_check_test : public check_engine_test, public testing::WithParamInterface<url_case_t> {};

// Tagger is unavailable: every URL check fails, never inside the call,
// after the addresses have been found.
TEST_P(url_check_test, addresses_then_tagger)
{
    const auto& c = GetParam();
    fake_lookup_t lookup(c.resolves_to);
    io::http::param_map_t fields;
    if (!c.server_ip.empty())
        fields.add("X-Server-IP", c.server_ip);
    ic::context::context_t context(fields, orx::buffer_t(c.request_head), orx::buffer_t(), {}, &engine());
    std::optional<boost::system::error_code> error;
    engine().check_url(&context, [&](const ox::oxs::report_t& report, const boost::system::error_code& e) {
        EXPECT_EQ(report.categories, 0u);
        error = e;
    });
    EXPECT_FALSE(error) << "completed inside the call";
    ASSERT_TRUE(run_until([&] { return error.has_value(); }));
    EXPECT_EQ(*error, ox::make_error_code(c.error));
    std::vector<std::string> addresses;
    if (context.request_url())
        for (const auto& address : context.request_url()->addresses)
            addresses.push_back(address.to_string());
    EXPECT_EQ(addresses, c.addresses);
    EXPECT_EQ(lookup.asked, c.asked);
    if (!c.asked.empty()) {
        const std::string outcome =
            c.resolves_to ? "Success" : boost::system::error_code(boost::asio::error::host_not_found).message();
        EXPECT_TRUE(logged(cf_log_debug, "Resolving host www.example.com: " + outcome));
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, url_check_test,
    testing::Values(
        url_case_t{"server_ipv4", get_head, "192.0.2.9", std::nullopt, {"192.0.2.9"}, {}, ox::EC_NO_TAGGER},
        url_case_t{"server_ipv6", get_head, "2001:db8::1", std::nullopt, {"2001:db8::1"}, {}, ox::EC_NO_TAGGER},
        url_case_t{"server_field_no_address",
                   get_head,
                   "www.example.com",
                   boost::asio::ip::make_address("198.51.100.4"),
                   {"198.51.100.4"},
                   {{"www.example.com", "80"}},
                   ox::EC_NO_TAGGER},
        url_case_t{
            "host_does_not_resolve", get_head, "", std::nullopt, {}, {{"www.example.com", "80"}}, ox::EC_NO_TAGGER},
        url_case_t{"no_url", "GET /a HTTP/1.1\r\n\r\n", "192.0.2.9", std::nullopt, {}, {}, ox::EC_UNEXPECTED_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

struct body_case_t {
    const char* name;
    boost::system::error_code getter_error;
    bool ieof;
    boost::system::error_code error;
};

class body_check_test : public check_engine_test, public testing::WithParamInterface<body_case_t> {};

// Vetter is unavailable: a body that was read fails its scan, and the
// scan-state watcher learns of it; a failed read and a preview that held
// the whole (empty) body are never scanned.
TEST_P(body_check_test, getter_then_vetter)
{
    const auto& c = GetParam();
    io::icap::preview_t preview;
    preview.ieof = c.ieof;
    const auto stream = io::http::body_stream_t::make_empty(inventory->io_context);
    ic::context::body_getter_t getter = [&](const auto& handler) {
        boost::asio::post(inventory->io_context, [&, handler] {
            handler(preview, c.getter_error || c.ieof ? nullptr : stream, c.getter_error);
        });
    };
    std::optional<boost::system::error_code> error;
    io::icap::preview_t delivered;
    engine().check_body(std::move(getter), [&](const ox::ScanReport& report, const io::icap::preview_t& p,
                                               const std::shared_ptr<io::http::body_stream_t>& scanned,
                                               const boost::system::error_code& e) {
        EXPECT_EQ(report.ByteSizeLong(), 0u);
        EXPECT_FALSE(scanned);
        delivered = p;
        error = e;
    });
    ASSERT_TRUE(run_until([&] { return error.has_value(); }));
    EXPECT_EQ(*error, c.error);
    // The scanning service's failure is its state; a failed read is not.
    EXPECT_EQ(inventory->state_watcher->app_info.scan_state(),
              *error == ox::make_error_code(ox::EC_NO_VETTER) ? ox::EC_NO_VETTER : ox::EC_UNKNOWN_STATE);
    // A failed read leaves nothing of the preview.
    EXPECT_EQ(delivered.body == preview.body, !c.getter_error);
    EXPECT_EQ(delivered.ieof, c.ieof && !c.getter_error);
}

INSTANTIATE_TEST_SUITE_P(cases, body_check_test,
                         testing::Values(body_case_t{"scanned", {}, false, ox::make_error_code(ox::EC_NO_VETTER)},
                                         body_case_t{"whole_body_in_preview", {}, true, {}},
                                         body_case_t{"malformed_body", io::protocol_error, false, io::protocol_error},
                                         body_case_t{"connection_lost", boost::asio::error::connection_reset, false,
                                                     boost::asio::error::connection_reset}),
                         [](const auto& info) { return std::string(info.param.name); });

// A script may answer before a body scan it started has finished (while
// the body is still being fetched): the result waits for the scan, so that
// no read of the body is outstanding when the handler gets it.
TEST_F(check_engine_test, result_waits_for_a_scan_still_running)
{
    std::function<void()> deliver_body;
    ic::context::body_getter_t getter = [&](const auto& handler) {
        deliver_body = [&, handler] {
            handler(io::icap::preview_t(), io::http::body_stream_t::make_empty(inventory->io_context), {});
        };
    };
    std::optional<boost::system::error_code> scanned;
    engine().run_hook = test_hook::runner(inventory->io_context, [&](ic::context::context_t& context) {
        context.delegate->check_body(std::move(context.body_getter),
                                     [&](const ox::ScanReport&, const io::icap::preview_t&,
                                         const std::shared_ptr<io::http::body_stream_t>&,
                                         const boost::system::error_code& e) { scanned = e; });
        return test_hook::pass(context);
    });
    outcome_t outcome;
    engine().process({}, orx::buffer_t(get_head), orx::buffer_t(response_head), getter, outcome.callback());
    ASSERT_TRUE(run_until([&] { return static_cast<bool>(deliver_body); }));
    // The verdict is in; the body is not.
    for (int i = 0; i < 10; ++i)
        pump();
    EXPECT_EQ(outcome.calls, 0);
    deliver_body();
    EXPECT_EQ(scanned, ox::make_error_code(ox::EC_NO_VETTER));
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.result);
    EXPECT_FALSE(outcome.result->modified);
}

} // namespace
