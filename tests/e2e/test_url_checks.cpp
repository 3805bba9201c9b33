// URL checks through the daemon and its hook with the stand-in Tagger: the
// categories Tagger gives, the category and domain-list tests of the hook,
// blocks for a category with their incident, the server addresses Tagger
// receives (the proxy's "X-Server-IP", else what the host resolves to),
// one request to Tagger per transaction, and Tagger missing.

#include <algorithm>
#include <memory>

#include "e2e/daemon_fixture.hpp"
#include "standins/tagger_standin.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

// Logs what it learnt of the URL, then blocks adult sites and a listed
// domain; the categories are read twice, Tagger is asked once.
const std::string hook = R"(local orvex = require('orvex')
function message_hook(t)
    local url = t.request.url
    local names = {}
    for name in url.categories() do names[#names + 1] = name end
    local adult = url.in_categories({"adult_content"})
    local listed = url.in_list({"Listed.Example."})
    orvex.notice(tostring(url) .. ": [" .. table.concat(names, " ") .. "] adult=" .. tostring(adult) ..
        " listed=" .. tostring(listed) .. " legal=" .. tostring(url.legal_url))
    if adult or listed then return "block" end
    return "pass"
end)";

const std::string tagger_table = "casino.example  gambling adult_content\n"
                                 "jobs.example    jobs\n"
                                 "films.example   owners_notice legal=https://shop.films.example/\n";

std::string reqmod(const std::string& host, const std::string& icap_fields)
{
    const std::string head = "GET http://" + host + "/page HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n" + icap_fields +
           "Encapsulated: req-hdr=0, null-body=" + std::to_string(head.size()) + "\r\n\r\n" + head;
}

class url_check_test_t : public daemon_test_t {
protected:
    url_check_test_t()
    {
        tagger.load_table(tagger_table);
        settings.mutable_message_hook()->set_buffer(hook);
        settings.set_use_204(true);
        pilotd.set_socket_path(ox::APP_TAGGER, tagger.path());
    }

    // The head of the answer to a REQMOD for the host.
    std::optional<std::string> ask(const std::string& host, const std::string& icap_fields)
    {
        client->send(reqmod(host, icap_fields));
        return client->read_answer();
    }

    standin::tagger_standin_t tagger;
    std::unique_ptr<standin::icap_client_t> client;
};

struct category_case_t {
    const char* name;
    std::string host;
    // What the hook logs after the URL.
    std::string learnt;
    bool blocked;
};

class url_category_test_t : public url_check_test_t, public ::testing::WithParamInterface<category_case_t> {};

TEST_P(url_category_test_t, hook_sees_the_categories_and_decides)
{
    const auto& c = GetParam();
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    client = std::make_unique<standin::icap_client_t>(port);
    const auto answer = ask(c.host, "X-Server-IP: 192.0.2.7\r\nX-Client-IP: 192.0.2.10\r\n");
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(pilotd.wait_for_stderr(": http://" + c.host + "/page: " + c.learnt + "\n")) << c.learnt;
    if (c.blocked) {
        EXPECT_EQ(answer->rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << *answer;
        EXPECT_NE(answer->find("\r\nX-Response-Info: Blocked\r\n"), std::string::npos) << *answer;
        EXPECT_NE(answer->find("\r\nHTTP/1.0 403 "), std::string::npos) << *answer;
        const auto incident = pilotd.wait_for_frame(tag_t::MY_INCIDENTS_NOTIFICATION, from);
        ASSERT_TRUE(incident.has_value());
        ASSERT_EQ(incident->message.incident_size(), 1);
        EXPECT_EQ(incident->message.incident(0).http_block().url(), "http://" + c.host + "/page");
    } else {
        EXPECT_EQ(answer->rfind("ICAP/1.0 204 ", 0), 0u) << *answer;
    }
    // Tagger was asked once, with the proxy's server address.
    const auto requests = tagger.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].raw_url(), "http://" + c.host + "/page");
    ASSERT_EQ(requests[0].addresses().ip_size(), 1);
    EXPECT_EQ(requests[0].addresses().ip(0).address(), "192.0.2.7");
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(
    hosts, url_category_test_t,
    ::testing::Values(
        category_case_t{"two_categories_block", "www.casino.example",
                        "[adult_content gambling] adult=true listed=false legal=nil", true},
        category_case_t{"other_category_passes", "jobs.example", "[jobs] adult=false listed=false legal=nil", false},
        category_case_t{"owners_notice_passes", "films.example",
                        "[owners_notice] adult=false listed=false legal=https://shop.films.example/", false},
        category_case_t{"unclassified_passes", "plain.example", "[] adult=false listed=false legal=nil", false},
        category_case_t{"listed_subdomain_blocks", "a.listed.example", "[] adult=false listed=true legal=nil", true},
        category_case_t{"name_merely_ending_alike_passes", "notlisted.example", "[] adult=false listed=false legal=nil",
                        false}),
    [](const auto& info) { return std::string(info.param.name); });

// Without "X-Server-IP" the daemon resolves the host itself and sends what
// it found; a field that holds no address counts as missing.
TEST_F(url_check_test_t, host_is_resolved_without_a_server_address)
{
    ASSERT_TRUE(start_configured());
    client = std::make_unique<standin::icap_client_t>(port);
    ASSERT_TRUE(ask("localhost", "").has_value());
    ASSERT_TRUE(ask("localhost", "X-Server-IP: localhost\r\n").has_value());
    const auto requests = tagger.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        std::vector<std::string> sent;
        for (const auto& address : request.addresses().ip())
            sent.push_back(address.address());
        EXPECT_NE(std::find(sent.begin(), sent.end(), "127.0.0.1"), sent.end()) << request.DebugString();
    }
    EXPECT_TRUE(pilotd.wait_for_stderr("Resolving host localhost: Success\n"));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

struct tagger_missing_case_t {
    const char* name;
    bool block_unchecked;
};

class tagger_missing_test_t : public url_check_test_t, public ::testing::WithParamInterface<tagger_missing_case_t> {};

// Without Tagger the categories cannot be had: the hook fails, and the
// setting decides.
TEST_P(tagger_missing_test_t, hook_fails_and_the_setting_decides)
{
    const auto& c = GetParam();
    ox::Error not_installed;
    not_installed.set_code(ox::EC_NOT_INSTALLED);
    pilotd.set_socket_error(ox::APP_TAGGER, not_installed);
    settings.set_block_unchecked(c.block_unchecked);
    ASSERT_TRUE(start_configured());
    client = std::make_unique<standin::icap_client_t>(port);
    const auto answer = ask("www.casino.example", "X-Server-IP: 192.0.2.7\r\n");
    ASSERT_TRUE(answer.has_value());
    if (c.block_unchecked)
        EXPECT_NE(answer->find("\r\nX-Response-Info: Blocked\r\n"), std::string::npos) << *answer;
    else
        EXPECT_EQ(answer->rfind("ICAP/1.0 204 ", 0), 0u) << *answer;
    EXPECT_TRUE(pilotd.wait_for_stderr("failed to check URL: Tagger is not available"));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(block_unchecked, tagger_missing_test_t,
                         ::testing::Values(tagger_missing_case_t{"passes", false},
                                           tagger_missing_case_t{"blocks", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
