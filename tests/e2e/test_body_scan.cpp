// Bodies scanned by the stand-in Vetter through the daemon and its hook: a
// threat blocks with the threat fields and an incident, a clean body comes
// back as Vetter returns it, and when Vetter is missing, dies in the middle
// of a body or raises an ALARM, the setting block_unchecked decides between
// the block page and the whole body, of which no byte is lost. Each failure
// becomes the scan state reported to PilotD.

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "e2e/daemon_fixture.hpp"
#include "e2e/vetter_thread.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

const std::string hook = R"(function message_hook(t)
    if t.body.has_threat() then return "block" end
    return "pass"
end)";

const std::string request_head = "GET http://files.example/dl/sample.txt HTTP/1.1\r\nHost: files.example\r\n\r\n";
const std::string response_head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string first_chunk = "5\r\nhello\r\n";
const std::string rest_of_body = "6\r\n world\r\n0\r\nT: v\r\n\r\n";

// A RESPMOD query without "Allow: 204", so that every answer carries a body;
// the body is sent separately.
std::string respmod_head()
{
    return "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n"
           "X-Client-IP: 192.0.2.10\r\nX-Client-Username: alice\r\nEncapsulated: req-hdr=0, res-hdr=" +
           std::to_string(request_head.size()) +
           ", res-body=" + std::to_string(request_head.size() + response_head.size()) + "\r\n\r\n" + request_head +
           response_head;
}

// An answer taken apart: its ICAP head, its HTTP head, and its chunked body
// as written and decoded.
struct answer_t {
    std::string icap_head;
    std::string http_head;
    std::string body_wire;
    std::string data;
    std::string trailers;
};

std::optional<answer_t> take_apart(const std::string& text)
{
    answer_t answer;
    const auto head_end = text.find("\r\n\r\n");
    if (head_end == std::string::npos)
        return std::nullopt;
    answer.icap_head = text.substr(0, head_end + 4);
    const auto http_end = text.find("\r\n\r\n", head_end + 4);
    if (http_end == std::string::npos)
        return std::nullopt;
    answer.http_head = text.substr(head_end + 4, http_end + 4 - head_end - 4);
    answer.body_wire = text.substr(http_end + 4);
    std::istringstream wire(answer.body_wire);
    for (std::string line; std::getline(wire, line);) {
        const std::size_t size = std::stoul(line, nullptr, 16);
        if (size == 0) {
            while (std::getline(wire, line) && line != "\r")
                answer.trailers += line + "\n";
            return answer;
        }
        std::string data(size, '\0');
        wire.read(data.data(), static_cast<std::streamsize>(size));
        answer.data += data;
        std::getline(wire, line);
    }
    return std::nullopt;
}

class body_scan_test_t : public daemon_test_t {
protected:
    body_scan_test_t()
    {
        std::filesystem::create_directories(templates_dir + "/en");
        std::ofstream(templates_dir + "/en/block_traxd.tpl")
            << "blocked{{#THREAT_DOWNLOAD}}: {{THREAT}}{{/THREAT_DOWNLOAD}}";
        settings.mutable_message_hook()->set_buffer(hook);
        pilotd.set_socket_path(ox::APP_VETTER, vetter_path());
    }

    std::string vetter_path() const { return templates_dir + "/vetter.sock"; }

    // The scan state of the first report from the frame at `from` on.
    std::optional<ox::ErrorCode> state_from(std::size_t from)
    {
        const auto info = pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from);
        return info ? std::optional<ox::ErrorCode>(info->message.info().scan_state()) : std::nullopt;
    }

    std::unique_ptr<vetter_thread_t> vetter = std::make_unique<vetter_thread_t>(vetter_path());
};

// A clean body comes back as Vetter returns it, in one chunk per piece
// Vetter sent, ending with the trailers of the body that was sent; Vetter
// scanned exactly the client's bytes.
TEST_F(body_scan_test_t, clean_body_is_what_vetter_returns)
{
    standin::vetter_scenario_t scenario;
    scenario.transform = [](std::string data) {
        for (char& ch : data)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return data;
    };
    vetter->vetter.set_scenario(scenario);
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    client.send(respmod_head() + first_chunk + rest_of_body);
    const auto text = client.read_answer();
    ASSERT_TRUE(text.has_value());
    const auto answer = take_apart(*text);
    ASSERT_TRUE(answer.has_value()) << *text;
    EXPECT_EQ(answer->icap_head.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << answer->icap_head;
    EXPECT_EQ(answer->icap_head.find("X-Response-Info"), std::string::npos);
    EXPECT_EQ(answer->http_head, response_head);
    EXPECT_EQ(answer->body_wire, "b\r\nHELLO WORLD\r\n0\r\nT: v\r\n\r\n");
    std::string scanned;
    for (const auto& received : vetter->vetter.received())
        if (received.message.tag() == vr::ClientMessage::DATA_CHUNK)
            scanned += received.message.data();
    EXPECT_EQ(scanned, "hello world");
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// A threat blocks with the page and the fields that name the threat, and
// PilotD gets an incident about it.
TEST_F(body_scan_test_t, threat_blocks_with_its_fields_and_an_incident)
{
    standin::vetter_scenario_t scenario;
    scenario.threats.push_back({"world", ox::SE_KNOWN_VIRUS, "Test.Marker"});
    vetter->vetter.set_scenario(scenario);
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    standin::icap_client_t client(port);
    client.send(respmod_head() + first_chunk + rest_of_body);
    const auto text = client.read_answer();
    ASSERT_TRUE(text.has_value());
    const auto answer = take_apart(*text);
    ASSERT_TRUE(answer.has_value()) << *text;
    const std::string& head = answer->icap_head;
    EXPECT_EQ(head.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nX-Response-Info: Blocked\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-Infection-Found: Type=0; Resolution=0; Threat=Test.Marker;\r\n"), std::string::npos)
        << head;
    EXPECT_NE(head.find("\r\nX-Violations-Found: 1\r\n\tsample.txt\r\n\tTest.Marker\r\n\t" +
                        std::to_string(ox::SE_KNOWN_VIRUS) + "\r\n\t0\r\n"),
              std::string::npos)
        << head;
    EXPECT_NE(head.find("\r\nX-Virus-ID: Test.Marker\r\n"), std::string::npos) << head;
    EXPECT_EQ(answer->http_head.find("HTTP/1.0 403 "), 0u) << answer->http_head;

    const auto incident = pilotd.wait_for_frame(tag_t::MY_INCIDENTS_NOTIFICATION, from);
    ASSERT_TRUE(incident.has_value());
    ASSERT_EQ(incident->message.incident_size(), 1);
    const ox::NetIncident& sent = incident->message.incident(0);
    EXPECT_EQ(sent.http_block().url(), "http://files.example/dl/sample.txt");
    EXPECT_EQ(sent.http_block().direction(), ox::HttpBlock::RESPONSE);
    EXPECT_EQ(sent.connection().user(), "alice");
    EXPECT_NE(sent.DebugString().find("Test.Marker"), std::string::npos) << sent.DebugString();
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// A proxy that sends a zero-length preview gets 100 "Continue" when the
// hook wants the body, and the body that follows is scanned as a whole.
TEST_F(body_scan_test_t, body_after_a_preview_is_scanned)
{
    settings.set_use_preview(true);
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    std::string head = respmod_head();
    head.insert(head.find("Encapsulated: "), "Preview: 0\r\n");
    client.send(head + "0\r\n\r\n");
    const auto interim = client.read_head();
    ASSERT_TRUE(interim.has_value());
    EXPECT_EQ(interim->rfind("ICAP/1.0 100 Continue\r\n", 0), 0u) << *interim;
    client.send(first_chunk + rest_of_body);
    const auto text = client.read_answer();
    ASSERT_TRUE(text.has_value());
    const auto answer = take_apart(*text);
    ASSERT_TRUE(answer.has_value()) << *text;
    EXPECT_EQ(answer->icap_head.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << answer->icap_head;
    EXPECT_EQ(answer->data, "hello world");
    EXPECT_EQ(answer->trailers, "T: v\r\n");
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

enum class failure_t { not_installed, dies_mid_body, alarm };

struct failure_case_t {
    const char* name;
    failure_t failure;
    bool block_unchecked;
    ox::ErrorCode state;
    // The answer may start before the query has been read to its end.
    bool early_response = false;
};

class scan_failure_test_t : public body_scan_test_t, public ::testing::WithParamInterface<failure_case_t> {};

// Whatever went wrong, the message is either blocked (block_unchecked) or
// passes with its whole body: what Vetter had received, then the rest of
// the client's body as it came, with its trailers.
TEST_P(scan_failure_test_t, blocks_or_passes_the_whole_body)
{
    const auto& c = GetParam();
    standin::vetter_scenario_t scenario;
    switch (c.failure) {
    case failure_t::not_installed: {
        ox::Error not_installed;
        not_installed.set_code(ox::EC_NOT_INSTALLED);
        pilotd.set_socket_error(ox::APP_VETTER, not_installed);
        break;
    }
    case failure_t::dies_mid_body:
        scenario.close_after_chunks = 1;
        break;
    case failure_t::alarm:
        scenario.alarm_after_chunks = 0;
        scenario.alarm_code = ox::EC_SCAN_LIMIT_REACHED;
        break;
    }
    vetter->vetter.set_scenario(scenario);
    settings.set_block_unchecked(c.block_unchecked);
    settings.set_allow_early_response(c.early_response);
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    standin::icap_client_t client(port);
    if (c.failure == failure_t::dies_mid_body) {
        // Vetter goes away with the first chunk (which the daemon passes on
        // once the next one begins); the rest comes after.
        const std::size_t split = rest_of_body.find("\r\n") + 2;
        client.send(respmod_head() + first_chunk + rest_of_body.substr(0, split));
        ASSERT_TRUE(pilotd.wait_for_stderr("Warning: Vetter "));
        client.send(rest_of_body.substr(split));
    } else {
        client.send(respmod_head() + first_chunk + rest_of_body);
    }
    const auto text = client.read_answer();
    ASSERT_TRUE(text.has_value());
    const auto answer = take_apart(*text);
    ASSERT_TRUE(answer.has_value()) << *text;
    EXPECT_EQ(answer->icap_head.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << answer->icap_head;
    EXPECT_EQ(answer->icap_head.find("X-Infection-Found"), std::string::npos);
    if (c.block_unchecked) {
        EXPECT_NE(answer->icap_head.find("\r\nX-Response-Info: Blocked\r\n"), std::string::npos);
        EXPECT_EQ(answer->http_head.find("HTTP/1.0 403 "), 0u) << answer->http_head;
    } else {
        EXPECT_EQ(answer->icap_head.find("X-Response-Info"), std::string::npos);
        EXPECT_EQ(answer->http_head, response_head);
        EXPECT_EQ(answer->data, "hello world") << answer->body_wire;
        EXPECT_EQ(answer->trailers, "T: v\r\n");
    }
    EXPECT_EQ(state_from(from), c.state);
    // The connection goes on.
    const auto options = client.ask(standin::options_query(port, "/respmod"));
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->status_line, "ICAP/1.0 200 OK");
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(
    failures, scan_failure_test_t,
    ::testing::Values(
        failure_case_t{"not_installed_passes", failure_t::not_installed, false, ox::EC_NO_VETTER},
        failure_case_t{"not_installed_blocks", failure_t::not_installed, true, ox::EC_NO_VETTER},
        failure_case_t{"dies_mid_body_passes", failure_t::dies_mid_body, false, ox::EC_LINK_DISCONNECTED},
        failure_case_t{"dies_mid_body_blocks", failure_t::dies_mid_body, true, ox::EC_LINK_DISCONNECTED},
        failure_case_t{"alarm_passes", failure_t::alarm, false, ox::EC_SCAN_LIMIT_REACHED},
        failure_case_t{"alarm_blocks", failure_t::alarm, true, ox::EC_SCAN_LIMIT_REACHED},
        failure_case_t{"not_installed_passes_early", failure_t::not_installed, false, ox::EC_NO_VETTER, true},
        failure_case_t{"dies_mid_body_passes_early", failure_t::dies_mid_body, false, ox::EC_LINK_DISCONNECTED, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
