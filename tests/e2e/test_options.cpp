// The OPTIONS answer byte for byte as the settings shape it, and
// keep-alive across several queries on one connection.

#include <ctime>
#include <memory>
#include <string>

#include "e2e/daemon_fixture.hpp"
#include "e2e/vetter_thread.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

using fields_t = std::vector<std::pair<std::string, std::string>>;

// The ISTag is the clock's seconds without their last digit, quoted; the
// answer was made between `before` and `after`.
bool istag_within(const std::string& tag, std::time_t before, std::time_t after)
{
    for (std::time_t t = before; t <= after; ++t)
        if (tag == "\"" + std::to_string(t / 10) + "\"")
            return true;
    return false;
}

struct options_case_t {
    const char* name;
    std::string path;
    bool use_204;
    bool use_preview;
};

class options_test_t : public daemon_test_t, public ::testing::WithParamInterface<options_case_t> {};

// The fields in the order they are written: the field map sorts the names
// without regard to case.
fields_t expected_fields(const options_case_t& c, const std::string& istag, const std::string& connection)
{
    const bool reqmod = c.path.rfind("/reqmod", 0) == 0;
    fields_t fields;
    if (c.use_204)
        fields.emplace_back("Allow", "204");
    fields.emplace_back("Connection", connection);
    fields.emplace_back("Encapsulated", "null-body=0");
    fields.emplace_back("ISTag", istag);
    fields.emplace_back("Methods", reqmod ? "REQMOD" : "RESPMOD");
    fields.emplace_back("Options-TTL", "60");
    if (c.use_preview)
        fields.emplace_back("Preview", "0");
    fields.emplace_back("Service", "Orvex TRAXD 11.1.9.2205231640");
    if (c.use_preview)
        fields.emplace_back("Transfer-Preview", "*");
    else
        fields.emplace_back("Transfer-Complete", "*");
    fields.emplace_back("X-Allow-Out", "X-Response-Info, X-Infection-Found, X-Violations-Found, X-Virus-ID");
    fields.emplace_back("X-Include", "X-Client-IP, X-Server-IP");
    return fields;
}

TEST_P(options_test_t, answer_is_exact)
{
    const auto& c = GetParam();
    settings.set_use_204(c.use_204);
    settings.set_use_preview(c.use_preview);
    ASSERT_TRUE(start_configured());

    standin::icap_client_t client(port);
    const std::time_t before = std::time(nullptr);
    client.send(standin::options_query(port, c.path));
    const auto text = client.read_head();
    const std::time_t after = std::time(nullptr);
    ASSERT_TRUE(text.has_value());
    const auto head = standin::parse_icap_head(*text);
    EXPECT_EQ(head.status_line, "ICAP/1.0 200 OK");
    const std::string istag = head.field("ISTag").value_or("");
    EXPECT_TRUE(istag_within(istag, before, after)) << istag;
    EXPECT_EQ(head.fields, expected_fields(c, istag, "keep-alive")) << *text;
    // No body follows the head, and the connection stays for more.
    EXPECT_TRUE(client.stays_open(300ms));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(services, options_test_t,
                         ::testing::Values(options_case_t{"respmod_plain", "/respmod", false, false},
                                           options_case_t{"respmod_204", "/respmod", true, false},
                                           options_case_t{"respmod_preview", "/respmod", false, true},
                                           options_case_t{"respmod_204_preview", "/respmod", true, true},
                                           options_case_t{"reqmod_plain", "/reqmod", false, false},
                                           options_case_t{"reqmod_204_preview", "/reqmod", true, true},
                                           options_case_t{"reqmod_trailing_slash", "/reqmod/", true, false},
                                           options_case_t{"respmod_trailing_slash", "/respmod/", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Other forms of an OPTIONS query that are answered as usual, on one kept
// connection.
struct options_form_t {
    const char* name;
    std::string query;
    std::string methods;
};

class options_form_test_t : public daemon_test_t, public ::testing::WithParamInterface<options_form_t> {};

TEST_P(options_form_test_t, is_answered_and_keeps_the_connection)
{
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    for (int round = 0; round < 2; ++round) {
        const auto head = client.ask(GetParam().query);
        ASSERT_TRUE(head.has_value()) << "round " << round;
        EXPECT_EQ(head->status_line, "ICAP/1.0 200 OK");
        EXPECT_EQ(head->field("Methods"), GetParam().methods);
        EXPECT_EQ(head->field("Connection"), "keep-alive");
    }
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(
    forms, options_form_test_t,
    ::testing::Values(
        options_form_t{"lower_case_method", "options icap://127.0.0.1/respmod ICAP/1.0\r\n\r\n", "RESPMOD"},
        options_form_t{"bare_line_feeds", "OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\nHost: x\n\n", "REQMOD"},
        options_form_t{"query_part_in_the_url", "OPTIONS icap://127.0.0.1/reqmod?x=1 ICAP/1.0\r\n\r\n", "REQMOD"},
        options_form_t{"empty_opt_body",
                       "OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\nEncapsulated: opt-body=0\r\n\r\n0\r\n\r\n",
                       "RESPMOD"},
        // A "Preview" field means nothing to OPTIONS: the whole opt-body is
        // read and dropped.
        options_form_t{"opt_body_with_a_preview_field",
                       "OPTIONS icap://127.0.0.1/reqmod ICAP/1.0\r\nPreview: 0\r\nEncapsulated: opt-body=0\r\n\r\n"
                       "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
                       "REQMOD"}),
    [](const auto& info) { return std::string(info.param.name); });

class options_session_test_t : public daemon_test_t {};

TEST_F(options_session_test_t, several_queries_on_one_connection)
{
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    for (const char* path : {"/reqmod", "/respmod", "/reqmod/"}) {
        const auto head = client.ask(standin::options_query(port, path));
        ASSERT_TRUE(head.has_value()) << path;
        EXPECT_EQ(head->status_line, "ICAP/1.0 200 OK");
        EXPECT_EQ(head->field("Connection"), "keep-alive");
    }
    // Two queries in one write are answered in order.
    client.send(standin::options_query(port, "/respmod") + standin::options_query(port, "/reqmod"));
    for (const char* methods : {"RESPMOD", "REQMOD"}) {
        const auto text = client.read_head();
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(standin::parse_icap_head(*text).field("Methods"), methods);
    }
    EXPECT_TRUE(client.stays_open(300ms));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(options_session_test_t, a_query_asking_to_close_is_answered_then_half_closed)
{
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    const auto head = client.ask(standin::options_query(port, "/respmod", "Connection: close\r\n"));
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->status_line, "ICAP/1.0 200 OK");
    EXPECT_EQ(head->field("Connection"), "close");
    EXPECT_EQ(head->field("Encapsulated"), "null-body=0");
    EXPECT_TRUE(client.wait_for_end());
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(options_session_test_t, the_istag_is_the_same_within_ten_seconds)
{
    ASSERT_TRUE(start_configured());
    // Two answers made in the same ten-second step carry the same tag; the
    // step may turn between them, so one retry is allowed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::time_t before = std::time(nullptr);
        const auto first = ask_options(port);
        const auto second = ask_options(port, "/reqmod");
        const std::time_t after = std::time(nullptr);
        ASSERT_TRUE(first && second);
        if (before / 10 != after / 10)
            continue;
        EXPECT_EQ(first->field("ISTag"), second->field("ISTag"));
        EXPECT_TRUE(istag_within(first->field("ISTag").value_or(""), before, after));
        break;
    }
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// Asking for the scan state makes the daemon probe Vetter, whose socket it
// asks PilotD for; when PilotD says Vetter is not installed, the answer
// carries the failure instead of the engine fields, and the state report
// follows the change.
TEST_F(options_session_test_t, scan_status_without_vetter)
{
    ox::Error not_installed;
    not_installed.set_code(ox::EC_NOT_INSTALLED);
    pilotd.set_socket_error(ox::APP_VETTER, not_installed);
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();

    standin::icap_client_t client(port);
    const auto head = client.ask(standin::options_query(port, "/respmod", "Orvex-Get-Scan-Status: yes\r\n"));
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->status_line, "ICAP/1.0 200 OK");
    EXPECT_EQ(head->field("Orvex-Scan-Status"), "Vetter is not available");
    EXPECT_EQ(head->field("Orvex-Scan-Engine"), std::nullopt);
    EXPECT_TRUE(pilotd.wait_for_frame(tag_t::GET_VETTER_REQUEST, from).has_value());
    const auto info = pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->message.info().scan_state(), ox::EC_NO_VETTER);
    EXPECT_EQ(info->message.config_revision(), revision);

    // A value other than yes does not ask.
    const auto plain = client.ask(standin::options_query(port, "/respmod", "Orvex-Get-Scan-Status: Yes please\r\n"));
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->field("Orvex-Scan-Status"), std::nullopt);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// With Vetter there, the probe's report fills the engine fields, and the
// state report says all is well.
TEST_F(options_session_test_t, scan_status_with_vetter)
{
    vetter_thread_t vetter(templates_dir + "/vetter.sock");
    pilotd.set_socket_path(ox::APP_VETTER, vetter.vetter.path());
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();

    standin::icap_client_t client(port);
    const auto head = client.ask(standin::options_query(port, "/reqmod", "Orvex-Get-Scan-Status: Yes\r\n"));
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->status_line, "ICAP/1.0 200 OK");
    const standin::vetter_scenario_t scanner;
    EXPECT_EQ(head->field("Orvex-Scan-Engine"), scanner.se_version);
    EXPECT_EQ(head->field("Orvex-Core-Engine"), scanner.core_engine_version);
    EXPECT_EQ(head->field("Orvex-Virus-Records"), std::to_string(scanner.virus_records));
    EXPECT_EQ(head->field("Orvex-Virus-Database-Timestamp"), std::to_string(scanner.base_stamp));
    EXPECT_EQ(head->field("Orvex-Scan-Status"), "OK");
    EXPECT_EQ(head->field("Methods"), "REQMOD");
    const auto info = pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->message.info().scan_state(), ox::EC_OK);

    // A second query probes again on the connection the daemon holds.
    const auto again = client.ask(standin::options_query(port, "/respmod", "Orvex-Get-Scan-Status: yes\r\n"));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->field("Orvex-Scan-Status"), "OK");
    EXPECT_EQ(vetter.vetter.connections(), 1u);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// The state report follows Vetter without any body being scanned: all well
// while it answers, the failure once it has gone, and all well again, with
// no query asking, after the probe that a failure schedules on the eleventh
// tick.
TEST_F(options_session_test_t, scan_state_report_follows_vetter)
{
    const std::string path = templates_dir + "/vetter.sock";
    auto vetter = std::make_unique<vetter_thread_t>(path);
    pilotd.set_socket_path(ox::APP_VETTER, path);
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    const auto status = [&] {
        const auto head = client.ask(standin::options_query(port, "/respmod", "Orvex-Get-Scan-Status: yes\r\n"));
        return head ? head->field("Orvex-Scan-Status") : std::nullopt;
    };
    const auto state_from = [&](std::size_t from, standin::steady_clock_t::duration limit = 5s) {
        const auto info = pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from, limit);
        return info ? std::optional<ox::ErrorCode>(info->message.info().scan_state()) : std::nullopt;
    };

    std::size_t from = pilotd.frame_count();
    EXPECT_EQ(status(), "OK");
    EXPECT_EQ(state_from(from), ox::EC_OK);

    // The daemon sees the link end (as its end, or as a broken pipe when a
    // RESET was on its way).
    vetter.reset();
    ASSERT_TRUE(pilotd.wait_for_stderr("Warning: Vetter "));
    from = pilotd.frame_count();
    EXPECT_EQ(status(), "Vetter is not available");
    EXPECT_EQ(state_from(from), ox::EC_NO_VETTER);

    from = pilotd.frame_count();
    vetter = std::make_unique<vetter_thread_t>(path);
    EXPECT_EQ(state_from(from, 20s), ox::EC_OK);
    EXPECT_EQ(vetter->vetter.connections(), 1u);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

} // namespace
} // namespace e2e
