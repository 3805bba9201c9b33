// Connections to Tagger and SeekD that have nothing to do are closed on the
// eleventh tick after their last answer, and the next question makes a new
// one.

#include <thread>

#include "e2e/daemon_fixture.hpp"
#include "standins/seekd_standin.hpp"
#include "standins/tagger_standin.hpp"

namespace e2e {
namespace {

const std::string hook = R"(local lookup = require('orvex.lookup')
function message_hook(t)
    t.request.url.in_categories({"jobs"})
    lookup.lookup("ldap@groups")
    return "pass"
end)";

const std::string head = "GET http://www.example.com/ HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
const std::string query = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n"
                          "X-Server-IP: 192.0.2.7\r\nEncapsulated: req-hdr=0, null-body=" +
                          std::to_string(head.size()) + "\r\n\r\n" + head;

class idle_services_test_t : public daemon_test_t {};

TEST_F(idle_services_test_t, closed_on_the_eleventh_tick_after_the_last_answer)
{
    standin::tagger_standin_t tagger;
    standin::seekd_standin_t seekd;
    settings.mutable_message_hook()->set_buffer(hook);
    settings.set_use_204(true);
    pilotd.set_socket_path(ox::APP_TAGGER, tagger.path());
    pilotd.set_socket_path(ox::APP_SEEKD, seekd.path());
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    client.send(query);
    ASSERT_TRUE(client.read_answer().has_value());
    ASSERT_EQ(tagger.listener().accepted(), 1u);
    ASSERT_EQ(seekd.listener().accepted(), 1u);

    // Ticks come once a second: eight seconds on, fewer than eleven have
    // passed; by fourteen, more.
    std::this_thread::sleep_for(8s);
    EXPECT_EQ(tagger.listener().ended(), 0u);
    EXPECT_EQ(seekd.listener().ended(), 0u);
    EXPECT_TRUE(tagger.listener().wait_for_ended(1, 6s));
    EXPECT_TRUE(seekd.listener().wait_for_ended(1, 6s));

    // The lookup is cached; a new URL check connects anew.
    client.send(query);
    ASSERT_TRUE(client.read_answer().has_value());
    EXPECT_EQ(tagger.listener().accepted(), 2u);
    EXPECT_EQ(tagger.requests().size(), 2u);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

} // namespace
} // namespace e2e
