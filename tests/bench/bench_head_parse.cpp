// Parsing the heads every query carries: an ICAP REQMOD head and the
// encapsulated HTTP request head of seven fields, each fed whole, by the
// push parsers and by the head reader scripts use.

#include <benchmark/benchmark.h>

#include <string>

#include "common/buffer.hpp"
#include "lua/head_parser.hpp"
#include "protocol/parsers/http_parser.hpp"
#include "protocol/parsers/icap_parser.hpp"

namespace {

const std::string http_head = "GET http://www.example.org/images/logo.png?size=large HTTP/1.1\r\n"
                              "Host: www.example.org\r\n"
                              "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101\r\n"
                              "Accept: image/avif,image/webp,*/*\r\n"
                              "Accept-Language: en-US,en;q=0.5\r\n"
                              "Accept-Encoding: gzip, deflate\r\n"
                              "Connection: keep-alive\r\n"
                              "Referer: http://www.example.org/index.html\r\n"
                              "\r\n";

const std::string icap_head = "REQMOD icap://127.0.0.1:1344/reqmod ICAP/1.0\r\n"
                              "Host: 127.0.0.1:1344\r\n"
                              "Allow: 204\r\n"
                              "X-Client-IP: 192.0.2.17\r\n"
                              "Encapsulated: req-hdr=0, null-body=" +
                              std::to_string(http_head.size()) + "\r\n\r\n" + http_head;

class http_sink_t : public proto::http::parser_t::delegate_t {
public:
    std::size_t seen = 0;
    void on_request_line(proto::http::parser_t&, const proto::request_line_t& line) override
    {
        seen += line.uri.size();
    }
    void on_status_line(proto::http::parser_t&, const proto::status_line_t&) override {}
    void on_field(proto::http::parser_t&, const proto::field_t& field) override { seen += field.value.size(); }
    void on_head_end(proto::http::parser_t&, std::int64_t) override {}
    void on_chunk(proto::http::parser_t&, std::int64_t, const std::string&) override {}
    void on_part_begin(proto::http::parser_t&, proto::multipart_data_parser_t*, bool) override {}
    void on_nested_multipart(proto::http::parser_t&, proto::multipart_data_parser_t*,
                             proto::multipart_data_parser_t*) override
    {
    }
    void on_data(proto::http::parser_t&, proto::multipart_data_parser_t*, int, const char*, std::size_t) override {}
};

class icap_sink_t : public proto::icap::parser_t::delegate_t {
public:
    std::size_t seen = 0;
    void on_request_line(proto::icap::parser_t&, const proto::request_line_t& line) override
    {
        seen += line.uri.size();
    }
    void on_status_line(proto::icap::parser_t&, const proto::status_line_t&) override {}
    void on_field(proto::icap::parser_t&, const proto::field_view_t& field) override { seen += field.value.size(); }
    void on_encapsulated(proto::icap::parser_t&, const proto::icap::section_list_t&) override {}
    void on_head_end(proto::icap::parser_t&) override {}
    void on_data(proto::icap::parser_t&, proto::icap::section_kind_t, const char*, std::size_t size) override
    {
        seen += size;
    }
};

void http_request_head(benchmark::State& state)
{
    http_sink_t sink;
    for (auto _ : state) {
        proto::http::parser_t parser(&sink);
        parser.feed(http_head.data(), http_head.size(), true);
    }
    benchmark::DoNotOptimize(sink.seen);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * http_head.size()));
}
BENCHMARK(http_request_head);

void icap_query_head(benchmark::State& state)
{
    icap_sink_t sink;
    for (auto _ : state) {
        proto::icap::parser_t parser(&sink);
        parser.feed(icap_head.data(), icap_head.size(), false);
    }
    benchmark::DoNotOptimize(sink.seen);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * icap_head.size()));
}
BENCHMARK(icap_query_head);

// One parser for query after query, reset between them, as the server's
// reader keeps it.
void icap_query_head_reused(benchmark::State& state)
{
    icap_sink_t sink;
    proto::icap::parser_t parser(&sink);
    for (auto _ : state) {
        parser.feed(icap_head.data(), icap_head.size(), false);
        parser.reset();
    }
    benchmark::DoNotOptimize(sink.seen);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * icap_head.size()));
}
BENCHMARK(icap_query_head_reused);

// The whole reader: parser, URL and field map.
void script_request_head(benchmark::State& state)
{
    orx::buffer_t const head(http_head);
    for (auto _ : state)
        benchmark::DoNotOptimize(ic::context::parse_request_header(head));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * http_head.size()));
}
BENCHMARK(script_request_head);

} // namespace

BENCHMARK_MAIN();
