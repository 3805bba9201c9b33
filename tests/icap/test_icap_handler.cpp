// Dispatch, fixed answers, OPTIONS and the finishing of answers, with the
// handler called directly.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/inventory_fixture.hpp"
#include "common/error_category.hpp"
#include "icap/hook_double.hpp"
#include "icap/icap_handler.hpp"
#include "io/stream.hpp"

namespace {

using kind_t = ic::icap_handler_t::request_type_t;
using bt_t = io::icap::body_type_t;

// Answers are never written here.
class unused_output_t : public io::output_stream_t {
public:
    explicit unused_output_t(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}
    boost::asio::any_io_executor get_executor() override { return executor_; }
    void async_send(const orx::buffer_t&, send_handler_t, keep_t = nullptr) override { ADD_FAILURE() << "written"; }

private:
    boost::asio::any_io_executor executor_;
};

struct outcome_t {
    std::shared_ptr<io::icap::response_t> response;
    boost::system::error_code error;
    int calls = 0;

    // An answer callback that fills this outcome.
    ic::icap_handler_t::answer_callback_t callback()
    {
        return [this](const auto& r, const auto& e) {
            response = r;
            error = e;
            ++calls;
        };
    }
};

class icap_handler_test : public test_inventory::fixture_t {
protected:
    icap_handler_test()
    {
        inventory->icap_handler->request_signal.connect([this](kind_t kind) { kinds.push_back(kind); });
    }

    std::shared_ptr<io::icap::request_t> request(const std::string& method, const std::string& url,
                                                 io::icap::version_t version = {1, 0})
    {
        auto r = io::icap::request_t::make();
        r->method = method;
        r->url = ox::oxs::url_t(url);
        r->version = version;
        return r;
    }

    outcome_t handle(const std::shared_ptr<io::icap::request_t>& r, bool keep_alive = true)
    {
        outcome_t outcome;
        inventory->icap_handler->handle_request(connection, r, keep_alive, outcome.callback());
        return outcome;
    }

    ox::TRAXDConfig& config() { return inventory->config_holder->config; }

    std::shared_ptr<io::icap::server_connection_t> connection =
        io::icap::server_connection_t::make(io::stream_t::make(inventory->io_context, orx::buffer_t()),
                                            std::make_shared<unused_output_t>(inventory->io_context.get_executor()));
    std::vector<kind_t> kinds;
};

struct dispatch_case_t {
    const char* name;
    std::string method;
    std::string url;
    io::icap::version_t version;
    int code;
    std::string reason;
    kind_t kind;
};

class dispatch_test : public icap_handler_test, public testing::WithParamInterface<dispatch_case_t> {};

TEST_P(dispatch_test, answers_and_classifies)
{
    const auto& c = GetParam();
    const auto outcome = handle(request(c.method, c.url, c.version));
    ASSERT_EQ(outcome.calls, 1);
    ASSERT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->code, c.code);
    EXPECT_EQ(outcome.response->reason, c.reason);
    EXPECT_EQ(outcome.response->version.major, 1);
    EXPECT_EQ(outcome.response->version.minor, 0);
    EXPECT_EQ(outcome.response->fields.get("Connection"), c.code == 200 ? "keep-alive" : "close");
    EXPECT_TRUE(outcome.response->body);
    EXPECT_EQ(kinds, std::vector<kind_t>{c.kind});
}

INSTANTIATE_TEST_SUITE_P(
    cases, dispatch_test,
    testing::Values(
        dispatch_case_t{"options_reqmod", "OPTIONS", "icap://h/reqmod", {1, 0}, 200, "OK", kind_t::options},
        dispatch_case_t{"options_reqmod_slash", "OPTIONS", "icap://h/reqmod/", {1, 0}, 200, "OK", kind_t::options},
        dispatch_case_t{"options_lower_case", "options", "icap://h/respmod", {1, 0}, 200, "OK", kind_t::options},
        dispatch_case_t{"options_with_query", "OPTIONS", "icap://h/respmod?x=1", {1, 0}, 200, "OK", kind_t::options},
        dispatch_case_t{"reqmod_to_respmod",
                        "REQMOD",
                        "icap://h/respmod",
                        {1, 0},
                        405,
                        "Method not allowed for service",
                        kind_t::bad},
        dispatch_case_t{"respmod_to_reqmod",
                        "RESPMOD",
                        "icap://h/reqmod",
                        {1, 0},
                        405,
                        "Method not allowed for service",
                        kind_t::bad},
        dispatch_case_t{
            "unknown_method", "GET", "icap://h/reqmod", {1, 0}, 405, "Method not allowed for service", kind_t::bad},
        dispatch_case_t{
            "upper_case_path", "OPTIONS", "icap://h/REQMOD", {1, 0}, 404, "ICAP Service not found", kind_t::bad},
        dispatch_case_t{
            "path_below_service", "REQMOD", "icap://h/reqmod/x", {1, 0}, 404, "ICAP Service not found", kind_t::bad},
        dispatch_case_t{"version_1_1",
                        "OPTIONS",
                        "icap://h/reqmod",
                        {1, 1},
                        505,
                        "ICAP version not supported by server",
                        kind_t::bad},
        dispatch_case_t{"no_version_before_path",
                        "OPTIONS",
                        "icap://h/nowhere",
                        {-1, -1},
                        505,
                        "ICAP version not supported by server",
                        kind_t::bad}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(icap_handler_test, unparsable_query_gets_400_and_counts_as_bad)
{
    outcome_t outcome;
    inventory->icap_handler->handle_bad_request(connection, outcome.callback());
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.response->code, 400);
    EXPECT_EQ(outcome.response->reason, "Bad request");
    EXPECT_EQ(outcome.response->fields.get("Connection"), "close");
    EXPECT_FALSE(outcome.response->fields.has("Encapsulated"));
    EXPECT_EQ(kinds, std::vector<kind_t>{kind_t::bad});
}

struct options_body_case_t {
    const char* name;
    std::string req_head;
    std::string res_head;
    io::icap::body_type_t body_type;
    int code;
};

class options_body_test : public icap_handler_test, public testing::WithParamInterface<options_body_case_t> {};

TEST_P(options_body_test, only_an_options_body_is_allowed)
{
    const auto& c = GetParam();
    auto r = request("OPTIONS", "icap://h/reqmod");
    r->req_head = orx::buffer_t(c.req_head);
    r->res_head = orx::buffer_t(c.res_head);
    r->body_type = c.body_type;
    const auto outcome = handle(r);
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.response->code, c.code);
    EXPECT_EQ(kinds, std::vector<kind_t>{kind_t::options});
}

INSTANTIATE_TEST_SUITE_P(cases, options_body_test,
                         testing::Values(options_body_case_t{"null_body", "", "", io::icap::body_type_t::null_body,
                                                             200},
                                         options_body_case_t{"opt_body", "", "", io::icap::body_type_t::opt_body, 200},
                                         options_body_case_t{"request_head", "GET / HTTP/1.1\r\n\r\n", "",
                                                             io::icap::body_type_t::null_body, 400},
                                         options_body_case_t{"response_head", "", "HTTP/1.1 200 OK\r\n\r\n",
                                                             io::icap::body_type_t::null_body, 400},
                                         options_body_case_t{"res_body", "", "", io::icap::body_type_t::res_body, 400}),
                         [](const auto& info) { return std::string(info.param.name); });

struct options_fields_case_t {
    const char* name;
    bool use_204;
    bool use_preview;
    std::string path;
    std::vector<std::pair<std::string, std::optional<std::string>>> fields;
};

class options_fields_test : public icap_handler_test, public testing::WithParamInterface<options_fields_case_t> {};

TEST_P(options_fields_test, follow_the_settings)
{
    const auto& c = GetParam();
    config().set_use_204(c.use_204);
    config().set_use_preview(c.use_preview);
    const auto outcome = handle(request("OPTIONS", "icap://h" + c.path));
    ASSERT_TRUE(outcome.response);
    const auto& fields = outcome.response->fields;
    for (const auto& [name, value] : c.fields) {
        if (value)
            EXPECT_EQ(fields.get_all(name), std::vector<std::string>{*value}) << name;
        else
            EXPECT_FALSE(fields.has(name)) << name;
    }
    EXPECT_EQ(fields.get("X-Include"), "X-Client-IP, X-Server-IP");
    EXPECT_EQ(fields.get("X-Allow-Out"), "X-Response-Info, X-Infection-Found, X-Violations-Found, X-Virus-ID");
    EXPECT_EQ(fields.get("Service"), "Orvex TRAXD 11.1.9.2205231640");
    EXPECT_EQ(fields.get("Options-TTL"), "60");
    EXPECT_EQ(fields.get("Encapsulated"), "null-body=0");
    EXPECT_EQ(fields.get_all("ISTag").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(cases, options_fields_test,
                         testing::Values(options_fields_case_t{"plain",
                                                               false,
                                                               false,
                                                               "/respmod",
                                                               {{"Methods", "RESPMOD"},
                                                                {"Transfer-Complete", "*"},
                                                                {"Allow", std::nullopt},
                                                                {"Preview", std::nullopt},
                                                                {"Transfer-Preview", std::nullopt}}},
                                         options_fields_case_t{"preview_and_204",
                                                               true,
                                                               true,
                                                               "/reqmod/",
                                                               {{"Methods", "REQMOD"},
                                                                {"Allow", "204"},
                                                                {"Preview", "0"},
                                                                {"Transfer-Preview", "*"},
                                                                {"Transfer-Complete", std::nullopt}}}),
                         [](const auto& info) { return std::string(info.param.name); });

struct composition_case_t {
    const char* name;
    std::string method;
    std::string path;
    std::string req_head;
    std::string res_head;
    io::icap::body_type_t body_type;
    std::string preview;
    int code;
    kind_t kind;
};

class composition_test : public icap_handler_test, public testing::WithParamInterface<composition_case_t> {};

// Well-composed queries reach the check (a passing hook here, and no Allow
// field, so the message comes back in a 200 answer); the others get their
// fixed answer at once.
TEST_P(composition_test, answers_malformed_queries_at_once)
{
    const auto& c = GetParam();
    inventory->check_engine->run_hook = test_hook::runner(inventory->io_context, test_hook::pass);
    auto r = request(c.method, "icap://h" + c.path);
    r->req_head = orx::buffer_t(c.req_head);
    r->res_head = orx::buffer_t(c.res_head);
    r->body_type = c.body_type;
    r->body = c.body_type == bt_t::null_body ? io::http::body_stream_t::make_empty(inventory->io_context)
                                             : io::http::body_stream_t::make_chunked_decoder(io::stream_t::make(
                                                   inventory->io_context, orx::buffer_t(std::string("0\r\n\r\n"))));
    if (!c.preview.empty())
        r->fields.add("Preview", c.preview);
    auto outcome = handle(r);
    if (c.code == 200) {
        EXPECT_EQ(outcome.calls, 0);
    }
    ASSERT_TRUE(run_until([&] { return outcome.calls != 0; }));
    EXPECT_EQ(outcome.calls, 1);
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->code, c.code);
    EXPECT_EQ(outcome.response->fields.get("Connection"), c.code == 200 ? "keep-alive" : "close");
    EXPECT_EQ(kinds, std::vector<kind_t>{c.kind});
}

const std::string http_request = "GET / HTTP/1.1\r\n\r\n";
const std::string http_response = "HTTP/1.1 200 OK\r\n\r\n";

// With the Lua runtime deciding, a hook that decides at once has the query
// answered before handle_request returns, after the query was counted; one
// that waits is answered from the loop.
struct hook_timing_case_t {
    const char* name;
    const char* script;
    bool answered_in_call;
};

class hook_timing_test : public icap_handler_test, public testing::WithParamInterface<hook_timing_case_t> {};

TEST_P(hook_timing_test, answers_within_the_call_only_when_the_hook_decides_at_once)
{
    const auto& c = GetParam();
    auto settings_applied = settings();
    settings_applied.set_use_204(true);
    settings_applied.mutable_message_hook()->set_buffer(c.script);
    inventory->config_holder->apply(settings_applied);
    auto r = request("REQMOD", "icap://h/reqmod");
    r->req_head = orx::buffer_t(http_request);
    r->body_type = bt_t::null_body;
    r->body = io::http::body_stream_t::make_empty(inventory->io_context);
    r->fields.add("Allow", "204");
    int calls = 0;
    int code = 0;
    std::size_t counted_first = 0;
    inventory->icap_handler->handle_request(
        connection, r, true,
        [&](const std::shared_ptr<io::icap::response_t>& response, const boost::system::error_code& error) {
            ++calls;
            EXPECT_FALSE(error);
            code = response ? response->code : 0;
            counted_first = kinds.size();
        });
    EXPECT_EQ(calls, c.answered_in_call ? 1 : 0);
    ASSERT_TRUE(run_until([&] { return calls != 0; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(code, 204);
    EXPECT_EQ(counted_first, 1u);
    EXPECT_EQ(kinds, std::vector<kind_t>{kind_t::reqmod});
}

INSTANTIATE_TEST_SUITE_P(
    cases, hook_timing_test,
    testing::Values(hook_timing_case_t{"passes", "function message_hook(t) return 'pass' end", true},
                    hook_timing_case_t{"fails", "function message_hook(t) error('bad') end", true},
                    hook_timing_case_t{"waits",
                                       "orvex = require('orvex')\n"
                                       "function message_hook(t) orvex.sleep(0.01) return 'pass' end",
                                       false}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    cases, composition_test,
    testing::Values(composition_case_t{"reqmod", "REQMOD", "/reqmod", http_request, "", bt_t::req_body, "", 200,
                                       kind_t::reqmod},
                    composition_case_t{"reqmod_without_body", "reqmod", "/reqmod/", http_request, "", bt_t::null_body,
                                       "", 200, kind_t::reqmod},
                    composition_case_t{"reqmod_without_request_head", "REQMOD", "/reqmod", "", "", bt_t::req_body, "",
                                       418, kind_t::reqmod},
                    composition_case_t{"reqmod_with_response_head", "REQMOD", "/reqmod", http_request, http_response,
                                       bt_t::req_body, "", 400, kind_t::reqmod},
                    composition_case_t{"reqmod_with_response_body", "REQMOD", "/reqmod", http_request, "",
                                       bt_t::res_body, "", 400, kind_t::reqmod},
                    composition_case_t{"respmod", "RESPMOD", "/respmod", http_request, http_response, bt_t::res_body,
                                       "", 200, kind_t::respmod},
                    composition_case_t{"respmod_response_only", "RESPMOD", "/respmod", "", http_response,
                                       bt_t::null_body, "", 200, kind_t::respmod},
                    composition_case_t{"respmod_without_response_head", "RESPMOD", "/respmod", http_request, "",
                                       bt_t::res_body, "", 418, kind_t::respmod},
                    composition_case_t{"respmod_with_options_body", "RESPMOD", "/respmod", "", http_response,
                                       bt_t::opt_body, "", 400, kind_t::respmod},
                    // Only zero-length previews are served; any other is refused before
                    // the hook could leave the body unread.
                    composition_case_t{"preview_of_512", "RESPMOD", "/respmod", "", http_response, bt_t::res_body,
                                       "512", 400, kind_t::respmod},
                    composition_case_t{"preview_not_a_plain_number", "REQMOD", "/reqmod", http_request, "",
                                       bt_t::req_body, "00", 400, kind_t::reqmod},
                    composition_case_t{"preview_without_body", "RESPMOD", "/respmod", "", http_response,
                                       bt_t::null_body, "512", 200, kind_t::respmod}),
    [](const auto& info) { return std::string(info.param.name); });

// The OPTIONS answer is kept from one query to the next: every answer still
// follows the settings in force, and its kept bytes are those its fields
// give.
TEST_F(icap_handler_test, kept_options_answer_follows_the_settings)
{
    struct step_t {
        std::string path;
        bool use_204;
        bool use_preview;
        bool keep_alive;
    };
    for (const step_t& s : {step_t{"/respmod", false, false, true}, step_t{"/respmod", true, false, true},
                            step_t{"/respmod", true, false, true}, step_t{"/reqmod", true, false, true},
                            step_t{"/respmod", true, true, false}, step_t{"/respmod", false, true, true}}) {
        config().set_use_204(s.use_204);
        config().set_use_preview(s.use_preview);
        const auto outcome = handle(request("OPTIONS", "icap://h" + s.path), s.keep_alive);
        ASSERT_TRUE(outcome.response);
        const auto& fields = outcome.response->fields;
        EXPECT_EQ(fields.get("Methods"), s.path == "/reqmod" ? "REQMOD" : "RESPMOD");
        EXPECT_EQ(fields.has("Allow"), s.use_204);
        EXPECT_EQ(fields.has("Preview"), s.use_preview);
        EXPECT_EQ(fields.get("Connection"), s.keep_alive ? "keep-alive" : "close");
        io::icap::response_t remade = *outcome.response;
        remade.made_head = orx::buffer_t();
        EXPECT_EQ(outcome.response->make_head().view(), remade.make_head().view());
    }
}

TEST_F(icap_handler_test, no_modifications_keeps_the_connection_when_asked)
{
    for (const bool keep_alive : {true, false}) {
        outcome_t outcome;
        inventory->icap_handler->no_modifications(connection, keep_alive, outcome.callback());
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->code, 204);
        EXPECT_EQ(outcome.response->reason, "No modifications needed");
        EXPECT_EQ(outcome.response->fields.get("Connection"), keep_alive ? "keep-alive" : "close");
        EXPECT_FALSE(outcome.response->fields.has("Encapsulated"));
    }
}

TEST_F(icap_handler_test, interim_continue_gets_no_connection_field)
{
    auto response = io::icap::response_t::make();
    response->code = 100;
    response->reason = "Continue";
    inventory->icap_handler->finish_response(connection, response, true);
    EXPECT_FALSE(response->fields.has("Connection"));
    EXPECT_FALSE(response->fields.has("Encapsulated"));
    EXPECT_TRUE(response->fields.has("ISTag"));
}

TEST_F(icap_handler_test, query_and_answer_are_logged_at_debug)
{
    handle(request("OPTIONS", "icap://h/reqmod"));
    std::ostringstream pointer;
    pointer << static_cast<const void*>(connection.get());
    EXPECT_TRUE(logged(cf_log_debug, "ICAP " + pointer.str() + " <-- OPTIONS icap://h/reqmod"));
    EXPECT_TRUE(logged(cf_log_debug, "ICAP " + pointer.str() + " --> 200 OK"));
}

TEST_F(icap_handler_test, dumps_query_and_answer_heads_when_asked)
{
    config().set_debug_dump_icap(true);
    auto r = request("OPTIONS", "icap://h/reqmod");
    r->fields.add("Host", "h");
    handle(r);
    std::ostringstream pointer;
    pointer << "ICAP " << static_cast<const void*>(connection.get()) << ": message:\n" << std::string(60, '-') << '\n';
    EXPECT_TRUE(logged(cf_log_debug, pointer.str() + "OPTIONS icap://h/reqmod ICAP/1.0\r\nHost: h\r\n\r\n"));
    bool answer_dumped = false;
    for (const auto& record : log->records)
        answer_dumped |= record.text.rfind(pointer.str() + "ICAP/1.0 200 OK\r\n", 0) == 0;
    EXPECT_TRUE(answer_dumped);

    config().set_debug_dump_icap(false);
    const auto records = log->records.size();
    handle(r);
    EXPECT_EQ(log->records.size(), records + 2);
}

struct encapsulated_case_t {
    const char* name;
    std::size_t req_head;
    std::size_t res_head;
    bool body;
    io::icap::body_type_t body_type;
    int code;
    std::optional<std::string> value;
};

class encapsulated_test : public testing::TestWithParam<encapsulated_case_t> {};

TEST_P(encapsulated_test, follows_heads_and_body)
{
    const auto& c = GetParam();
    io::icap::response_t response;
    response.code = c.code;
    response.req_head = orx::buffer_t(std::string(c.req_head, 'q'));
    response.res_head = orx::buffer_t(std::string(c.res_head, 's'));
    response.body_type = c.body_type;
    boost::asio::io_context context;
    if (c.body)
        response.body = io::http::body_stream_t::make_empty(context);
    ic::icap_handler_t::make_encapsulated(response);
    if (c.value)
        EXPECT_EQ(response.fields.get_all("Encapsulated"), std::vector<std::string>{*c.value});
    else
        EXPECT_FALSE(response.fields.has("Encapsulated"));
}

INSTANTIATE_TEST_SUITE_P(
    cases, encapsulated_test,
    testing::Values(
        encapsulated_case_t{"response_head_and_body", 0, 120, true, bt_t::res_body, 200, "res-hdr=0, res-body=120"},
        encapsulated_case_t{"both_heads_and_body", 30, 120, true, bt_t::res_body, 200,
                            "req-hdr=0, res-hdr=30, res-body=150"},
        encapsulated_case_t{"request_head_and_body", 40, 0, true, bt_t::req_body, 200, "req-hdr=0, req-body=40"},
        encapsulated_case_t{"request_head_without_body", 40, 0, false, bt_t::null_body, 200, "req-hdr=0, null-body=40"},
        encapsulated_case_t{"body_stream_of_null_body", 0, 0, true, bt_t::null_body, 403, "null-body=0"},
        encapsulated_case_t{"options_answer", 0, 0, false, bt_t::null_body, 200, "null-body=0"},
        encapsulated_case_t{"no_content", 0, 0, false, bt_t::null_body, 204, std::nullopt},
        encapsulated_case_t{"error_answer", 0, 0, false, bt_t::null_body, 400, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// An OPTIONS query whose "Orvex-Get-Scan-Status" is "Yes" (in any case)
// waits for a probe of the scanner; PilotD says Vetter is not installed, so
// the answer carries that failure. Any other value asks for nothing.
struct scan_status_case_t {
    const char* name;
    std::string value;
    bool asks;
};

class scan_status_test : public icap_handler_test, public testing::WithParamInterface<scan_status_case_t> {};

TEST_P(scan_status_test, is_answered_after_a_probe)
{
    const auto& c = GetParam();
    auto r = request("OPTIONS", "icap://h/respmod");
    r->fields.add("Orvex-Get-Scan-Status", c.value);
    auto outcome = handle(r);
    EXPECT_EQ(kinds, std::vector<kind_t>{kind_t::options});
    if (!c.asks) {
        ASSERT_EQ(outcome.calls, 1);
        EXPECT_FALSE(outcome.response->fields.has("Orvex-Scan-Status"));
        return;
    }
    EXPECT_EQ(outcome.calls, 0);
    ASSERT_TRUE(pilotd.receive_tag(ox::TRAXD2PilotdMessage::GET_VETTER_REQUEST, pumper()));
    ox::Pilotd2TRAXDMessage not_installed;
    not_installed.set_tag(ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE);
    not_installed.mutable_error()->set_code(ox::EC_NOT_INSTALLED);
    pilotd.send(not_installed);
    ASSERT_TRUE(run_until([&] { return outcome.calls == 1; }));
    ASSERT_FALSE(outcome.error);
    const auto& fields = outcome.response->fields;
    EXPECT_EQ(outcome.response->code, 200);
    EXPECT_EQ(fields.get_all("Orvex-Scan-Status"), std::vector<std::string>{"Vetter is not available"});
    for (const char* name :
         {"Orvex-Scan-Engine", "Orvex-Core-Engine", "Orvex-Virus-Records", "Orvex-Virus-Database-Timestamp"})
        EXPECT_FALSE(fields.has(name)) << name;
    EXPECT_EQ(fields.get("Methods"), "RESPMOD");
    EXPECT_EQ(fields.get("Connection"), "keep-alive");
    EXPECT_EQ(fields.get("Encapsulated"), "null-body=0");
}

INSTANTIATE_TEST_SUITE_P(cases, scan_status_test,
                         testing::Values(scan_status_case_t{"yes", "Yes", true},
                                         scan_status_case_t{"lower_case", "yes", true},
                                         scan_status_case_t{"upper_case", "YES", true},
                                         scan_status_case_t{"more_after_it", "Yes please", false},
                                         scan_status_case_t{"no", "No", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct engine_fields_case_t {
    const char* name;
    boost::system::error_code error;
    ox::ScanReport report;
    std::vector<std::pair<std::string, std::string>> fields;
};

ox::ScanReport engine_report(bool complete)
{
    ox::ScanReport report;
    report.set_object("");
    if (complete) {
        report.set_se_version("11.1.9.1");
        report.set_core_engine_version("4.2.7");
        report.set_virus_records(18446744073709551615ull);
        report.set_base_stamp(0);
    }
    return report;
}

class engine_fields_test : public testing::TestWithParam<engine_fields_case_t> {};

TEST_P(engine_fields_test, describe_the_scanner)
{
    const auto& c = GetParam();
    const auto response = io::icap::response_t::make();
    ic::icap_handler_t::add_engine_headers(response, c.error, c.report);
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, values] : response->fields.fields())
        for (const auto& value : values)
            fields.emplace_back(name, value);
    std::sort(fields.begin(), fields.end());
    auto expected = c.fields;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(fields, expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, engine_fields_test,
    testing::Values(engine_fields_case_t{"complete",
                                         {},
                                         engine_report(true),
                                         {{"Orvex-Scan-Engine", "11.1.9.1"},
                                          {"Orvex-Core-Engine", "4.2.7"},
                                          {"Orvex-Virus-Records", "18446744073709551615"},
                                          {"Orvex-Virus-Database-Timestamp", "0"},
                                          {"Orvex-Scan-Status", "OK"}}},
                    engine_fields_case_t{"nothing_reported", {}, engine_report(false), {{"Orvex-Scan-Status", "OK"}}},
                    // A failure carries only its text, whatever the report holds.
                    engine_fields_case_t{"failed",
                                         ox::make_error_code(ox::EC_LINK_DISCONNECTED),
                                         engine_report(true),
                                         {{"Orvex-Scan-Status", "Link disconnected"}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct istag_case_t {
    std::time_t now;
    std::string tag;
};

class istag_test : public testing::TestWithParam<istag_case_t> {};

TEST_P(istag_test, drops_the_last_digit_of_the_seconds)
{
    EXPECT_EQ(ic::icap_handler_t::make_istag(GetParam().now), GetParam().tag);
}

// The same tag within one ten-second step, another in the next.
INSTANTIATE_TEST_SUITE_P(cases, istag_test,
                         testing::Values(istag_case_t{1700000000, "\"170000000\""},
                                         istag_case_t{1700000009, "\"170000000\""},
                                         istag_case_t{1700000010, "\"170000001\""}, istag_case_t{7, "\"\""}));

} // namespace
