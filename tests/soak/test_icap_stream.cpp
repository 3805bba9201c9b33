// The ICAP framing the soak's relay follows: where messages begin and end,
// whether the bytes come whole or one by one, and what is not framing.

#include <gtest/gtest.h>

#include "soak/icap_stream.hpp"

namespace soak {
namespace {

const std::string http_response = "HTTP/1.1 200 OK\r\n\r\n";
const std::string http_request = "GET http://h/p HTTP/1.1\r\n\r\n";
const std::string answer_head = "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=19\r\n\r\n" + http_response;
const std::string body = "3\r\nabc\r\n2; x=1\r\nde\r\n0\r\nT: v\r\n\r\n";

struct stream_case_t {
    const char* name;
    std::string bytes;
    // "begun <start line> | <HTTP start line>", "ended <start line> <body size>"
    std::vector<std::string> events;
    bool between_messages = true;
    bool broken = false;
};

void PrintTo(const stream_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class icap_stream_test_t : public ::testing::TestWithParam<stream_case_t> {};

TEST_P(icap_stream_test_t, frames_whole_and_byte_by_byte)
{
    const auto& c = GetParam();
    for (const bool byte_by_byte : {false, true}) {
        SCOPED_TRACE(byte_by_byte ? "byte by byte" : "whole");
        std::vector<std::string> events;
        icap_stream_t stream(
            [&](const icap_message_t& m) { events.push_back("begun " + m.start_line + " | " + m.http_start_line); },
            [&](const icap_message_t& m) {
                events.push_back("ended " + m.start_line + " " + std::to_string(m.body_size));
            });
        if (byte_by_byte)
            for (const char byte : c.bytes)
                stream.feed(std::string_view(&byte, 1));
        else
            stream.feed(c.bytes);
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(stream.between_messages(), c.between_messages);
        EXPECT_EQ(!stream.broken().empty(), c.broken) << stream.broken();
    }
}

INSTANTIATE_TEST_SUITE_P(
    streams, icap_stream_test_t,
    ::testing::Values(
        stream_case_t{"answer_with_extension_and_trailer",
                      answer_head + body,
                      {"begun ICAP/1.0 200 OK | HTTP/1.1 200 OK", "ended ICAP/1.0 200 OK 5"}},
        stream_case_t{"answers_without_body_back_to_back",
                      "ICAP/1.0 204 No modifications needed\r\n\r\n"
                      "ICAP/1.0 200 OK\r\nMethods: RESPMOD\r\nEncapsulated: null-body=0\r\n\r\n",
                      {"begun ICAP/1.0 204 No modifications needed | ", "ended ICAP/1.0 204 No modifications needed 0",
                       "begun ICAP/1.0 200 OK | ", "ended ICAP/1.0 200 OK 0"}},
        stream_case_t{"query_with_request_and_response_heads",
                      "RESPMOD icap://d/respmod ICAP/1.0\r\nencapsulated: req-hdr=0, res-hdr=27, res-body=46\r\n\r\n" +
                          http_request + http_response + "0\r\n\r\n",
                      {"begun RESPMOD icap://d/respmod ICAP/1.0 | GET http://h/p HTTP/1.1",
                       "ended RESPMOD icap://d/respmod ICAP/1.0 0"}},
        stream_case_t{"ends_after_the_data_without_the_last_chunk",
                      answer_head + "3\r\nabc\r\n",
                      {"begun ICAP/1.0 200 OK | HTTP/1.1 200 OK"},
                      false},
        stream_case_t{"ends_in_the_trailer",
                      answer_head + "3\r\nabc\r\n0\r\n",
                      {"begun ICAP/1.0 200 OK | HTTP/1.1 200 OK"},
                      false},
        stream_case_t{"data_longer_than_its_size",
                      answer_head + "2\r\nabc\r\n0\r\n\r\n",
                      {"begun ICAP/1.0 200 OK | HTTP/1.1 200 OK"},
                      false,
                      true},
        stream_case_t{"size_not_hexadecimal",
                      answer_head + "zz\r\nabc\r\n0\r\n\r\n",
                      {"begun ICAP/1.0 200 OK | HTTP/1.1 200 OK"},
                      false,
                      true},
        stream_case_t{"line_ending_in_lf_only",
                      answer_head + "3\nabc\r\n0\r\n\r\n",
                      {"begun ICAP/1.0 200 OK | HTTP/1.1 200 OK"},
                      false,
                      true},
        stream_case_t{
            "encapsulated_without_offsets", "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr\r\n\r\n", {}, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace soak
