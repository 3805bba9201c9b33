// Blocking answers through the daemon, byte for byte: the 403 page in the
// language the browser prefers, as a REQMOD or a RESPMOD answer, the CONNECT
// rewrite, the notice line and the incident the stand-in PilotD receives;
// a block for a failed check is only logged.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "e2e/daemon_fixture.hpp"
#include "schemas/incident.pb.h"

namespace e2e {
namespace {

using e2e::PrintTo;

// Blocks one host, fails on another (blocked too, with block_unchecked),
// lets the rest pass.
const std::string hook = R"(function message_hook(t)
    local host = t.request.value("Host")
    if host == "blocked.example" or host == "blocked.example:443" then return "block" end
    if host == "broken.example" then error("cannot check") end
    return "pass"
end)";

// Pages that show which template and which sections were chosen.
const std::string page_template = "{{#HAS_URL}} {{URL}}{{/HAS_URL}}{{#HAS_NO_URL}} no url{{/HAS_NO_URL}}"
                                  "{{#BLACK_LIST}} black list{{/BLACK_LIST}}{{#UC_BLACK_LIST}} uc{{/UC_BLACK_LIST}}"
                                  "{{#CHECK_ERROR}} check error{{/CHECK_ERROR}}";

std::string size(const std::string& text)
{
    return std::to_string(text.size());
}

std::string hex_size(const std::string& text)
{
    std::ostringstream out;
    out << std::hex << text.size();
    return out.str();
}

std::string request_head(const std::string& start_line, const std::string& host, const std::string& fields = "")
{
    return start_line + "\r\nHost: " + host + "\r\n" + fields + "\r\n";
}

const std::string client_fields = "X-Client-IP: 192.0.2.10\r\nX-Client-Username: alice\r\n";
const std::string response_head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                  "Content-Length: 5\r\n\r\n";

std::string reqmod(const std::string& head)
{
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n" + client_fields +
           "Encapsulated: req-hdr=0, null-body=" + size(head) + "\r\n\r\n" + head;
}

std::string respmod(const std::string& head)
{
    return "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n" + client_fields +
           "Encapsulated: req-hdr=0, res-hdr=" + size(head) + ", res-body=" + size(head + response_head) + "\r\n\r\n" +
           head + response_head + "5\r\nhello\r\n0\r\n\r\n";
}

// The answer with a block page: the ICAP head, the 403 head (its Date
// shown as <date>, though counted in the Encapsulated offset at its real
// width, as in "Thu, 01 Jan 2026 00:00:00 GMT") and the page in chunked
// coding.
std::string page_answer(const std::string& page)
{
    const std::string head = "HTTP/1.0 403 Blocked by Orvex TRAXD\r\nContent-Length: " + size(page) +
                             "\r\nContent-Type: text/html\r\nDate: <date>\r\n\r\n";
    const std::size_t sent_size = head.size() - std::string("<date>").size() + 29;
    return "ICAP/1.0 200 OK\r\nConnection: keep-alive\r\nEncapsulated: res-hdr=0, res-body=" +
           std::to_string(sent_size) + "\r\nX-Response-Info: Blocked\r\n\r\n" + head + hex_size(page) + "\r\n" + page +
           "\r\n0\r\n\r\n";
}

// The answer as it came, without its ISTag line and with the date of the
// page's head replaced; nothing when the date is not in HTTP's form.
std::optional<std::string> normalized(std::string answer)
{
    const std::size_t tag = answer.find("\r\nISTag: ");
    if (tag != std::string::npos)
        answer.erase(tag, answer.find("\r\n", tag + 2) - tag);
    static const std::regex date(
        "\r\nDate: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT\r\n");
    std::smatch found;
    if (std::regex_search(answer, found, date))
        answer.replace(found.position(), found.length(), "\r\nDate: <date>\r\n");
    else if (answer.find("\r\nDate: ") != std::string::npos)
        return std::nullopt;
    return answer;
}

struct block_case_t {
    const char* name;
    std::string query;
    std::string answer;
    std::string notice;
    // The incident's direction and URL; none for a check failure.
    std::optional<ox::HttpBlock::Direction> direction;
    std::string incident_url;
};

class blocking_test_t : public daemon_test_t, public ::testing::WithParamInterface<block_case_t> {
protected:
    void write_template(const std::string& language, const std::string& text) const
    {
        std::filesystem::create_directories(templates_dir + "/" + language);
        std::ofstream(templates_dir + "/" + language + "/block_traxd.tpl") << text;
    }

    ox::NetIncident expected_incident(ox::HttpBlock::Direction direction, const std::string& url) const
    {
        ox::NetIncident incident;
        incident.set_origin(ox::APP_TRAXD);
        incident.set_origin_pid(pilotd.pid());
        incident.mutable_connection()->mutable_src_endpoint()->set_address("192.0.2.10");
        incident.mutable_connection()->mutable_src_endpoint()->set_port(0);
        incident.mutable_connection()->set_user("alice");
        ox::HttpBlock& block = *incident.mutable_http_block();
        block.set_url(url);
        block.set_direction(direction);
        block.set_bytes_passed_over(0);
        block.set_category(ox::UC_BLACK_LIST);
        return incident;
    }
};

TEST_P(blocking_test_t, answer_notice_and_incident)
{
    const auto& c = GetParam();
    write_template("en", "EN" + page_template);
    write_template("de", "DE" + page_template);
    settings.mutable_message_hook()->set_buffer(hook);
    settings.set_block_unchecked(true);
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    client.send(c.query);
    const auto got = client.read_answer();
    ASSERT_TRUE(got.has_value()) << "no whole answer";
    EXPECT_EQ(normalized(*got), c.answer);
    EXPECT_TRUE(pilotd.wait_for_stderr("Notice: " + c.notice + "\n")) << c.notice;

    // Incidents arrive in the order of the blocks: one more block whose
    // incident is known shows whether this one sent any.
    const std::string marker_head = request_head("GET http://blocked.example/marker HTTP/1.1", "blocked.example");
    client.send(reqmod(marker_head));
    ASSERT_TRUE(client.read_answer().has_value());
    const auto marker = expected_incident(ox::HttpBlock::REQUEST, "http://blocked.example/marker");
    ASSERT_TRUE(pilotd.wait_for_stderr("Notice: Blocked URL: http://blocked.example/marker (Black list)"));
    std::vector<ox::NetIncident> incidents;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        incidents.clear();
        for (const auto& frame : pilotd.frames())
            if (frame.message.tag() == tag_t::MY_INCIDENTS_NOTIFICATION)
                for (const auto& incident : frame.message.incident())
                    incidents.push_back(incident);
        if (!incidents.empty() && incidents.back().DebugString() == marker.DebugString())
            break;
        std::this_thread::sleep_for(20ms);
    }
    std::vector<std::string> texts;
    for (const auto& incident : incidents)
        texts.push_back(incident.DebugString());
    std::vector<std::string> expected;
    if (c.direction)
        expected.push_back(expected_incident(*c.direction, c.incident_url).DebugString());
    expected.push_back(marker.DebugString());
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

const std::string page_url = "http://blocked.example/a/b.html";
const std::string connect_rewrite = "CONNECT blocked.example.orvex.invalid.:443 HTTP/1.1\r\n"
                                    "Host: blocked.example.orvex.invalid.:443\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    blocks, blocking_test_t,
    ::testing::Values(
        block_case_t{"reqmod_page", reqmod(request_head("GET " + page_url + " HTTP/1.1", "blocked.example")),
                     page_answer("EN " + page_url + " black list uc"),
                     "Blocked URL: " + page_url + " (Black list). User: alice from 192.0.2.10", ox::HttpBlock::REQUEST,
                     page_url},
        block_case_t{"page_in_the_preferred_language",
                     reqmod(request_head("GET " + page_url + " HTTP/1.1", "blocked.example",
                                         "Accept-Language: fr;q=0.9, de-CH, en;q=0.5\r\n")),
                     page_answer("DE " + page_url + " black list uc"),
                     "Blocked URL: " + page_url + " (Black list). User: alice from 192.0.2.10", ox::HttpBlock::REQUEST,
                     page_url},
        block_case_t{
            "respmod_page",
            respmod(request_head("GET " + page_url + " HTTP/1.1", "blocked.example", "Accept-Language: de\r\n")),
            page_answer("DE " + page_url + " black list uc"),
            "Blocked URL: " + page_url + " (Black list). User: alice from 192.0.2.10", ox::HttpBlock::RESPONSE,
            page_url},
        block_case_t{
            "connect_rewrite", reqmod(request_head("CONNECT blocked.example:443 HTTP/1.1", "blocked.example:443")),
            "ICAP/1.0 200 OK\r\nConnection: keep-alive\r\nEncapsulated: req-hdr=0, null-body=" + size(connect_rewrite) +
                "\r\nX-Response-Info: Blocked\r\n\r\n" + connect_rewrite,
            "Blocked URL: https://blocked.example (Black list). User: alice from 192.0.2.10", ox::HttpBlock::REQUEST,
            "https://blocked.example"},
        block_case_t{"check_failure", reqmod(request_head("GET http://broken.example/x HTTP/1.1", "broken.example")),
                     page_answer("EN http://broken.example/x check error"),
                     "Blocked URL: http://broken.example/x (Check failure: [string \"function message_hook(t)...\"]:4: "
                     "cannot check). User: alice from 192.0.2.10",
                     std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
