// An ICAP client written elsewhere, c-icap-client, asks the running daemon
// for the OPTIONS of both services and sends it requests and responses with
// files.

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

struct run_result_t {
    int status = -1;
    std::string output;
};

// Runs a shell command with its output captured; `timeout` bounds it.
run_result_t run(const std::string& command)
{
    run_result_t result;
    FILE* pipe = ::popen(("exec timeout 20 " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        result.output.append(chunk, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class real_client_test_t : public daemon_test_t, public ::testing::WithParamInterface<const char*> {};

TEST_P(real_client_test_t, reads_the_options_answer)
{
    if (run("c-icap-client -V").status != 0)
        GTEST_SKIP() << "c-icap-client is not installed (scripts/install-deps installs it)";
    settings.set_use_204(true);
    settings.set_use_preview(true);
    ASSERT_TRUE(start_configured());

    const std::string service = GetParam();
    const auto result = run("c-icap-client -i 127.0.0.1 -p " + std::to_string(port) + " -s " + service + " -v");
    EXPECT_EQ(result.status, 0) << result.output;
    for (const std::string line :
         {"ICAP/1.0 200 OK", "Service: Orvex TRAXD 11.1.9.2205231640", "Options-TTL: 60", "Preview: 0", "Allow: 204"})
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    const std::string methods = service == "reqmod" ? "Methods: REQMOD" : "Methods: RESPMOD";
    EXPECT_NE(result.output.find(methods), std::string::npos) << result.output;
    EXPECT_TRUE(pilotd.wait_for_stderr("<-- OPTIONS ")) << pilotd.stderr_text();
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(services, real_client_test_t, ::testing::Values("respmod", "reqmod"));

// Blocks messages whose HTTP request names the host blocked.example, lets
// the rest pass.
const std::string blocking_hook = "function message_hook(t) "
                                  "if t.request.value('Host') == 'blocked.example' then return 'block' end "
                                  "return 'pass' end";

struct file_case_t {
    const char* name;
    // c-icap-client's options after the server's; the file to send and
    // the one to save the answer's body in are added.
    std::string options;
    // Lines its output must hold.
    std::vector<std::string> output;
    // The saved body: the file sent, or nothing saved, or a page holding
    // this text.
    enum class saved_t { same, none, page } saved;
    std::string page_text{};
};

class real_client_file_test_t : public daemon_test_t, public ::testing::WithParamInterface<file_case_t> {};

TEST_P(real_client_file_test_t, gets_the_expected_answer)
{
    if (run("c-icap-client -V").status != 0)
        GTEST_SKIP() << "c-icap-client is not installed (scripts/install-deps installs it)";
    const auto& c = GetParam();
    settings.set_use_204(true);
    settings.set_use_preview(true);
    settings.set_templates_dir(TRAXD_SOURCE_DIR "/templates");
    settings.mutable_message_hook()->set_buffer(blocking_hook);
    ASSERT_TRUE(start_configured());

    // 100 KiB that are not all alike.
    std::string sent;
    for (int i = 0; sent.size() < 100 * 1024; ++i)
        sent += "line " + std::to_string(i) + " of the body\n";
    const std::string in = templates_dir + "/sent.txt";
    const std::string out = templates_dir + "/received.txt";
    std::ofstream(in) << sent;
    const auto result = run("c-icap-client -i 127.0.0.1 -p " + std::to_string(port) + " " + c.options + " -f " + in +
                            " -o " + out + " -v");
    EXPECT_EQ(result.status, 0) << result.output;
    for (const std::string& line : c.output)
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
    std::ifstream saved(out);
    std::stringstream received;
    received << saved.rdbuf();
    switch (c.saved) {
    case file_case_t::saved_t::same:
        EXPECT_TRUE(received.str() == sent) << received.str().size() << " bytes saved";
        break;
    case file_case_t::saved_t::none:
        EXPECT_FALSE(std::filesystem::exists(out));
        break;
    case file_case_t::saved_t::page:
        EXPECT_NE(received.str().find(c.page_text), std::string::npos) << received.str();
        break;
    }
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// c-icap-client sends a zero-length preview (the daemon's OPTIONS ask for
// it) unless told not to, and "Allow: 204" unless told not to. It takes a
// 204 after a preview, but reads no other final answer to a preview: the
// cases that expect a modified message send no preview.
INSTANTIATE_TEST_SUITE_P(
    files, real_client_file_test_t,
    ::testing::Values(
        file_case_t{
            "respmod_allowed_204", "-s respmod", {"ICAP/1.0 204 No modifications needed"}, file_case_t::saved_t::none},
        file_case_t{"reqmod_preview_without_allow_204",
                    "-s reqmod -req http://www.example.com/up -no204",
                    {"ICAP/1.0 204 No modifications needed"},
                    file_case_t::saved_t::none},
        file_case_t{"respmod_returned_unchanged",
                    "-s respmod -no204 -nopreview",
                    {"ICAP/1.0 200 OK", "Encapsulated: res-hdr=0, res-body="},
                    file_case_t::saved_t::same},
        file_case_t{"reqmod_returned_unchanged",
                    "-s reqmod -req http://www.example.com/up -no204 -nopreview",
                    {"ICAP/1.0 200 OK", "Encapsulated: req-hdr=0, req-body="},
                    file_case_t::saved_t::same},
        file_case_t{"reqmod_blocked",
                    "-s reqmod -req http://blocked.example/up -hx 'Host: blocked.example' -nopreview",
                    {"ICAP/1.0 200 OK", "X-Response-Info: Blocked", "HTTP/1.0 403 Blocked by Orvex TRAXD"},
                    file_case_t::saved_t::page,
                    "http://blocked.example/up"},
        file_case_t{"respmod_blocked_in_german",
                    "-s respmod -resp http://blocked.example/down -hx 'Host: blocked.example' "
                    "-hx 'Accept-Language: de' -nopreview",
                    {"ICAP/1.0 200 OK", "X-Response-Info: Blocked", "HTTP/1.0 403 Blocked by Orvex TRAXD"},
                    file_case_t::saved_t::page,
                    "lang=\"de\""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
