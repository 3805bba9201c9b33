// Lookups of the hook through the daemon with the stand-in SeekD: the
// answers reach the script, a repeated question is answered from the
// daemon's cache without asking SeekD again, and without SeekD the hook
// fails with the reason.

#include <thread>

#include "e2e/daemon_fixture.hpp"
#include "standins/seekd_standin.hpp"

namespace e2e {
namespace {

// Asks the same two questions in every transaction; the tag and the
// parameter name are written as scripts may write them.
const std::string hook = R"(local orvex = require('orvex')
local lookup = require('orvex.lookup')
function message_hook(t)
    local groups = lookup.lookup("ldap@Groups", {User = "alice"})
    local staff = lookup.check("staff", "ldap@groups", {user = "alice"})
    orvex.notice("groups: " .. table.concat(groups, " ") .. " staff=" .. tostring(staff))
    return "pass"
end)";

const std::string head = "GET http://www.example.com/ HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
const std::string query = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n"
                          "Encapsulated: req-hdr=0, null-body=" +
                          std::to_string(head.size()) + "\r\n\r\n" + head;

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

class lookup_test_t : public daemon_test_t {
protected:
    lookup_test_t()
    {
        seekd.load_table("ldap@groups user=alice : staff admins\n");
        settings.mutable_message_hook()->set_buffer(hook);
        settings.set_use_204(true);
    }

    standin::seekd_standin_t seekd;
};

TEST_F(lookup_test_t, repeated_questions_are_answered_from_the_cache)
{
    pilotd.set_socket_path(ox::APP_SEEKD, seekd.path());
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    const std::string line = ": groups: staff admins staff=true\n";
    for (int i = 1; i <= 2; ++i) {
        client.send(query);
        const auto answer = client.read_answer();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->rfind("ICAP/1.0 204 ", 0), 0u) << *answer;
    }
    // The daemon's standard error arrives through a pipe of its own: the
    // second line may come after the second answer.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (occurrences(pilotd.stderr_text(), line) < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(occurrences(pilotd.stderr_text(), line), 2u);
    const auto requests = seekd.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].tag(), sk::ClientMessage::LOOKUP_REQUEST);
    EXPECT_EQ(requests[0].lookup_tag(), "groups");
    EXPECT_EQ(requests[0].user(), "alice");
    EXPECT_EQ(requests[1].tag(), sk::ClientMessage::CHECK_REQUEST);
    EXPECT_EQ(requests[1].check(), "staff");
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(lookup_test_t, without_seekd_the_hook_fails_with_the_reason)
{
    ox::Error not_installed;
    not_installed.set_code(ox::EC_NOT_INSTALLED);
    pilotd.set_socket_error(ox::APP_SEEKD, not_installed);
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    client.send(query);
    const auto answer = client.read_answer();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->rfind("ICAP/1.0 204 ", 0), 0u) << *answer;
    EXPECT_TRUE(pilotd.wait_for_stderr("Check failure: Lookup: SeekD is not available\n"));
    EXPECT_EQ(seekd.requests().size(), 0u);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

} // namespace
} // namespace e2e
