// The answers to blocked messages: ICAP fields, the CONNECT rewrite, the
// block page's language, the Notice lines and the incidents PilotD gets.

#include "icap/verdicts/answer_builder.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/system/system_error.hpp>
#include <google/protobuf/util/message_differencer.h>

#include "app/core/inventory.hpp"
#include "common/error_category.hpp"
#include "scan_report_builder.hpp"
#include "verdict_fixture.hpp"

namespace {

using namespace test_verdicts;
using test_reports::item;
using test_reports::threat;
using headers_t = std::vector<std::pair<std::string, std::string>>;

headers_t threat_headers(const std::string& main_threat, const std::string& violations)
{
    return {{"X-Response-Info", "Blocked"},
            {"X-Infection-Found", "Type=0; Resolution=0; Threat=" + main_threat + ";"},
            {"X-Violations-Found", violations},
            {"X-Virus-ID", main_threat}};
}

// One threat entry of "X-Violations-Found".
std::string entry(const std::string& object, const std::string& name, int type)
{
    return "\r\n\t" + object + "\r\n\t" + name + "\r\n\t" + std::to_string(type) + "\r\n\t0";
}

struct threat_case_t {
    const char* name;
    bool response_side;
    std::optional<std::string> url;
    std::optional<std::string> content_disposition;
    ox::ScanReport report;
    std::uint32_t block_set;
    headers_t expected;
};

void PrintTo(const threat_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class answer_threat_test : public fixture_t, public testing::WithParamInterface<threat_case_t> {};

TEST_P(answer_threat_test, icap_fields)
{
    const threat_case_t& c = GetParam();
    const auto verdict = threat_found(c.url ? url(*c.url) : nullptr, c.response_side, c.report, c.block_set);
    const auto head = c.content_disposition ? response({{"Content-Disposition", *c.content_disposition}}) : response();
    const ic::answer_t answer = inventory->answer_builder->answer_threat_found(
        *verdict, c.url ? request("GET", *c.url) : nullptr, c.response_side ? head : nullptr);
    EXPECT_EQ(answer.headers, c.expected);
    // Nothing from the scanned data ends a line of the ICAP head: every
    // line end continues the field.
    for (const auto& [name, value] : answer.headers)
        for (auto at = value.find_first_of("\r\n"); at != std::string::npos; at = value.find_first_of("\r\n", at + 3))
            EXPECT_EQ(value.substr(at, 3), "\r\n\t") << name;
    EXPECT_TRUE(answer.request_head.empty());
    EXPECT_FALSE(answer.body.empty());
}

const std::string file_url = "http://example.com/download/file.bin";
const ox::ScanReport eicar = item("body", {threat(ox::SE_KNOWN_VIRUS, "EICAR-Test")});
const std::string eicar_in = "1" + entry("file.bin", "EICAR-Test", 1);

INSTANTIATE_TEST_SUITE_P(
    cases, answer_threat_test,
    testing::Values(
        threat_case_t{"quoted_filename_with_escaped_quote", true, file_url, "attachment; filename=\"a\\\"b\"", eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("a\"b", "EICAR-Test", 1))},
        threat_case_t{"last_segment_of_the_url_path", true, file_url, std::nullopt, eicar, 0,
                      threat_headers("EICAR-Test", eicar_in)},
        threat_case_t{"url_path_ending_with_slash", true, "http://example.com/dir/", std::nullopt, eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("body", "EICAR-Test", 1))},
        threat_case_t{"url_without_path", true, "http://example.com", std::nullopt, eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("body", "EICAR-Test", 1))},
        threat_case_t{"no_url_no_disposition", true, std::nullopt, std::nullopt, eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("body", "EICAR-Test", 1))},
        threat_case_t{"upload_is_always_body", false, file_url, "attachment; filename=\"up.exe\"", eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("body", "EICAR-Test", 1))},
        threat_case_t{"slashes_in_the_name_not_in_the_path", true, file_url, "attachment; filename=x/y\\z.zip",
                      item("body", {}, {item("inner.zip", {}, {item("dir/evil.exe", {threat(ox::SE_DIALER, "D")})})}),
                      0, threat_headers("D", "1" + entry("x_y_z.zip//inner.zip//dir/evil.exe", "D", 5))},
        threat_case_t{
            "two_threats_main_by_priority", true, file_url, std::nullopt,
            item("body", {threat(ox::SE_ADWARE, "Ad.A")}, {item("a.exe", {threat(ox::SE_KNOWN_VIRUS, "V.B")})}), 0,
            threat_headers("V.B", "2" + entry("file.bin", "Ad.A", 4) + entry("file.bin//a.exe", "V.B", 1))},
        threat_case_t{
            "two_threats_main_by_block_set", true, file_url, std::nullopt,
            item("body", {threat(ox::SE_ADWARE, "Ad.A")}, {item("a.exe", {threat(ox::SE_KNOWN_VIRUS, "V.B")})}), 0x8,
            threat_headers("Ad.A", "2" + entry("file.bin", "Ad.A", 4) + entry("file.bin//a.exe", "V.B", 1))},
        // Names of archive members come from the scanned data: no byte of
        // them may end the ICAP field.
        threat_case_t{
            "control_bytes_in_names", true, "http://example.com/dl/evil%0D%0A.exe", std::nullopt,
            item("body", {},
                 {item("a\r\nX-Injected: yes", {}, {item("b\x01\x7f\xc3\xa9.exe", {threat(ox::SE_JOKE, "J")})})}),
            0, threat_headers("J", "1" + entry("evil__.exe//a__X-Injected: yes//b____.exe", "J", 6))},
        threat_case_t{"control_bytes_in_disposition", true, file_url, "attachment; filename=\"t\tab\x01.exe\"", eicar,
                      0, threat_headers("EICAR-Test", "1" + entry("t_ab_.exe", "EICAR-Test", 1))},
        threat_case_t{"unquoted_with_blanks", true, file_url, "attachment;filename=  report.pdf  ", eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("report.pdf", "EICAR-Test", 1))},
        threat_case_t{"extended_form_skipped", true, file_url, "attachment; filename*=UTF-8''x.exe; filename=\"y.exe\"",
                      eicar, 0, threat_headers("EICAR-Test", "1" + entry("y.exe", "EICAR-Test", 1))},
        threat_case_t{"semicolon_inside_quotes", true, file_url, "attachment; filename=\"a;b.txt\"; size=3", eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("a;b.txt", "EICAR-Test", 1))},
        threat_case_t{"escaped_quote_keeps_the_quotes_open", true, file_url, "attachment; filename=\"a\\\";b\"; size=3",
                      eicar, 0, threat_headers("EICAR-Test", "1" + entry("a\";b", "EICAR-Test", 1))},
        threat_case_t{"quoted_backslashes", true, file_url, "attachment; filename=\"c:\\\\temp\\\\x.exe\"", eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("c:_temp_x.exe", "EICAR-Test", 1))},
        // The first filename parameter decides, even when it is empty.
        threat_case_t{"first_filename_empty", true, file_url, "attachment; filename=\"\"; filename=\"z.exe\"", eicar, 0,
                      threat_headers("EICAR-Test", eicar_in)},
        threat_case_t{"filename_without_value", true, file_url, "attachment; filename x; filename=z.exe", eicar, 0,
                      threat_headers("EICAR-Test", eicar_in)},
        threat_case_t{"similar_parameter_name", true, file_url, "attachment; filenames=1; filename=ok.txt", eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("ok.txt", "EICAR-Test", 1))},
        threat_case_t{"name_in_any_case_blank_before_equals", true, file_url, "attachment;\tFileName =\"q.doc\"", eicar,
                      0, threat_headers("EICAR-Test", "1" + entry("q.doc", "EICAR-Test", 1))},
        threat_case_t{"lone_quote", true, file_url, "attachment; filename=\"", eicar, 0,
                      threat_headers("EICAR-Test", "1" + entry("\"", "EICAR-Test", 1))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(answer_connect, rewrite)
{
    struct case_t {
        const char* name;
        std::string host;
        std::string expected;
    };
    const std::string suffix = ".orvex.invalid.";
    const case_t cases[] = {
        {"short", "example.com", "example.com" + suffix},
        {"fits_exactly", std::string(234, 'a') + ".com", std::string(234, 'a') + ".com" + suffix},
        {"one_too_long", std::string(235, 'b') + ".com", "com" + suffix},
        // 265 characters with the suffix: the cut starts at position 11.
        {"cut_at_the_first_dot_from_11", std::string(11, 'x') + "." + std::string(238, 'y'),
         std::string(238, 'y') + suffix},
        {"dot_before_11_ignored", std::string(10, 'x') + "." + std::string(239, 'y'), "orvex.invalid."},
        {"no_dots", std::string(250, 'z'), "orvex.invalid."},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.expected.size(), 253u);
        const auto head = ic::make_connect_answer(request("CONNECT", c.host + ":443"));
        EXPECT_EQ(head.str(), "CONNECT " + c.expected + ":443 HTTP/1.1\r\nHost: " + c.expected + ":443\r\n\r\n");
    }
}

TEST(answer_accept_language, first_value)
{
    EXPECT_EQ(ic::accept_language(nullptr), "");
    EXPECT_EQ(ic::accept_language(request("GET", "http://example.com/")), "");
    EXPECT_EQ(ic::accept_language(request("GET", "http://example.com/",
                                          {{"accept-language", "de, en;q=0.5"}, {"Accept-Language", "fr"}})),
              "de, en;q=0.5");
}

using answer_builder_test = fixture_t;

// Every kind: a CONNECT (in any case) is sent nowhere, without a page;
// anything else gets the page in the language the request asks for.
TEST_F(answer_builder_test, connect_or_page)
{
    const auto address = url("http://example.com/x");
    const auto error = std::make_exception_ptr(std::runtime_error("x"));
    const std::vector<std::function<ic::answer_t(const std::shared_ptr<io::http::request_t>&)>> answers = {
        [&](const auto& r) {
            return inventory->answer_builder->answer_threat_found(
                *threat_found(address, true, item("b", {threat(ox::SE_JOKE, "J")})), r, response());
        },
        [&](const auto& r) { return inventory->answer_builder->answer_blocked_url(*blocked_url(address, 0x4), r); },
        [&](const auto& r) { return inventory->answer_builder->answer_check_error(*check_error(address, error), r); },
    };
    for (std::size_t i = 0; i < answers.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string connect = "CONNECT www.example.com.orvex.invalid.:443 HTTP/1.1\r\n"
                                    "Host: www.example.com.orvex.invalid.:443\r\n\r\n";
        for (const char* method : {"CONNECT", "connect"}) {
            const ic::answer_t answer = answers[i](request(method, "www.example.com:443"));
            EXPECT_EQ(answer.request_head.str(), connect);
            EXPECT_TRUE(answer.response_head.empty());
            EXPECT_TRUE(answer.body.empty());
        }
        const struct {
            std::shared_ptr<io::http::request_t> request;
            const char* heading;
        } pages[] = {
            {nullptr, "<h1>Access blocked</h1>"},
            {request("GET", "http://example.com/x"), "<h1>Access blocked</h1>"},
            {request("GET", "http://example.com/x", {{"Accept-Language", "de-CH, en;q=0.5"}}),
             "<h1>Zugriff gesperrt</h1>"},
            {request("POST", "http://example.com/x", {{"Accept-Language", "fr;q=0.9, en-US;q=0.8"}}),
             "<h1>Access blocked</h1>"},
        };
        for (const auto& page : pages) {
            const ic::answer_t answer = answers[i](page.request);
            EXPECT_TRUE(answer.request_head.empty());
            EXPECT_TRUE(answer.response_head.view().starts_with(
                "HTTP/1.0 403 Blocked by Orvex TRAXD\r\nContent-Length: " + std::to_string(answer.body.size()) +
                "\r\nContent-Type: text/html\r\nDate: "));
            EXPECT_NE(answer.body.view().find(page.heading), std::string_view::npos);
        }
    }
}

struct report_case_t {
    const char* name;
    std::function<std::shared_ptr<ic::blocked_t>()> verdict;
    const char* client_ip;
    const char* client_user;
    std::string notice;
    // The incident's reason, when there is an incident.
    std::function<void(ox::HttpBlock&)> reason;
};

class answer_report_test : public fixture_t {
protected:
    ic::answer_t answer(ic::blocked_t& verdict)
    {
        return verdict.make_answer(request("GET", "http://example.com/"), response());
    }

    // The incident PilotD receives next.
    std::optional<ox::NetIncident> next_incident()
    {
        const auto message = pilotd.receive_tag(ox::TRAXD2PilotdMessage::MY_INCIDENTS_NOTIFICATION, pumper());
        if (!message)
            return std::nullopt;
        EXPECT_EQ(message->incident_size(), 1);
        return message->incident(0);
    }
};

const ox::ScanReport virus_report =
    item("body", {threat(ox::SE_KNOWN_VIRUS, "Virus.A")}, {item("x.zip", {threat(ox::SE_ADWARE, "Ad.B")})});

TEST_F(answer_report_test, notice_and_incident)
{
    const auto set_report = [](ox::HttpBlock& block) { *block.mutable_report() = virus_report; };
    const auto set_category = [](ox::UrlCategory category) {
        return [category](ox::HttpBlock& block) { block.set_category(category); };
    };
    const std::exception_ptr no_vetter =
        std::make_exception_ptr(boost::system::system_error(ox::make_error_code(ox::EC_NO_VETTER)));
    const report_case_t cases[] = {
        {"threat_without_client",
         [&] {
             auto summary = std::make_shared<ic::summary_t>(virus_report);
             return std::make_shared<ic::threat_found_t>(*inventory, url("http://example.com:80/file.bin"), true,
                                                         summary);
         },
         "", "", "Blocked URL: http://example.com/file.bin (Virus.A - Known virus)", set_report},
        {"threat_upload_without_url_ip_only",
         [&] {
             auto summary = std::make_shared<ic::summary_t>(virus_report);
             summary->block_set = 0x8;
             return std::make_shared<ic::threat_found_t>(*inventory, nullptr, false, summary);
         },
         "10.0.0.7", "", "Blocked data from unknown source (Ad.B - Adware). User: Unknown from 10.0.0.7", set_report},
        {"category_user_only", [&] { return blocked_url(url("http://example.com/"), 0x4 | 0x200); }, "", "alice",
         "Blocked URL: http://example.com (Adult content). User: alice from Unknown IP",
         set_category(ox::UC_ADULT_CONTENT)},
        // A failed check is only logged.
        {"check_failure", [&] { return check_error(url("https://example.com:8443/a?b=c"), no_vetter); }, "192.0.2.1",
         "bob",
         "Blocked URL: https://example.com:8443/a?b=c (Check failure: Vetter is not available [ox.Error:123]). "
         "User: bob from 192.0.2.1",
         nullptr},
        {"category_both", [&] { return blocked_url(url("http://example.com/"), 0x1000); }, "192.0.2.1", "bob",
         "Blocked URL: http://example.com (Copyright owner's notice). User: bob from 192.0.2.1",
         set_category(ox::UC_OWNERS_NOTICE)},
        {"check_failure_without_url",
         [&] { return check_error(nullptr, std::make_exception_ptr(std::runtime_error("boom"))); }, "", "",
         "Blocked data from unknown source (Check failure: boom)", nullptr},
        {"unspecified_category", [&] { return blocked_url(url("http://example.com/"), 0x40000000); }, "", "",
         "Blocked URL: http://example.com (Unspecified)", set_category(ox::UC_BLACK_LIST)},
        {"black_list_without_url", [&] { return blocked_url(nullptr, 0x4); }, "", "",
         "Blocked data from unknown source (Black list)", set_category(ox::UC_BLACK_LIST)},
    };
    for (const report_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        log->records.clear();
        const auto verdict = c.verdict();
        verdict->client_ip = c.client_ip;
        verdict->client_user = c.client_user;
        answer(*verdict);
        EXPECT_EQ(records(cf_log_notice), std::vector<std::string>{c.notice});
        if (!c.reason)
            continue;
        // A check failure before this case sent nothing, or this would be
        // its incident.
        const auto incident = next_incident();
        ASSERT_TRUE(incident);
        ox::NetIncident expected;
        expected.set_origin(ox::APP_TRAXD);
        expected.set_origin_pid(::getpid());
        if (*c.client_ip) {
            expected.mutable_connection()->mutable_src_endpoint()->set_address(c.client_ip);
            expected.mutable_connection()->mutable_src_endpoint()->set_port(0);
        }
        if (*c.client_user)
            expected.mutable_connection()->set_user(c.client_user);
        ox::HttpBlock* block = expected.mutable_http_block();
        block->set_url(verdict->url ? verdict->url->to_string(ox::oxs::url_t::plain) : "");
        block->set_direction(verdict->response_side ? ox::HttpBlock::RESPONSE : ox::HttpBlock::REQUEST);
        block->set_bytes_passed_over(0);
        c.reason(*block);
        EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(*incident, expected))
            << incident->DebugString() << "\nexpected:\n"
            << expected.DebugString();
    }
}

// PilotD learns of the block whether or not the log shows it.
TEST_F(answer_report_test, incident_without_notices)
{
    cf_log_threshold = cf_log_warning;
    auto verdict = blocked_url(url("http://example.com/"), 0x8);
    answer(*verdict);
    EXPECT_TRUE(records(cf_log_notice).empty());
    const auto incident = next_incident();
    ASSERT_TRUE(incident);
    EXPECT_EQ(incident->http_block().category(), ox::UC_VIOLENCE);
}

} // namespace
