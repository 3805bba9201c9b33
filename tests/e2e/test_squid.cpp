// Squid in front of the daemon: pages and uploads of every framing, small and
// large, reach the client and the origin byte for byte, and Squid asks the
// daemon for the OPTIONS of both services and sends it every message.
//
// The daemon does not check messages yet and drops their connections, so
// today's scenarios let Squid bypass it; scenarios with bypass off, with and
// without previews, and with a hook that blocks a URL are rows of the same
// table.

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

// Without a preview Squid sends a body to the service as it arrives, and
// once it has let go of a part it can no longer fall back to the unadapted
// message: only bodies it holds whole (up to 64 KiB) pass a service that
// drops the connection.
const std::vector<transfer_t> pass_through_held_whole = {page_1k, upload_1k};

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

INSTANTIATE_TEST_SUITE_P(
    setups, squid_in_front_test_t,
    ::testing::Values(
        squid_case_t{"bypass_without_preview", {.bypass = true}, pass_through_held_whole},
        squid_case_t{"bypass_with_preview", {.bypass = true, .preview = true, .preview_size = 4096}, pass_through}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
