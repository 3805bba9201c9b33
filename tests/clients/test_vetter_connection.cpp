// The Vetter client against the stand-in Vetter over a real local socket:
// scans and their reports, the bytes read back, and what reaches the
// answer when Vetter fails, dies or breaks the protocol.

#include <algorithm>
#include <cctype>

#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "common/error_category.hpp"
#include "vetter_fixture.hpp"

namespace {

using tag_t = vr::ClientMessage;
using test_vetter::body_t;
using test_vetter::chunked;
using test_vetter::joined;

class vetter_scan_test : public test_vetter::fixture_t {};

TEST_F(vetter_scan_test, a_threat_is_reported_and_the_body_comes_back)
{
    standin::vetter_scenario_t scenario;
    scenario.threats = {{"EICAR-STANDIN", ox::SE_KNOWN_VIRUS, "Test.File.A"},
                        {"JOKE-MARK", ox::SE_JOKE, "Joke.B"},
                        {"ABSENT", ox::SE_ADWARE, "Adware.C"}};
    vetter->set_scenario(scenario);
    connect();
    // The first marker spans two chunks: Vetter scans the body, not chunks.
    const std::vector<std::string> chunks = {"head EICAR-", "STANDIN middle ", "JOKE-MARK tail"};
    auto result = scan(body_of(chunks, "X-Check: done\r\n"));

    ASSERT_EQ(result.calls, 1);
    EXPECT_FALSE(result.inside_call);
    EXPECT_FALSE(result.error) << result.error.message();
    EXPECT_EQ(result.report.object(), "stream");
    ASSERT_EQ(result.report.virus_size(), 2);
    EXPECT_EQ(result.report.virus(0).type(), ox::SE_KNOWN_VIRUS);
    EXPECT_EQ(result.report.virus(0).name(), "Test.File.A");
    EXPECT_EQ(result.report.virus(1).type(), ox::SE_JOKE);
    EXPECT_EQ(result.report.virus(1).name(), "Joke.B");
    EXPECT_FALSE(result.report.has_se_version());
    ASSERT_TRUE(result.body);

    const auto decoded = decode(read_wire(result.body));
    EXPECT_EQ(decoded.data, joined(chunks));
    EXPECT_EQ(decoded.trailers.get("X-Check"), "done");
    EXPECT_EQ(decoded.rest, "");

    EXPECT_EQ(vetter->tags(),
              (std::vector<tag_t::ClientMessageTag>{tag_t::HELLO, tag_t::INIT, tag_t::DATA_CHUNK, tag_t::DATA_CHUNK,
                                                    tag_t::DATA_CHUNK, tag_t::SCAN_REQUEST, tag_t::GET_DATA_REQUEST}));
    const auto hello = received(tag_t::HELLO).at(0);
    EXPECT_EQ(hello.origin(), ox::APP_TRAXD);
    EXPECT_EQ(hello.origin_pid(), static_cast<std::uint32_t>(::getpid()));
    EXPECT_TRUE(hello.soft_error());
    EXPECT_FALSE(hello.has_flow_control());
    for (const auto& message : vetter->received()) {
        if (message.message.tag() != tag_t::HELLO) {
            EXPECT_EQ(message.message.job_id(), 1u);
        }
    }
    const auto request = received(tag_t::SCAN_REQUEST).at(0);
    EXPECT_FALSE(request.scan_options().report_component_info());
    EXPECT_TRUE(request.scan_options().has_cure());
    EXPECT_FALSE(request.scan_options().cure());

    // Dropping the read-back ends the job.
    result.body.reset();
    ASSERT_TRUE(run_until([&] { return received(tag_t::RESET).size() == 1; }));
    EXPECT_EQ(received(tag_t::RESET).at(0).job_id(), 1u);
    EXPECT_EQ(closed, 0);
}

struct read_back_case_t {
    const char* name;
    std::vector<std::string> chunks;
    // Applied by Vetter to what it returns.
    std::function<std::string(const std::string&)> transform;
    std::size_t piece_size;
    std::string expected;
    // GET_DATA_REQUESTs the client sends: none when nothing was sent.
    std::size_t data_requests;
};

void PrintTo(const read_back_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class vetter_read_back_test : public test_vetter::fixture_t, public testing::WithParamInterface<read_back_case_t> {};

// A clean body comes back as Vetter returns it, re-framed in chunked coding
// that ends with the sent body's trailers.
TEST_P(vetter_read_back_test, carries_what_vetter_returns)
{
    const auto& c = GetParam();
    standin::vetter_scenario_t scenario;
    scenario.threats = {{"NEVER-THERE", ox::SE_KNOWN_VIRUS, "X"}};
    scenario.transform = c.transform;
    scenario.piece_size = c.piece_size;
    vetter->set_scenario(scenario);
    connect();
    const auto result = scan(body_of(c.chunks, "X-Trailer: kept\r\n"));
    ASSERT_EQ(result.calls, 1);
    ASSERT_FALSE(result.error) << result.error.message();
    EXPECT_EQ(result.report.virus_size(), 0);

    const std::string wire = read_wire(result.body);
    const auto decoded = decode(wire);
    EXPECT_EQ(decoded.data, c.expected);
    EXPECT_EQ(decoded.trailers.get("X-Trailer"), "kept");
    EXPECT_EQ(decoded.rest, "");
    EXPECT_EQ(received(tag_t::GET_DATA_REQUEST).size(), c.data_requests);
    // One DATA_CHUNK per piece the body stream gives (chunks of more than
    // 65535 bytes come in pieces), and at least one.
    std::size_t pieces = 0;
    for (const auto& chunk : c.chunks)
        pieces += (chunk.size() + 65534) / 65535;
    EXPECT_EQ(received(tag_t::DATA_CHUNK).size(), std::max<std::size_t>(pieces, 1));
    if (c.expected.empty()) {
        EXPECT_EQ(wire, "0\r\nX-Trailer: kept\r\n\r\n");
    }
}

std::string upper(const std::string& text)
{
    std::string result = text;
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::toupper(c); });
    return result;
}

INSTANTIATE_TEST_SUITE_P(
    cases, vetter_read_back_test,
    testing::Values(
        read_back_case_t{"unchanged", {"alpha ", "beta ", "gamma"}, nullptr, 65536, "alpha beta gamma", 1},
        read_back_case_t{"transformed", {"alpha ", "beta"}, upper, 65536, "ALPHA BETA", 1},
        read_back_case_t{
            "shortened", {"0123456789"}, [](const std::string& s) { return s.substr(0, 3); }, 65536, "012", 1},
        read_back_case_t{"emptied", {"all of it"}, [](const std::string&) { return std::string(); }, 65536, "", 1},
        read_back_case_t{"in_three_pieces", {"abcdefghi"}, nullptr, 3, "abcdefghi", 1},
        read_back_case_t{"empty_body", {}, nullptr, 65536, "", 0},
        read_back_case_t{"large_body",
                         {std::string(200000, 'x'), std::string(70000, 'y')},
                         nullptr,
                         65536,
                         std::string(200000, 'x') + std::string(70000, 'y'),
                         1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(vetter_scan_test, a_probe_asks_for_the_component_information)
{
    connect();
    const auto result = scan(io::http::body_stream_t::make_empty(inventory->io_context), true);
    ASSERT_EQ(result.calls, 1);
    ASSERT_FALSE(result.error);
    const standin::vetter_scenario_t defaults;
    EXPECT_EQ(result.report.se_version(), defaults.se_version);
    EXPECT_EQ(result.report.core_engine_version(), defaults.core_engine_version);
    EXPECT_EQ(result.report.virus_records(), defaults.virus_records);
    EXPECT_EQ(result.report.base_stamp(), defaults.base_stamp);
    EXPECT_TRUE(received(tag_t::SCAN_REQUEST).at(0).scan_options().report_component_info());
    const auto chunks = received(tag_t::DATA_CHUNK);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_TRUE(chunks[0].has_data());
    EXPECT_EQ(chunks[0].data(), "");
}

// The scan options follow the settings; an absent setting goes out as 0.
TEST_F(vetter_scan_test, scan_requests_carry_the_settings_of_their_time)
{
    connect();
    scan(body_of({"first"}));
    ox::TRAXDConfig settings = fixture_t::settings();
    settings.set_scan_timeout(5000);
    settings.set_heuristic_analysis(true);
    settings.set_packer_max_level(3);
    settings.set_archive_max_level(4);
    settings.set_mail_max_level(5);
    settings.set_container_max_level(6);
    settings.set_max_compression_ratio(70);
    pilotd.send(test_pilotd::config_response(settings, 2));
    ASSERT_TRUE(pilotd.receive_tag(ox::TRAXD2PilotdMessage::MY_INFO_NOTIFICATION, pumper()));
    scan(body_of({"second"}));

    const auto requests = received(tag_t::SCAN_REQUEST);
    ASSERT_EQ(requests.size(), 2u);
    const auto& before = requests[0].scan_options();
    EXPECT_TRUE(before.has_scan_timeout_ms());
    EXPECT_EQ(before.scan_timeout_ms(), 0u);
    EXPECT_TRUE(before.has_heuristic_analysis());
    EXPECT_FALSE(before.heuristic_analysis());
    EXPECT_EQ(before.packer_max_level(), 0u);
    EXPECT_EQ(before.max_compression_ratio(), 0u);
    EXPECT_FALSE(before.has_max_size_to_scan());
    EXPECT_FALSE(before.has_list_clean_items());
    const auto& after = requests[1].scan_options();
    EXPECT_EQ(requests[1].job_id(), 2u);
    EXPECT_EQ(after.scan_timeout_ms(), 5000u);
    EXPECT_TRUE(after.heuristic_analysis());
    EXPECT_EQ(after.packer_max_level(), 3u);
    EXPECT_EQ(after.archive_max_level(), 4u);
    EXPECT_EQ(after.mail_max_level(), 5u);
    EXPECT_EQ(after.container_max_level(), 6u);
    EXPECT_EQ(after.max_compression_ratio(), 70u);
}

// Jobs on one connection at once keep their bytes apart.
TEST_F(vetter_scan_test, concurrent_jobs_keep_their_bodies_apart)
{
    vetter->set_scenario({.transform = upper});
    connect();
    std::vector<std::string> a_chunks, b_chunks;
    for (int i = 0; i < 20; ++i) {
        a_chunks.push_back("a" + std::to_string(i) + std::string(1000, 'a'));
        b_chunks.push_back("b" + std::to_string(i) + std::string(3000, 'b'));
    }
    std::vector<test_vetter::scan_result_t> results(2);
    const std::vector<body_t> bodies = {body_of(a_chunks, "", 500), body_of(b_chunks, "", 700)};
    for (std::size_t i = 0; i < 2; ++i)
        connection->scan(
            bodies[i], false,
            [&results, i](const ox::ScanReport&, const body_t& body, const boost::system::error_code& error) {
                ++results[i].calls;
                results[i].body = body;
                results[i].error = error;
            });
    ASSERT_TRUE(run_until([&] { return results[0].calls == 1 && results[1].calls == 1; }));
    ASSERT_FALSE(results[0].error);
    ASSERT_FALSE(results[1].error);
    EXPECT_EQ(decode(read_wire(results[1].body)).data, upper(joined(b_chunks)));
    EXPECT_EQ(decode(read_wire(results[0].body)).data, upper(joined(a_chunks)));
    std::size_t a = 0, b = 0;
    for (const auto& chunk : received(tag_t::DATA_CHUNK))
        ++(chunk.job_id() == 1 ? a : b);
    EXPECT_GE(a, a_chunks.size());
    EXPECT_GE(b, b_chunks.size());
}

class vetter_connect_test : public test_vetter::fixture_t {};

TEST_F(vetter_connect_test, failures_throw_as_the_holder_expects)
{
    const std::string missing = directory + "/nobody.sock";
    try {
        ic::vetter_connection_t::connect(*inventory, missing);
        ADD_FAILURE() << "connected to nothing";
    } catch (const boost::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.path1().string(), missing);
        EXPECT_EQ(e.code(), boost::system::errc::no_such_file_or_directory);
        EXPECT_NE(std::string(e.what()).find("connect"), std::string::npos);
    }
    try {
        ic::vetter_connection_t::connect(*inventory, "/tmp/" + std::string(103, 'x'));
        ADD_FAILURE() << "took a path too long for a local socket";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::name_too_long);
    }
}

// Vetter goes away in the middle of a scan: the scan fails with a broken
// link, and the answer still carries the whole body, each byte once, ending
// where the body ends.
struct death_case_t {
    const char* name;
    // Vetter closes once it has this many DATA_CHUNKs of the job; 0 at the
    // SCAN_REQUEST, when it has the whole body.
    std::size_t close_after;
    // The owner lets go of the connection on `closed`, as the holder does.
    bool drop_connection;
};

void PrintTo(const death_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class vetter_death_test : public test_vetter::fixture_t, public testing::WithParamInterface<death_case_t> {};

TEST_P(vetter_death_test, loses_no_byte_of_the_body)
{
    const auto& c = GetParam();
    vetter->set_scenario({.close_after_chunks = c.close_after});
    connect();
    if (c.drop_connection)
        closed_slot = connection->closed.connect([this] {
            connection->close();
            connection.reset();
        });
    std::vector<std::string> chunks;
    for (int i = 0; i < 6; ++i)
        chunks.push_back("piece-" + std::to_string(i) + ";" + std::string(100 + i, static_cast<char>('a' + i)));
    // The client's body arrives in small reads, so that sending goes on
    // while Vetter closes.
    const auto result = scan(body_of(chunks, "X-End: yes\r\n", 37));
    ASSERT_EQ(result.calls, 1);
    EXPECT_EQ(result.error, ox::make_error_code(ox::EC_LINK_DISCONNECTED));
    EXPECT_EQ(result.report.ByteSizeLong(), 0u);
    ASSERT_TRUE(result.body);

    boost::system::error_code failure;
    const auto decoded = decode(read_wire(result.body, &failure));
    EXPECT_FALSE(failure) << failure.message();
    EXPECT_EQ(decoded.data, joined(chunks));
    EXPECT_EQ(decoded.trailers.get("X-End"), "yes");
    EXPECT_EQ(decoded.rest, "");
    EXPECT_FALSE(decoded.error);
    if (!c.drop_connection) {
        EXPECT_EQ(closed, 1);
        EXPECT_NE(std::find(warnings().begin(), warnings().end(), prefix() + ": Link disconnected"), warnings().end());
    }
}

INSTANTIATE_TEST_SUITE_P(cases, vetter_death_test,
                         testing::Values(death_case_t{"after_the_first_chunk", 1, false},
                                         death_case_t{"in_the_middle", 5, false},
                                         death_case_t{"before_the_answer", 0, false},
                                         death_case_t{"first_chunk_connection_dropped", 1, true},
                                         death_case_t{"middle_connection_dropped", 5, true},
                                         death_case_t{"before_the_answer_connection_dropped", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Vetter fails the job with an ALARM: the scan fails with the ALARM's code,
// and the answer carries what Vetter received, read back from Vetter, then
// the rest of the body.
struct alarm_case_t {
    const char* name;
    // 0: at the SCAN_REQUEST.
    std::size_t after_chunks;
    std::string text;
    std::string logged;
};

void PrintTo(const alarm_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class vetter_alarm_test : public test_vetter::fixture_t, public testing::WithParamInterface<alarm_case_t> {};

TEST_P(vetter_alarm_test, fails_the_scan_but_not_the_body)
{
    const auto& c = GetParam();
    standin::vetter_scenario_t scenario;
    scenario.alarm_after_chunks = c.after_chunks;
    scenario.alarm_code = ox::EC_NOT_A_REGULAR_FILE;
    scenario.alarm_text = c.text;
    scenario.transform = upper;
    vetter->set_scenario(scenario);
    connect();
    std::vector<std::string> chunks;
    for (int i = 0; i < 5; ++i)
        chunks.push_back("part" + std::to_string(i) + "-");
    auto result = scan(body_of(chunks, "X-A: 1\r\n", 7));
    ASSERT_EQ(result.calls, 1);
    EXPECT_EQ(result.error, ox::make_error_code(ox::EC_NOT_A_REGULAR_FILE));
    EXPECT_EQ(result.report.ByteSizeLong(), 0u);
    EXPECT_EQ(warnings(), std::vector<std::string>{prefix() + ": ALARM job_id=1: " + c.logged});

    boost::system::error_code failure;
    const auto decoded = decode(read_wire(result.body, &failure));
    EXPECT_FALSE(failure) << failure.message();
    // What reached Vetter comes back through it (upper case here); what it
    // never got follows as the client sent it.
    std::string sent;
    for (const auto& chunk : received(tag_t::DATA_CHUNK))
        sent += chunk.data();
    ASSERT_LE(sent.size(), joined(chunks).size());
    EXPECT_EQ(decoded.data, upper(sent) + joined(chunks).substr(sent.size()));
    EXPECT_EQ(decoded.trailers.get("X-A"), "1");
    EXPECT_EQ(decoded.rest, "");
    EXPECT_EQ(received(tag_t::GET_DATA_REQUEST).size(), 1u);
    EXPECT_EQ(closed, 0);

    // A job handed over after a failure is still reset.
    result.body.reset();
    EXPECT_TRUE(run_until([&] { return received(tag_t::RESET).size() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(cases, vetter_alarm_test,
                         testing::Values(alarm_case_t{"at_the_scan_request", 0, "", "Not a regular file"},
                                         alarm_case_t{"while_sending", 1, "cannot scan this", "cannot scan this"},
                                         alarm_case_t{"at_the_third_chunk", 3, "", "Not a regular file"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Replies the client cannot take break the link: a Warning with the fault,
// one with "Link disconnected", then `closed`.
struct fault_case_t {
    const char* name;
    standin::vetter_fault_t fault;
    std::string text;
    // The scan itself succeeded; the fault came with the read-back.
    bool scan_succeeds;
};

void PrintTo(const fault_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class vetter_fault_test : public test_vetter::fixture_t, public testing::WithParamInterface<fault_case_t> {};

TEST_P(vetter_fault_test, drops_the_link)
{
    const auto& c = GetParam();
    vetter->set_scenario({.fault = c.fault});
    connect();
    const std::vector<std::string> chunks = {"some ", "body"};
    const auto result = scan(body_of(chunks, "X-F: f\r\n"));
    ASSERT_EQ(result.calls, 1);
    ASSERT_TRUE(result.body);
    boost::system::error_code failure;
    const std::string wire = read_wire(result.body, &failure);
    if (c.scan_succeeds) {
        EXPECT_FALSE(result.error) << result.error.message();
        EXPECT_EQ(failure, ox::make_error_code(ox::EC_LINK_DISCONNECTED));
    } else {
        EXPECT_EQ(result.error, ox::make_error_code(ox::EC_LINK_DISCONNECTED));
        // The body is still whole.
        EXPECT_FALSE(failure) << failure.message();
        const auto decoded = decode(wire);
        EXPECT_EQ(decoded.data, joined(chunks));
        EXPECT_EQ(decoded.trailers.get("X-F"), "f");
    }
    ASSERT_TRUE(run_until([&] { return closed > 0; }));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(warnings(), (std::vector<std::string>{prefix() + ": " + c.text, prefix() + ": Link disconnected"}));
    EXPECT_FALSE(connection->usable());
}

INSTANTIATE_TEST_SUITE_P(
    cases, vetter_fault_test,
    testing::Values(
        fault_case_t{"garbage", standin::vetter_fault_t::garbage, "Invalid IPC message format [ox.Error:8]", false},
        fault_case_t{"unknown_tag", standin::vetter_fault_t::unknown_tag, "Invalid IPC message format [ox.Error:8]",
                     false},
        fault_case_t{"adjust_window", standin::vetter_fault_t::adjust_window,
                     "ADJUST_WINDOW: Invalid operation [ox.Error:61]", false},
        fault_case_t{"no_job_id", standin::vetter_fault_t::no_job_id,
                     "SCAN_RESPONSE: Check failed: message.has_job_id(): Protocol violation [ox.Error:12]", false},
        fault_case_t{"no_scan_report", standin::vetter_fault_t::no_scan_report,
                     "SCAN_RESPONSE: Check failed: message.has_scan_report(): Protocol violation [ox.Error:12]", false},
        fault_case_t{"alarm_without_error", standin::vetter_fault_t::alarm_without_error,
                     "ALARM: Check failed: message.has_error(): Protocol violation [ox.Error:12]", false},
        fault_case_t{"second_response", standin::vetter_fault_t::second_response,
                     "Unexpected IPC message [ox.Error:11]", true},
        fault_case_t{"no_data_size", standin::vetter_fault_t::no_data_size,
                     "GET_DATA_RESPONSE: Check failed: message.has_data_size(): Protocol violation [ox.Error:12]",
                     true},
        fault_case_t{"data_beyond_data_size", standin::vetter_fault_t::excess_data,
                     "DATA_CHUNK: more data than announced: Protocol violation [ox.Error:12]", true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
