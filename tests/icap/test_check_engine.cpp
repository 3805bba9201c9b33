// The check engine with the hook's place taken by the test: verdicts turned
// into results, URL checks through the stand-in Tagger and body scans
// through the stand-in Vetter (or without them), and results held back
// while a body scan still runs.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include "app/core/config_holder.hpp"
#include "clients/services_fixture.hpp"
#include "clients/state_watcher.hpp"
#include "common/error_category.hpp"
#include "icap/check_engine.hpp"
#include "icap/hook_double.hpp"
#include "io/resolver.hpp"
#include "io/stream.hpp"
#include "protocol/protocol_error.hpp"
#include "schemas/error.pb.h"
#include "standins/tagger_standin.hpp"
#include "standins/vetter_standin.hpp"
#include "verdicts/template_dir.hpp"

namespace {

using namespace std::chrono_literals;
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

class check_engine_test : public test_services::fixture_t {
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
        engine().process(std::make_shared<const io::http::param_map_t>(fields), orx::buffer_t(request_head),
                         orx::buffer_t(response), getter, outcome.callback());
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

    // The body in a chunked wire form, decoded: its data and its trailers.
    std::pair<std::string, io::http::param_map_t> decode(const std::string& wire)
    {
        std::pair<std::string, io::http::param_map_t> decoded;
        bool done = false;
        io::http::async_read_body(
            io::http::body_stream_t::make_chunked_decoder(
                io::stream_t::make(inventory->io_context, orx::buffer_t(wire))),
            [&](const std::shared_ptr<io::http::body_t>& chunks, const boost::system::error_code& error) {
                EXPECT_FALSE(error) << wire;
                for (const auto& chunk : *chunks)
                    decoded.first += chunk.data.str();
                if (!chunks->empty())
                    decoded.second = chunks->back().trailers;
                done = true;
            });
        run_until([&] { return done; });
        return decoded;
    }

    // Answers the holder's socket request for the service: the path, or,
    // when it is empty, that the service is not installed.
    void serve(ox::Application app, const std::string& path)
    {
        ASSERT_TRUE(socket_requested(app));
        if (path.empty())
            answer_socket_error(app, ox::EC_NOT_INSTALLED);
        else
            answer_socket(app, path);
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
    // PilotD gives Tagger's socket; else it says Tagger is not installed.
    bool tagger;
    // The URL's addresses once checked; the names asked.
    std::vector<std::string> addresses;
    std::vector<std::pair<std::string, std::string>> asked;
    ox::ErrorCode error;
    std::uint32_t categories;
};

class url_check_test : public check_engine_test, public testing::WithParamInterface<url_case_t> {
protected:
    standin::tagger_standin_t tagger;
};

// The addresses are found first, then the URL goes with them to Tagger,
// whose categories come back; never inside the call.
TEST_P(url_check_test, addresses_then_tagger)
{
    const auto& c = GetParam();
    tagger.load_table("example.com adult_content gambling\n");
    fake_lookup_t lookup(c.resolves_to);
    io::http::param_map_t fields;
    if (!c.server_ip.empty())
        fields.add("X-Server-IP", c.server_ip);
    ic::context::context_t context(std::make_shared<const io::http::param_map_t>(std::move(fields)),
                                   orx::buffer_t(c.request_head), orx::buffer_t(), {}, &engine());
    std::optional<boost::system::error_code> error;
    ox::oxs::report_t report;
    engine().check_url(&context, [&](const ox::oxs::report_t& r, const boost::system::error_code& e) {
        report = r;
        error = e;
    });
    EXPECT_FALSE(error) << "completed inside the call";
    if (context.request_url())
        serve(ox::APP_TAGGER, c.tagger ? tagger.path() : "");
    else
        EXPECT_FALSE(socket_requested(ox::APP_TAGGER, 200ms)) << "asked for Tagger without a URL";
    ASSERT_TRUE(run_until([&] { return error.has_value(); }));
    if (c.error == ox::EC_OK)
        EXPECT_FALSE(*error) << *error;
    else
        EXPECT_EQ(*error, ox::make_error_code(c.error));
    EXPECT_EQ(report.categories, c.categories);
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
    // What reached Tagger: the URL with the addresses found.
    const auto requests = tagger.requests();
    ASSERT_EQ(requests.size(), c.tagger && c.error == ox::EC_OK ? 1u : 0u);
    if (requests.empty())
        return;
    EXPECT_EQ(requests[0].raw_url(), "http://www.example.com/a");
    std::vector<std::string> sent;
    for (const auto& address : requests[0].addresses().ip())
        sent.push_back(address.address());
    EXPECT_EQ(sent, c.addresses);
}

const std::uint32_t adult_and_gambling = 0x4 | 0x20;

INSTANTIATE_TEST_SUITE_P(
    cases, url_check_test,
    testing::Values(
        url_case_t{
            "server_ipv4", get_head, "192.0.2.9", std::nullopt, true, {"192.0.2.9"}, {}, ox::EC_OK, adult_and_gambling},
        url_case_t{"server_ipv6",
                   get_head,
                   "2001:db8::1",
                   std::nullopt,
                   true,
                   {"2001:db8::1"},
                   {},
                   ox::EC_OK,
                   adult_and_gambling},
        url_case_t{"server_field_no_address",
                   get_head,
                   "www.example.com",
                   boost::asio::ip::make_address("198.51.100.4"),
                   true,
                   {"198.51.100.4"},
                   {{"www.example.com", "80"}},
                   ox::EC_OK,
                   adult_and_gambling},
        url_case_t{"host_does_not_resolve",
                   get_head,
                   "",
                   std::nullopt,
                   true,
                   {},
                   {{"www.example.com", "80"}},
                   ox::EC_OK,
                   adult_and_gambling},
        url_case_t{
            "tagger_not_installed", get_head, "192.0.2.9", std::nullopt, false, {"192.0.2.9"}, {}, ox::EC_NO_TAGGER, 0},
        url_case_t{
            "no_url", "GET /a HTTP/1.1\r\n\r\n", "192.0.2.9", std::nullopt, true, {}, {}, ox::EC_UNEXPECTED_ERROR, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A URL too large for the link's frame fails its own check with the
// link's reason; the event loop goes on, and the next check reaches Tagger.
class url_refusal_test : public check_engine_test {
protected:
    standin::tagger_standin_t tagger;
};

TEST_F(url_refusal_test, url_too_large_for_the_link_fails_the_check_only)
{
    tagger.load_table("example.com adult_content\n");
    const auto check = [&](const std::string& path) {
        auto url = std::make_shared<ox::oxs::url_t>("http", "", "", "www.example.com", path, ox::oxs::url_t::params_t{},
                                                    "", std::nullopt);
        url->addresses.insert(boost::asio::ip::make_address("192.0.2.9"));
        std::optional<boost::system::error_code> error;
        ox::oxs::report_t report;
        engine().async_check_url(url, [&](const ox::oxs::report_t& r, const boost::system::error_code& e) {
            report = r;
            error = e;
        });
        url.reset();
        EXPECT_TRUE(run_until([&] { return error.has_value(); }));
        // Failed, and the categories.
        return std::make_pair(error.value_or(boost::asio::error::timed_out).failed(), report.categories);
    };
    std::optional<boost::system::error_code> first;
    engine().async_check_url(std::make_shared<ox::oxs::url_t>("http", "", "", "www.example.com",
                                                              "/" + std::string(64 * 1024 * 1024, 'a'),
                                                              ox::oxs::url_t::params_t{}, "", std::nullopt),
                             [&](const ox::oxs::report_t&, const boost::system::error_code& e) { first = e; });
    serve(ox::APP_TAGGER, tagger.path());
    ASSERT_TRUE(run_until([&] { return first.has_value(); }));
    EXPECT_EQ(*first, ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE));
    EXPECT_EQ(check("/a"), std::make_pair(false, std::uint32_t{0x4}));
    EXPECT_EQ(tagger.requests().size(), 1u);
}

// A proxy's chunked body, with the start of its next query behind it.
const std::string body_wire = "5\r\nhello\r\n6\r\n world\r\n0\r\nX-Sum: 1\r\n\r\n";
const std::string next_query = "OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\n\r\n";

enum class vetter_t { unused, not_installed, present };

struct body_case_t {
    const char* name;
    boost::system::error_code getter_error;
    bool ieof;
    vetter_t vetter;
    standin::vetter_scenario_t scenario;
    boost::system::error_code error;
    std::size_t threats;
    // The body handed back, decoded; nothing when none is.
    std::optional<std::string> body;
    ox::ErrorCode scan_state;
};

class body_check_test : public check_engine_test, public testing::WithParamInterface<body_case_t> {
protected:
    body_check_test() { vetter = std::make_unique<standin::vetter_standin_t>(inventory->io_context, socket_path()); }
    ~body_check_test() override { vetter.reset(); }

    std::string socket_path() const { return templates.root().string() + "/vetter.sock"; }

    std::unique_ptr<standin::vetter_standin_t> vetter;
};

// A body that was read goes to Vetter, and what comes back is the body the
// answer carries: Vetter's bytes after a scan, and after a failure still the
// whole body (what Vetter received, then the rest). The scanning service's
// failures become the scan state; a failed read and a preview that held the
// whole (empty) body are never scanned.
TEST_P(body_check_test, getter_then_vetter)
{
    const auto& c = GetParam();
    vetter->set_scenario(c.scenario);
    io::icap::preview_t preview;
    preview.ieof = c.ieof;
    const auto stream = io::http::body_stream_t::make_chunked_decoder(
        io::stream_t::make(inventory->io_context, orx::buffer_t(body_wire + next_query)));
    ic::context::body_getter_t getter = [&](const auto& handler) {
        boost::asio::post(inventory->io_context, [&, handler] {
            handler(preview, c.getter_error || c.ieof ? nullptr : stream, c.getter_error);
        });
    };
    std::optional<boost::system::error_code> error;
    io::icap::preview_t delivered;
    ox::ScanReport report;
    std::shared_ptr<io::http::body_stream_t> scanned;
    engine().check_body(std::move(getter),
                        [&](const ox::ScanReport& r, const io::icap::preview_t& p,
                            const std::shared_ptr<io::http::body_stream_t>& s, const boost::system::error_code& e) {
                            report = r;
                            scanned = s;
                            delivered = p;
                            error = e;
                        });
    if (c.vetter != vetter_t::unused)
        serve(ox::APP_VETTER, c.vetter == vetter_t::present ? socket_path() : "");
    ASSERT_TRUE(run_until([&] { return error.has_value(); }));
    EXPECT_EQ(*error, c.error);
    EXPECT_EQ(static_cast<std::size_t>(report.virus_size()), c.threats);
    EXPECT_EQ(inventory->state_watcher->app_info.scan_state(), c.scan_state);
    // A failed read leaves nothing of the preview.
    EXPECT_EQ(delivered.body == preview.body, !c.getter_error);
    EXPECT_EQ(delivered.ieof, c.ieof && !c.getter_error);
    ASSERT_EQ(static_cast<bool>(scanned), c.body.has_value());
    if (!scanned)
        return;
    const auto decoded = decode(wire(scanned));
    EXPECT_EQ(decoded.first, *c.body);
    EXPECT_EQ(decoded.second.get("X-Sum"), "1");
}

standin::vetter_scenario_t upper_case(standin::vetter_scenario_t scenario = {})
{
    scenario.transform = [](std::string data) {
        for (char& ch : data)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return data;
    };
    return scenario;
}

standin::vetter_scenario_t with_threat()
{
    standin::vetter_scenario_t scenario;
    scenario.threats.push_back({"world", ox::SE_KNOWN_VIRUS, "Test.Marker"});
    return scenario;
}

standin::vetter_scenario_t alarm_at_scan_request()
{
    standin::vetter_scenario_t scenario;
    scenario.alarm_after_chunks = 0;
    scenario.alarm_code = ox::EC_SCAN_LIMIT_REACHED;
    return scenario;
}

INSTANTIATE_TEST_SUITE_P(
    cases, body_check_test,
    testing::Values(
        body_case_t{"clean_body_as_vetter_returns_it",
                    {},
                    false,
                    vetter_t::present,
                    upper_case(),
                    {},
                    0,
                    "HELLO WORLD",
                    ox::EC_UNKNOWN_STATE},
        body_case_t{
            "threat_found", {}, false, vetter_t::present, with_threat(), {}, 1, "hello world", ox::EC_UNKNOWN_STATE},
        body_case_t{"vetter_alarm_keeps_the_body",
                    {},
                    false,
                    vetter_t::present,
                    alarm_at_scan_request(),
                    ox::make_error_code(ox::EC_SCAN_LIMIT_REACHED),
                    0,
                    "hello world",
                    ox::EC_SCAN_LIMIT_REACHED},
        body_case_t{"vetter_not_installed_keeps_the_body",
                    {},
                    false,
                    vetter_t::not_installed,
                    {},
                    ox::make_error_code(ox::EC_NO_VETTER),
                    0,
                    "hello world",
                    ox::EC_NO_VETTER},
        body_case_t{"whole_body_in_preview", {}, true, vetter_t::unused, {}, {}, 0, std::nullopt, ox::EC_UNKNOWN_STATE},
        body_case_t{"malformed_body",
                    io::protocol_error,
                    false,
                    vetter_t::unused,
                    {},
                    io::protocol_error,
                    0,
                    std::nullopt,
                    ox::EC_UNKNOWN_STATE},
        body_case_t{"connection_lost",
                    boost::asio::error::connection_reset,
                    false,
                    vetter_t::unused,
                    {},
                    boost::asio::error::connection_reset,
                    0,
                    std::nullopt,
                    ox::EC_UNKNOWN_STATE}),
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
    engine().process(std::make_shared<const io::http::param_map_t>(), orx::buffer_t(get_head),
                     orx::buffer_t(response_head), getter, outcome.callback());
    ASSERT_TRUE(run_until([&] { return static_cast<bool>(deliver_body); }));
    // The verdict is in; the body is not.
    for (int i = 0; i < 10; ++i)
        pump();
    EXPECT_EQ(outcome.calls, 0);
    deliver_body();
    serve(ox::APP_VETTER, "");
    ASSERT_TRUE(run_until([&] { return scanned.has_value(); }));
    EXPECT_EQ(scanned, ox::make_error_code(ox::EC_NO_VETTER));
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.result);
    EXPECT_FALSE(outcome.result->modified);
}

} // namespace
