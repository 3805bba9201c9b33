// Decoding a 1 MiB chunked body that arrives in 8192-byte reads, beside a
// plain copy of the same bytes in the same reads as the floor.

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cstring>
#include <sstream>

#include "protocol/body_stream.hpp"
#include "protocol/scripted_stream.hpp"

namespace {

constexpr std::size_t body_size = 1 << 20;
constexpr std::size_t read_size = 8192;

// The body as a client sends it: chunks of chunk_size bytes.
std::string chunked_body(std::size_t chunk_size)
{
    std::string data(body_size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 % 251);
    std::ostringstream wire;
    for (std::size_t at = 0; at < data.size(); at += chunk_size) {
        std::size_t const n = std::min(chunk_size, data.size() - at);
        wire << std::hex << n << "\r\n" << data.substr(at, n) << "\r\n";
    }
    wire << "0\r\n\r\n";
    return wire.str();
}

void read_to_end(const io::http::body_stream_t::pointer_t& body, std::size_t& total)
{
    body->async_receive_chunk([body, &total](io::http::body_chunk_t& chunk, const boost::system::error_code& error) {
        total += chunk.data.size();
        if (!error)
            read_to_end(body, total);
    });
}

void decode(benchmark::State& state)
{
    orx::buffer_t const wire(chunked_body(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        boost::asio::io_context context;
        auto body = io::http::body_stream_t::make_chunked_decoder(
            std::make_shared<test::piece_stream_t>(context, wire, read_size));
        std::size_t total = 0;
        read_to_end(body, total);
        context.run();
        if (total != body_size)
            state.SkipWithError("wrong body size");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body_size));
}

void copy(benchmark::State& state)
{
    std::string const source(chunked_body(static_cast<std::size_t>(state.range(0))));
    std::string target(source.size(), '\0');
    for (auto _ : state) {
        for (std::size_t at = 0; at < source.size(); at += read_size)
            std::memcpy(target.data() + at, source.data() + at, std::min(read_size, source.size() - at));
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body_size));
}

} // namespace

// Argument: the client's chunk size.
BENCHMARK(decode)->Arg(4096)->Arg(65536)->Arg(1 << 20);
BENCHMARK(copy)->Arg(4096)->Arg(65536)->Arg(1 << 20);

BENCHMARK_MAIN();
