// The demo as scripts/demo runs it: pilotd-standin with the sample settings
// file starts the daemon and hands it the sockets of the stand-in Vetter,
// Tagger and SeekD with the demo's tables; the daemon applies the file,
// answers with the sample hook (blocks for a host, for categories and for
// the test marker in a body), takes the edited file on SIGHUP and stops on
// Ctrl-C; Squid runs with the squid.conf lines the demo prints.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/daemon_fixture.hpp"
#include "e2e/vetter_thread.hpp"
#include "standins/child_process.hpp"
#include "standins/http_client.hpp"
#include "standins/origin_server.hpp"
#include "standins/seekd_standin.hpp"
#include "standins/squid_proxy.hpp"
#include "standins/tagger_standin.hpp"

namespace e2e {
namespace {

// The text the demo's Vetter reports as a threat.
const std::string marker = "ORVEX-TEST-MARKER";

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class demo_test_t : public daemon_test_t {
protected:
    demo_test_t()
    {
        standin::vetter_scenario_t scenario;
        scenario.threats.push_back({marker, ox::SE_KNOWN_VIRUS, "Orvex.Test.Marker"});
        vetter.vetter.set_scenario(scenario);
        tagger.load_table(read_file(TRAXD_SOURCE_DIR "/tests/standins/demo/tagger.table"));
        seekd.load_table(read_file(TRAXD_SOURCE_DIR "/tests/standins/demo/seekd.table"));
    }

    ~demo_test_t() override
    {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The sample settings with the placeholders filled as the demo script
    // does, on the test's port.
    void write_settings(unsigned listen_port) const
    {
        std::ifstream in(TRAXD_SOURCE_DIR "/tests/standins/demo/traxd.conf");
        std::stringstream text;
        text << in.rdbuf();
        std::string s = text.str();
        const auto replace = [&](const std::string& from, const std::string& to) {
            for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
                s.replace(at, from.size(), to);
        };
        replace("@USER@", current_user_name());
        replace("@DEMO_DIR@", TRAXD_SOURCE_DIR "/tests/standins/demo");
        replace("@TEMPLATES_DIR@", TRAXD_SOURCE_DIR "/templates");
        replace("port: 1344", "port: " + std::to_string(listen_port));
        std::ofstream(settings_file()) << s;
    }

    std::string settings_file() const { return templates_dir + "/traxd.conf"; }
    std::string output_file() const { return templates_dir + "/output.txt"; }

    void start_demo()
    {
        const int output = ::open(output_file().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(output, 0);
        standin::spawn_request_t request;
        request.binary = PILOTD_STANDIN_BINARY;
        request.arguments = {"--daemon",           TRAXD_BINARY, "--config",    settings_file(), "--vetter",
                             vetter.vetter.path(), "--tagger",   tagger.path(), "--seekd",       seekd.path()};
        request.descriptors = {{1, output}, {2, output}};
        pid_ = standin::spawn_process(request);
        ::close(output);
    }

    std::string output() const
    {
        std::ifstream in(output_file());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit = 10000ms) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    std::optional<int> wait_exit(std::chrono::milliseconds limit = 10000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!status_ && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = standin::decode_wait_status(status);
            else
                std::this_thread::sleep_for(20ms);
        }
        return status_;
    }

    vetter_thread_t vetter{templates_dir + "/vetter.sock"};
    standin::tagger_standin_t tagger;
    standin::seekd_standin_t seekd;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

TEST_F(demo_test_t, runs_reconfigures_and_stops)
{
    write_settings(port);
    start_demo();
    ASSERT_TRUE(wait_for_output("pilotd-standin: daemon applied settings revision 1")) << output();
    const auto head = ask_options(port);
    ASSERT_TRUE(head.has_value()) << output();
    // The sample offers 204 and previews.
    EXPECT_EQ(head->field("Allow"), "204");
    EXPECT_EQ(head->field("Preview"), "0");
    EXPECT_TRUE(wait_for_output("queries OPTIONS 1,")) << output();

    // The file is read again for every request: an edited listen port and
    // SIGHUP move the daemon.
    const unsigned new_port = standin::free_port();
    write_settings(new_port);
    ::kill(pid_, SIGHUP);
    ASSERT_TRUE(wait_for_output("ICAP Server started: 127.0.0.1:" + std::to_string(new_port))) << output();
    EXPECT_TRUE(ask_options(new_port).has_value());

    // Ctrl-C reaches the stand-in, which stops the daemon with SIGTERM.
    ::kill(pid_, SIGINT);
    EXPECT_EQ(wait_exit(), ox::EC_APP_TERMINATED) << output();
    EXPECT_NE(output().find("Exit with status 107 (Process terminated by signal)"), std::string::npos) << output();
}

std::string reqmod(const std::string& host, const std::string& fields)
{
    const std::string head = "GET http://" + host + "/ HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\n" + fields +
           "Encapsulated: req-hdr=0, null-body=" + std::to_string(head.size()) + "\r\n\r\n" + head;
}

TEST_F(demo_test_t, sample_hook_answers_and_squid_takes_the_printed_lines)
{
    write_settings(port);
    start_demo();
    ASSERT_TRUE(wait_for_output("pilotd-standin: daemon applied settings revision 1")) << output();
    {
        standin::icap_client_t client(port);
        const auto passed = client.ask(reqmod("www.example.com", "Allow: 204\r\nX-Server-IP: 192.0.2.7\r\n"));
        ASSERT_TRUE(passed.has_value()) << output();
        EXPECT_EQ(passed->status_line, "ICAP/1.0 204 No modifications needed");
        // A block page follows the head: each block on a connection of its own.
        const auto ask_alone = [this](const std::string& query) { return standin::icap_client_t(port).ask(query); };
        const auto blocked = ask_alone(reqmod("blocked.example", ""));
        ASSERT_TRUE(blocked.has_value()) << output();
        EXPECT_EQ(blocked->status_line, "ICAP/1.0 200 OK");
        EXPECT_EQ(blocked->field("X-Response-Info"), "Blocked");
        const auto category = ask_alone(reqmod("www.casino.example", "X-Server-IP: 192.0.2.7\r\n"));
        ASSERT_TRUE(category.has_value()) << output();
        EXPECT_EQ(category->field("X-Response-Info"), "Blocked");
        EXPECT_TRUE(wait_for_output("Notice: Blocked URL: http://www.casino.example (Adult content)")) << output();

        const std::string body = "A body with the marker: " + marker + "\n";
        const std::string response_head =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        std::ostringstream chunk;
        chunk << std::hex << body.size() << "\r\n" << body << "\r\n0\r\n\r\n";
        client.send("RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\nEncapsulated: res-hdr=0, "
                    "res-body=" +
                    std::to_string(response_head.size()) + "\r\n\r\n" + response_head + chunk.str());
        const auto infected = client.read_answer();
        ASSERT_TRUE(infected.has_value()) << output();
        EXPECT_NE(infected->find("\r\nX-Virus-ID: Orvex.Test.Marker\r\n"), std::string::npos) << *infected;
        EXPECT_NE(infected->find("\r\nHTTP/1.0 403 "), std::string::npos) << *infected;
    }

    if (standin::squid_proxy_t::available()) {
        std::ifstream in(TRAXD_SOURCE_DIR "/tests/standins/demo/squid.conf");
        std::stringstream lines;
        lines << in.rdbuf();
        std::string services = lines.str();
        const std::string demo_address = "127.0.0.1:1344";
        for (auto at = services.find(demo_address); at != std::string::npos; at = services.find(demo_address, at))
            services.replace(at, demo_address.size(), "127.0.0.1:" + std::to_string(port));
        standin::origin_server_t origin;
        standin::squid_options_t options;
        options.services = services;
        standin::squid_proxy_t squid(options);
        standin::http_client_t client(squid.port());
        // The sample hook scans every body, so the daemon answers only once
        // it has a body whole; Squid sends a response body larger than its
        // buffers only once the answer has begun, so the bodies here are
        // ones it holds whole.
        const std::string body = standin::payload(48 * 1024);
        const auto page = client.get(origin.page_url(body.size(), standin::framing_t::chunked));
        EXPECT_EQ(page.status, 200u) << page.head_text();
        EXPECT_TRUE(page.body == body) << page.body.size() << " bytes";
        const auto upload = client.post(origin.upload_url(), body, standin::framing_t::length);
        EXPECT_EQ(upload.field("X-Received-Sha256"), standin::sha256_hex(body)) << upload.head_text();
        const auto blocked = client.get("http://blocked.example/");
        EXPECT_EQ(blocked.status, 403u) << blocked.head_text();
        EXPECT_NE(blocked.body.find("Access blocked"), std::string::npos) << blocked.body;
        EXPECT_TRUE(wait_for_output("<-- RESPMOD icap://127.0.0.1:" + std::to_string(port) + "/respmod"));
        EXPECT_EQ(squid.stop(), 0);
    }

    ::kill(pid_, SIGINT);
    EXPECT_EQ(wait_exit(), ox::EC_APP_TERMINATED) << output();
}

TEST_F(demo_test_t, a_settings_file_that_does_not_parse_is_reported)
{
    std::ofstream(settings_file()) << "listen_address { port: \"not a number\" }\n";
    start_demo();
    EXPECT_TRUE(wait_for_output("pilotd-standin: cannot answer GET_CONFIG_REQUEST: settings do not parse")) << output();
    ::kill(pid_, SIGTERM);
    EXPECT_EQ(wait_exit(), ox::EC_APP_TERMINATED) << output();
}

} // namespace
} // namespace e2e
