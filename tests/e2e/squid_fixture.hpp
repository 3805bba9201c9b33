#pragma once

// Squid in front of the daemon, as a user runs it: an origin server of the
// test's own, Squid started after the daemon with both ICAP services
// pointing at it, and an HTTP client that goes through Squid. A scenario is
// a setup (bypass, previews, the daemon's hook) and a table of transfers,
// each with what the client must get.

#include <algorithm>
#include <cstddef>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "e2e/daemon_fixture.hpp"
#include "standins/http_client.hpp"
#include "standins/origin_server.hpp"
#include "standins/squid_proxy.hpp"

namespace e2e {

inline const std::string pass_hook = "function message_hook(t) return \"pass\" end";

// How Squid and the daemon are set for a scenario.
struct squid_setup_t {
    // Squid's bypass=on|off: a message the daemon fails passes unadapted.
    bool bypass = true;
    // Squid's icap_preview_enable and the daemon's use_preview.
    bool preview = false;
    // Squid's icap_preview_size (the daemon's OPTIONS answer may lower it).
    unsigned preview_size = 0;
    // The daemon's use_204 and allow_early_response.
    bool use_204 = true;
    bool early_response = false;
    // The daemon's message_hook script.
    std::string hook = pass_hook;
};

// One HTTP transfer through Squid and what the client must get: with 200,
// a page arrives byte for byte, or the origin received the upload byte for
// byte; with any other status the answer's body holds `body_contains`.
struct transfer_t {
    enum class direction_t { page, upload };

    const char* name;
    direction_t direction;
    std::size_t size;
    standin::framing_t framing;
    unsigned status = 200;
    std::string body_contains{};
    // The URL's first path segment, for a hook to tell URLs apart;
    // "page" or "upload" when empty.
    std::string label{};
    // The host the URL names instead of the origin's address (which
    // Squid cannot reach unless the daemon answers for it).
    std::string host{};
};

// Whether two bodies are equal; otherwise where they first differ, without
// printing megabytes.
inline ::testing::AssertionResult same_bytes(const std::string& got, const std::string& expected)
{
    if (got == expected)
        return ::testing::AssertionSuccess();
    const auto [at, ignored] =
        std::mismatch(got.begin(), got.begin() + std::min(got.size(), expected.size()), expected.begin());
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, expected " << expected.size()
                                         << "; first difference at byte " << (at - got.begin());
}

class squid_test_t : public daemon_test_t {
protected:
    void SetUp() override
    {
        if (!standin::squid_proxy_t::available())
            GTEST_SKIP() << "Squid is not installed (scripts/install-deps installs it)";
    }

    void TearDown() override
    {
        if (HasFailure() && squid)
            std::cerr << squid->failure_report() << "--- Squid's access.log ---\n"
                      << squid->access_log() << "--- Squid's icap.log ---\n"
                      << squid->icap_log() << "---\n";
        // Squid goes before the daemon it is connected to.
        client.reset();
        squid.reset();
        daemon_test_t::TearDown();
    }

    // Sets the daemon up for the scenario and starts it, waits until it
    // listens, and only then starts Squid, whose first OPTIONS query must
    // find it.
    ::testing::AssertionResult start_with_squid(const squid_setup_t& setup)
    {
        settings.set_use_preview(setup.preview);
        settings.set_use_204(setup.use_204);
        settings.set_allow_early_response(setup.early_response);
        settings.mutable_message_hook()->set_buffer(setup.hook);
        settings.set_templates_dir(TRAXD_SOURCE_DIR "/templates");
        if (!start_configured())
            return ::testing::AssertionFailure() << "the daemon did not apply its settings";
        standin::squid_options_t options;
        options.icap_port = port;
        options.bypass = setup.bypass;
        options.preview = setup.preview;
        options.preview_size = setup.preview_size;
        try {
            squid.emplace(options);
        } catch (const std::exception& e) {
            return ::testing::AssertionFailure() << e.what();
        }
        client.emplace(squid->port());
        return ::testing::AssertionSuccess();
    }

    // Carries the transfer through Squid and checks what the client gets.
    // A transfer without a complete answer is a fatal failure.
    void check_transfer(const transfer_t& transfer)
    {
        SCOPED_TRACE(transfer.name);
        using direction_t = transfer_t::direction_t;
        const bool page = transfer.direction == direction_t::page;
        const std::string label = !transfer.label.empty() ? transfer.label : page ? "page" : "upload";
        const std::string body = standin::payload(transfer.size);
        std::string url = page ? origin.page_url(transfer.size, transfer.framing, label) : origin.upload_url(label);
        if (!transfer.host.empty()) {
            const std::size_t host = url.find("//") + 2;
            url.replace(host, url.find('/', host) - host, transfer.host);
        }
        const auto carry = [&] { return page ? client->get(url) : client->post(url, body, transfer.framing); };
        standin::http_reply_t reply;
        try {
            const bool reused = client->connected();
            try {
                reply = carry();
            } catch (const std::exception& e) {
                // Squid now and then closes a kept-alive client connection
                // just as the next request goes out on it, before any byte
                // of an answer; a user agent sends the request again on a
                // new connection, and so does this client, once.
                if (!reused ||
                    std::string(e.what()).find("(end of stream) before a complete head") == std::string::npos)
                    throw;
                reply = carry();
            }
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
        ASSERT_EQ(reply.status, transfer.status) << reply.head_text() << reply.body.substr(0, 2000);
        if (transfer.status != 200) {
            EXPECT_NE(reply.body.find(transfer.body_contains), std::string::npos) << reply.body.substr(0, 2000);
        } else if (page) {
            EXPECT_TRUE(same_bytes(reply.body, body)) << reply.head_text();
        } else {
            EXPECT_EQ(reply.field("X-Received-Length"), std::to_string(body.size())) << reply.head_text();
            EXPECT_EQ(reply.field("X-Received-Sha256"), standin::sha256_hex(body)) << reply.head_text();
        }
    }

    standin::origin_server_t origin;
    std::optional<standin::squid_proxy_t> squid;
    std::optional<standin::http_client_t> client;
};

} // namespace e2e
