// An ICAP client written elsewhere, c-icap-client, asks the running daemon
// for the OPTIONS of both services.

#include <sys/wait.h>

#include <cstdio>

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

} // namespace
} // namespace e2e
