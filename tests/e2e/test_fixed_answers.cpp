// Malformed and misdirected queries: each gets its fixed answer with
// "Connection: close" and no Encapsulated field, and the daemon half-closes
// the connection after writing it.

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

const std::string http_request = "GET http://example.test/ HTTP/1.1\r\nHost: example.test\r\n\r\n";
const std::string http_response = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

std::string query(const std::string& start_line, const std::string& fields = "", const std::string& rest = "")
{
    return start_line + "\r\nHost: 127.0.0.1\r\n" + fields + "\r\n" + rest;
}

std::string with_http_head(const std::string& start_line, const char* part, const std::string& head)
{
    return query(start_line,
                 "Encapsulated: " + std::string(part) + "=0, null-body=" + std::to_string(head.size()) + "\r\n", head);
}

struct fixed_case_t {
    const char* name;
    std::string bytes;
    std::string status_line;
};

class fixed_answer_test_t : public daemon_test_t, public ::testing::WithParamInterface<fixed_case_t> {};

TEST_P(fixed_answer_test_t, answered_with_close_then_half_closed)
{
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    const auto head = client.ask(GetParam().bytes);
    ASSERT_TRUE(head.has_value()) << "no answer";
    EXPECT_EQ(head->status_line, GetParam().status_line);
    EXPECT_EQ(head->field("Connection"), "close");
    EXPECT_EQ(head->field("Encapsulated"), std::nullopt);
    EXPECT_TRUE(head->field("ISTag").has_value());
    // The daemon ends its side; it reads on until we close ours.
    EXPECT_TRUE(client.wait_for_end());
    client.send("trailing bytes the daemon reads and drops");
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

INSTANTIATE_TEST_SUITE_P(
    answers, fixed_answer_test_t,
    ::testing::Values(fixed_case_t{"unparsable_head",
                                   "OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\nno colon here\r\n\r\n",
                                   "ICAP/1.0 400 Bad request"},
                      fixed_case_t{"options_with_a_request_head",
                                   with_http_head("OPTIONS icap://127.0.0.1/reqmod ICAP/1.0", "req-hdr", http_request),
                                   "ICAP/1.0 400 Bad request"},
                      fixed_case_t{"unknown_service", query("OPTIONS icap://127.0.0.1/other ICAP/1.0"),
                                   "ICAP/1.0 404 ICAP Service not found"},
                      fixed_case_t{"service_in_capitals", query("OPTIONS icap://127.0.0.1/REQMOD ICAP/1.0"),
                                   "ICAP/1.0 404 ICAP Service not found"},
                      fixed_case_t{"service_with_more_path", query("OPTIONS icap://127.0.0.1/reqmod/x ICAP/1.0"),
                                   "ICAP/1.0 404 ICAP Service not found"},
                      fixed_case_t{"reqmod_to_respmod",
                                   with_http_head("REQMOD icap://127.0.0.1/respmod ICAP/1.0", "req-hdr", http_request),
                                   "ICAP/1.0 405 Method not allowed for service"},
                      fixed_case_t{"respmod_to_reqmod",
                                   with_http_head("RESPMOD icap://127.0.0.1/reqmod ICAP/1.0", "res-hdr", http_response),
                                   "ICAP/1.0 405 Method not allowed for service"},
                      fixed_case_t{"reqmod_without_request_head",
                                   query("REQMOD icap://127.0.0.1/reqmod ICAP/1.0", "Encapsulated: null-body=0\r\n"),
                                   "ICAP/1.0 418 Bad Composition"},
                      fixed_case_t{"respmod_without_response_head",
                                   with_http_head("RESPMOD icap://127.0.0.1/respmod ICAP/1.0", "req-hdr", http_request),
                                   "ICAP/1.0 418 Bad Composition"},
                      fixed_case_t{"version_1_1", query("OPTIONS icap://127.0.0.1/reqmod ICAP/1.1"),
                                   "ICAP/1.0 505 ICAP version not supported by server"},
                      fixed_case_t{"version_before_path", query("OPTIONS icap://127.0.0.1/other ICAP/2.0"),
                                   "ICAP/1.0 505 ICAP version not supported by server"},
                      fixed_case_t{"no_version", query("OPTIONS icap://127.0.0.1/reqmod"),
                                   "ICAP/1.0 505 ICAP version not supported by server"},
                      // A body found malformed while the daemon reads it to
                      // its end before answering: 400 instead of the answer.
                      fixed_case_t{"options_with_a_broken_opt_body",
                                   query("OPTIONS icap://127.0.0.1/respmod ICAP/1.0", "Encapsulated: opt-body=0\r\n",
                                         "5\r\nhello\r\nnot a chunk size\r\n"),
                                   "ICAP/1.0 400 Bad request"},
                      fixed_case_t{"misdirected_query_with_a_broken_body",
                                   query("REQMOD icap://127.0.0.1/other ICAP/1.0", "Encapsulated: req-body=0\r\n",
                                         "3\r\nabc\r\nxyz\r\n0\r\n\r\n"),
                                   "ICAP/1.0 400 Bad request"},
                      fixed_case_t{"preview_longer_than_announced",
                                   query("RESPMOD icap://127.0.0.1/respmod ICAP/1.0",
                                         "Preview: 0\r\nEncapsulated: req-hdr=0, res-body=" +
                                             std::to_string(http_request.size()) + "\r\n",
                                         http_request + "5\r\nhello\r\n0\r\n\r\n"),
                                   "ICAP/1.0 400 Bad request"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
