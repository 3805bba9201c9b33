// A body read whole and returned unchanged comes back byte for byte,
// however the client cut it in chunks: one chunk, a few, very many small
// ones, or more than fits in one piece, with the chunks' extensions and
// the end's, on a connection that goes on to the next query.

#include <charconv>
#include <string>
#include <vector>

#include "e2e/daemon_fixture.hpp"
#include "standins/icap_client.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

const std::string response_head =
    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n";

struct chunk_t {
    std::size_t size;
    std::string extension;
};

struct returned_body_case_t {
    const char* name;
    std::vector<chunk_t> chunks;
    std::string end_extension;
};

std::string hex(std::size_t value)
{
    char text[2 * sizeof value];
    return std::string(text, std::to_chars(text, text + sizeof text, value, 16).ptr);
}

// The body in chunked coding, each extension written after "sep"; the data
// of each chunk distinct from its neighbours'.
std::string chunked(const returned_body_case_t& c, const std::string& sep)
{
    std::string wire;
    char fill = 'a';
    for (const chunk_t& chunk : c.chunks) {
        wire += hex(chunk.size) + (chunk.extension.empty() ? "" : sep + chunk.extension) + "\r\n";
        wire += std::string(chunk.size, fill) + "\r\n";
        fill = fill == 'z' ? 'a' : static_cast<char>(fill + 1);
    }
    return wire + "0" + (c.end_extension.empty() ? "" : sep + c.end_extension) + "\r\n\r\n";
}

std::vector<chunk_t> chunks_of(std::size_t count, std::size_t size)
{
    return std::vector<chunk_t>(count, chunk_t{size, ""});
}

class returned_body_test_t : public daemon_test_t, public ::testing::WithParamInterface<returned_body_case_t> {};

TEST_P(returned_body_test_t, comes_back_byte_for_byte)
{
    const auto& c = GetParam();
    settings.set_use_204(true);
    ASSERT_TRUE(start_configured());
    standin::icap_client_t client(port);
    const std::string query = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n"
                              "Encapsulated: res-hdr=0, res-body=" +
                              std::to_string(response_head.size()) + "\r\n\r\n" + response_head + chunked(c, ";");
    // Twice on one connection: the second query is read from what follows
    // the first body.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        client.send(query);
        const auto answer = client.read_answer();
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->starts_with("ICAP/1.0 200 OK\r\n")) << answer->substr(0, 200);
        EXPECT_TRUE(answer->ends_with("\r\n\r\n" + response_head + chunked(c, "; ")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    bodies, returned_body_test_t,
    ::testing::Values(returned_body_case_t{"one_chunk", chunks_of(1, 10240), ""},
                      returned_body_case_t{
                          "a_few_chunks_with_extensions", {{100, "a=1"}, {200, ""}, {300, "b"}}, "c=2"},
                      returned_body_case_t{"very_many_small_chunks", chunks_of(200, 10), ""},
                      returned_body_case_t{"just_as_many_as_go_side_by_side", chunks_of(30, 100), ""},
                      returned_body_case_t{"more_than_one_piece_in_many_chunks", chunks_of(100, 1000), "e"},
                      returned_body_case_t{"big_chunks", chunks_of(5, 40000), ""}),
    [](const ::testing::TestParamInfo<returned_body_case_t>& info) { return std::string(info.param.name); });

} // namespace
} // namespace e2e
