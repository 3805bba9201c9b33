// Squid in front of the daemon: pages and uploads of every framing, small and
// large, reach the client and the origin byte for byte, and Squid asks the
// daemon for the OPTIONS of both services and sends it every message; a URL
// the hook blocks gets the daemon's block page.

#include "e2e/squid_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;
using standin::framing_t;
using direction_t = transfer_t::direction_t;

constexpr std::size_t kib = 1024;
constexpr std::size_t mib = 1024 * kib;

const transfer_t page_1k{"page_1k_length", direction_t::page, 1 * kib, framing_t::length};
const transfer_t upload_1k{"upload_1k_length", direction_t::upload, 1 * kib, framing_t::length};

// Transfers that reach the origin and come back unchanged.
const std::vector<transfer_t> pass_through = {
    page_1k,
    {"page_300k_chunked", direction_t::page, 300 * kib, framing_t::chunked},
    {"page_300k_close", direction_t::page, 300 * kib, framing_t::close},
    {"page_5m_length", direction_t::page, 5 * mib, framing_t::length},
    upload_1k,
    {"upload_300k_chunked", direction_t::upload, 300 * kib, framing_t::chunked},
    {"upload_5m_length", direction_t::upload, 5 * mib, framing_t::length},
    {"upload_5m_chunked", direction_t::upload, 5 * mib, framing_t::chunked},
};

// Blocks the host blocked.example, lets the rest pass.
const std::string blocking_hook = "function message_hook(t) "
                                  "if t.request.value('Host') == 'blocked.example' then return 'block' end "
                                  "return 'pass' end";

// A page of a blocked host: the daemon answers Squid's REQMOD with its page,
// and Squid never looks the host up. Squid may close the client's
// connection after such an answer although it announced keep-alive, so the
// page comes last in its scenario.
const transfer_t blocked_page{"blocked_page",
                              direction_t::page,
                              1 * kib,
                              framing_t::length,
                              403,
                              "Access to <span class=\"address\">http://blocked.example/page/1024/length</span>",
                              "",
                              "blocked.example"};

// Reads the body of every message (no scanner runs here, so the body
// passes unscanned).
const std::string scanning_hook = "function message_hook(t) t.body:has_threat() return 'pass' end";

struct squid_case_t {
    const char* name;
    squid_setup_t setup;
    std::vector<transfer_t> transfers;
};

class squid_in_front_test_t : public squid_test_t, public ::testing::WithParamInterface<squid_case_t> {};

TEST_P(squid_in_front_test_t, carries_every_transfer)
{
    ASSERT_TRUE(start_with_squid(GetParam().setup));
    bool reached_origin = false;
    for (const transfer_t& transfer : GetParam().transfers) {
        ASSERT_NO_FATAL_FAILURE(check_transfer(transfer));
        reached_origin = reached_origin || transfer.status == 200;
    }
    // Squid asked for a service's OPTIONS when a message first needed it,
    // and then sent the messages to the daemon rather than leaving the
    // services out.
    const std::string service = "icap://127.0.0.1:" + std::to_string(port);
    EXPECT_TRUE(pilotd.wait_for_stderr("<-- OPTIONS " + service + "/reqmod"));
    EXPECT_TRUE(pilotd.wait_for_stderr("<-- REQMOD " + service + "/reqmod"));
    if (reached_origin) {
        EXPECT_TRUE(pilotd.wait_for_stderr("<-- OPTIONS " + service + "/respmod"));
        EXPECT_TRUE(pilotd.wait_for_stderr("<-- RESPMOD " + service + "/respmod"));
    }
    EXPECT_EQ(squid->stop(), 0);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

// Without bypass every message goes through the daemon. Squid offers
// "Allow: 204" only for bodies it holds whole (up to 64 KiB) and, for a
// larger one, sends only as much of it as its buffers hold until the answer
// begins. With a preview the daemon answers 204 to the preview; without
// one, a larger body passes only when the daemon may answer early and
// stream the message back as it arrives.
const std::vector<transfer_t> pass_through_held_whole = {page_1k, upload_1k};

INSTANTIATE_TEST_SUITE_P(
    setups, squid_in_front_test_t,
    ::testing::Values(
        squid_case_t{"bypass_without_preview", {.bypass = true, .early_response = true}, pass_through},
        squid_case_t{"bypass_with_preview", {.bypass = true, .preview = true, .preview_size = 4096}, pass_through},
        squid_case_t{"with_preview", {.bypass = false, .preview = true, .preview_size = 4096}, pass_through},
        squid_case_t{"without_preview_early_answers", {.bypass = false, .early_response = true}, pass_through},
        squid_case_t{"without_preview_late_answers", {.bypass = false}, pass_through_held_whole},
        // A hook that reads every body while no scanner is there, so that
        // each body streams back as it arrives, after a preview or without
        // one. Squid keeps what it sent of a body until the answer's first
        // bytes reach it and stops sending when its buffers are full; an
        // answer that came together with 100 "Continue" it reads only when
        // more bytes follow. So each chunk must go back as soon as its data
        // is in, and a 204 after the 100 must wait for the rest of the body.
        squid_case_t{
            "scanning_hook_without_scanner",
            {.bypass = false, .preview = true, .preview_size = 4096, .early_response = true, .hook = scanning_hook},
            pass_through},
        squid_case_t{"scanning_hook_without_scanner_or_preview",
                     {.bypass = false, .early_response = true, .hook = scanning_hook},
                     pass_through},
        squid_case_t{"blocked_url",
                     {.bypass = false, .preview = true, .preview_size = 4096, .hook = blocking_hook},
                     {page_1k, upload_1k, blocked_page}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
