// REQMOD and RESPMOD through the real daemon and its Lua hook, byte for
// byte: 204 where the client allows it or sent a preview, the unchanged
// message otherwise (its heads echoed, its body re-chunked with extensions
// and trailers), early answers on and off, keep-alive and pipelining, 400
// for malformed previews and bodies, and what hooks that fail or return
// garbage lead to.

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

const std::string get_head = "GET http://www.example.com/index.html HTTP/1.1\r\nHost: www.example.com\r\n"
                             "Accept: */*\r\n\r\n";
const std::string post_head = "POST http://www.example.com/upload HTTP/1.1\r\nHost: www.example.com\r\n"
                              "Transfer-Encoding: chunked\r\n\r\n";
const std::string response_head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string connect_head = "CONNECT www.example.com:443 HTTP/1.1\r\nHost: www.example.com:443\r\n\r\n";
const std::string connect_rewrite = "CONNECT www.example.com.orvex.invalid.:443 HTTP/1.1\r\n"
                                    "Host: www.example.com.orvex.invalid.:443\r\n\r\n";

// A body with a chunk extension and a trailer, as sent and as echoed (the
// extension comes back after "; ").
const std::string body = "3\r\nabc\r\n2;x=1\r\nde\r\n0\r\nT: v\r\n\r\n";
const std::string body_echoed = "3\r\nabc\r\n2; x=1\r\nde\r\n0\r\nT: v\r\n\r\n";

std::string size(const std::string& text)
{
    return std::to_string(text.size());
}

std::string reqmod(const std::string& fields, const std::string& head, const std::string& rest = "")
{
    const std::string part = rest.empty() ? "null-body=" : "req-body=";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nHost: 127.0.0.1\r\n" + fields + "Encapsulated: req-hdr=0, " +
           part + size(head) + "\r\n\r\n" + head + rest;
}

std::string respmod(const std::string& fields, const std::string& rest, const std::string& request = "")
{
    std::string encapsulated = request.empty() ? "res-hdr=0" : "req-hdr=0, res-hdr=" + size(request);
    encapsulated += (rest.empty() ? ", null-body=" : ", res-body=") + size(request + response_head);
    return "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n" + fields +
           "Encapsulated: " + encapsulated + "\r\n\r\n" + request + response_head + rest;
}

const std::string no_content = "ICAP/1.0 204 No modifications needed\r\nConnection: keep-alive\r\n\r\n";
const std::string bad_request = "ICAP/1.0 400 Bad request\r\nConnection: close\r\n\r\n";

std::string ok(const std::string& encapsulated, const std::string& extra_fields = "")
{
    return "ICAP/1.0 200 OK\r\nConnection: keep-alive\r\nEncapsulated: " + encapsulated + "\r\n" + extra_fields +
           "\r\n";
}

const std::string get_echoed = ok("req-hdr=0, null-body=" + size(get_head)) + get_head;
const std::string post_echoed = ok("req-hdr=0, req-body=" + size(post_head)) + post_head + body_echoed;
const std::string response_echoed = ok("res-hdr=0, res-body=" + size(response_head)) + response_head + body_echoed;
const std::string connect_blocked =
    ok("req-hdr=0, null-body=" + size(connect_rewrite), "X-Response-Info: Blocked\r\n") + connect_rewrite;

// One step on the connection: bytes to send, then what to read.
struct step_t {
    enum class read_t {
        // One whole answer, compared byte for byte without its ISTag line.
        answer,
        // Everything up to the next empty line.
        head,
        // Nothing may arrive for a moment.
        nothing,
    };
    std::string send;
    read_t read;
    std::string expected{};
};

step_t answer(const std::string& send, const std::string& expected)
{
    return {send, step_t::read_t::answer, expected};
}

struct modification_case_t {
    const char* name;
    std::vector<step_t> steps;
    bool use_204 = true;
    bool early_response = false;
    std::string hook = "function message_hook(t) return 'pass' end";
    bool block_unchecked = false;
    // The daemon ends the connection after the last answer; otherwise an
    // OPTIONS query on it must still be answered.
    bool closes = false;
};

std::string without_istag(std::string answer)
{
    const std::size_t at = answer.find("\r\nISTag: ");
    const std::size_t head_end = answer.find("\r\n\r\n");
    if (at != std::string::npos && at < head_end)
        answer.erase(at, answer.find("\r\n", at + 2) - at);
    return answer;
}

class modification_test_t : public daemon_test_t, public ::testing::WithParamInterface<modification_case_t> {};

TEST_P(modification_test_t, answers_byte_for_byte)
{
    const auto& c = GetParam();
    settings.set_use_204(c.use_204);
    settings.set_allow_early_response(c.early_response);
    settings.set_block_unchecked(c.block_unchecked);
    settings.mutable_message_hook()->set_buffer(c.hook);
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const step_t& step = c.steps[i];
        if (!step.send.empty())
            client.send(step.send);
        switch (step.read) {
        case step_t::read_t::answer: {
            const auto got = client.read_answer();
            ASSERT_TRUE(got.has_value()) << "no whole answer";
            EXPECT_EQ(without_istag(*got), step.expected);
            break;
        }
        case step_t::read_t::head:
            EXPECT_EQ(without_istag(client.read_head().value_or("(nothing)")), step.expected);
            break;
        case step_t::read_t::nothing:
            EXPECT_TRUE(client.stays_open(300ms));
            break;
        }
    }
    if (c.closes) {
        EXPECT_TRUE(client.wait_for_end());
    } else {
        const auto options = client.ask(standin::options_query(port, "/respmod"));
        ASSERT_TRUE(options.has_value()) << "the connection was not kept";
        EXPECT_EQ(options->status_line, "ICAP/1.0 200 OK");
    }
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

const std::string allow_204 = "Allow: 204\r\n";
const std::string preview_0 = "Preview: 0\r\n";

INSTANTIATE_TEST_SUITE_P(
    queries, modification_test_t,
    ::testing::Values(
        // 204 only where the client allows it.
        modification_case_t{.name = "reqmod_allowed_204", .steps = {answer(reqmod(allow_204, get_head), no_content)}},
        modification_case_t{.name = "reqmod_echoed", .steps = {answer(reqmod("", get_head), get_echoed)}},
        modification_case_t{.name = "reqmod_body_echoed", .steps = {answer(reqmod("", post_head, body), post_echoed)}},
        modification_case_t{.name = "respmod_allowed_204", .steps = {answer(respmod(allow_204, body), no_content)}},
        modification_case_t{.name = "respmod_body_echoed", .steps = {answer(respmod("", body), response_echoed)}},
        // A RESPMOD answer never carries the request head.
        modification_case_t{.name = "respmod_with_request_head_echoed",
                            .steps = {answer(respmod("", body, get_head), response_echoed)}},
        modification_case_t{.name = "allow_list",
                            .steps = {answer(respmod("Allow: trailers, 204\r\n", body), no_content)}},
        modification_case_t{.name = "allow_2040", .steps = {answer(respmod("Allow: 2040\r\n", body), response_echoed)}},
        modification_case_t{.name = "allow_without_use_204",
                            .steps = {answer(respmod(allow_204, body), response_echoed)},
                            .use_204 = false},
        // A preview is answered 204 before any 100 Continue, whatever the
        // Allow field and use_204 say; the rest of the body is never asked
        // for.
        modification_case_t{.name = "preview_ieof",
                            .steps = {answer(respmod(preview_0, "0; ieof\r\n\r\n"), no_content)}},
        modification_case_t{.name = "preview_without_ieof",
                            .steps = {answer(respmod(preview_0, "0\r\n\r\n"), no_content)}},
        modification_case_t{.name = "preview_without_use_204",
                            .steps = {answer(reqmod(preview_0, post_head, "0\r\n\r\n"), no_content)},
                            .use_204 = false},
        // Malformed previews and bodies: 400 and close, whether the body was
        // read for the answer or only drained before it.
        modification_case_t{.name = "preview_512",
                            .steps = {answer(respmod("Preview: 512\r\n", "0\r\n\r\n"), bad_request)},
                            .closes = true},
        modification_case_t{.name = "preview_00",
                            .steps = {answer(respmod("Preview: 00\r\n", "0\r\n\r\n"), bad_request)},
                            .closes = true},
        modification_case_t{.name = "preview_with_data",
                            .steps = {answer(respmod(preview_0, "5\r\nhello\r\n0\r\n\r\n"), bad_request)},
                            .closes = true},
        modification_case_t{.name = "broken_body_while_echoed",
                            .steps = {answer(reqmod("", post_head, "3\r\nabc\r\nxyz\r\n0\r\n\r\n"), bad_request)},
                            .closes = true},
        modification_case_t{
            .name = "broken_body_while_drained",
            .steps = {answer(reqmod(allow_204, post_head, "3\r\nabc\r\nxyz\r\n0\r\n\r\n"), bad_request)},
            .closes = true},
        // The answer waits for the whole body unless early answers are
        // allowed; either way the next query is read after the body.
        modification_case_t{.name = "late_204",
                            .steps = {{reqmod(allow_204, post_head, "3\r\nabc\r\n"), step_t::read_t::nothing},
                                      answer("0\r\n\r\n", no_content)}},
        modification_case_t{.name = "early_204",
                            .steps = {answer(reqmod(allow_204, post_head, "3\r\nabc\r\n"), no_content),
                                      {"0\r\n\r\n", step_t::read_t::nothing}},
                            .early_response = true},
        modification_case_t{.name = "late_echo",
                            .steps = {{reqmod("", post_head, "3\r\nabc\r\n"), step_t::read_t::nothing},
                                      answer("2;x=1\r\nde\r\n0\r\nT: v\r\n\r\n", post_echoed)}},
        modification_case_t{.name = "early_echo",
                            .steps = {{reqmod("", post_head, "3\r\nabc\r\n"), step_t::read_t::head,
                                       ok("req-hdr=0, req-body=" + size(post_head))},
                                      {"", step_t::read_t::head, post_head},
                                      {"2;x=1\r\nde\r\n0\r\nT: v\r\n\r\n", step_t::read_t::head, body_echoed}},
                            .early_response = true},
        // Queries sent back to back are answered in order.
        modification_case_t{
            .name = "pipelined",
            .steps = {answer(reqmod(allow_204, post_head, body) + respmod("", body) + reqmod("", get_head), no_content),
                      answer("", response_echoed), answer("", get_echoed)}},
        modification_case_t{.name = "connection_close",
                            .steps = {answer(reqmod(allow_204 + "Connection: close\r\n", get_head),
                                             "ICAP/1.0 204 No modifications needed\r\nConnection: close\r\n\r\n")},
                            .closes = true},
        // What the hook answers: "pass" and "block" in any case; a failure
        // or anything else passes, or blocks with block_unchecked.
        modification_case_t{.name = "hook_pass_upper_case",
                            .steps = {answer(reqmod(allow_204, connect_head), no_content)},
                            .hook = "function message_hook(t) return \"PASS\" end"},
        modification_case_t{.name = "hook_block",
                            .steps = {answer(reqmod(allow_204, connect_head), connect_blocked)},
                            .hook = "function message_hook(t) return \"Block\" end"},
        modification_case_t{.name = "hook_error_passes",
                            .steps = {answer(reqmod(allow_204, connect_head), no_content)},
                            .hook = "function message_hook(t) error(\"boom\") end"},
        modification_case_t{.name = "hook_error_blocks",
                            .steps = {answer(reqmod(allow_204, connect_head), connect_blocked)},
                            .hook = "function message_hook(t) error(\"boom\") end",
                            .block_unchecked = true},
        modification_case_t{.name = "hook_garbage_passes",
                            .steps = {answer(reqmod(allow_204, connect_head), no_content)},
                            .hook = "function message_hook(t) return 42 end"},
        modification_case_t{.name = "hook_two_values_block",
                            .steps = {answer(reqmod(allow_204, connect_head), connect_blocked)},
                            .hook = "function message_hook(t) return \"pass\", 1 end",
                            .block_unchecked = true},
        modification_case_t{.name = "hook_nothing_blocks",
                            .steps = {answer(reqmod(allow_204, connect_head), connect_blocked)},
                            .hook = "function message_hook(t) end",
                            .block_unchecked = true}),
    [](const auto& info) { return std::string(info.param.name); });

class hook_log_test_t : public daemon_test_t {};

// A failing hook that lets the message pass says why, tagged with the hook.
TEST_F(hook_log_test_t, failure_that_passes_is_logged)
{
    settings.set_use_204(true);
    settings.mutable_message_hook()->set_buffer("function message_hook(t) error(\"boom\") end");
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    client.send(reqmod(allow_204, get_head));
    ASSERT_TRUE(client.read_answer().has_value());
    EXPECT_TRUE(pilotd.wait_for_stderr(": Check failure: "));
    EXPECT_TRUE(pilotd.wait_for_stderr("boom"));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

} // namespace
} // namespace e2e
