// A body streamed through the Vetter client to the in-process stand-in
// Vetter over a local socket, both on one event loop: the scan alone (the
// body out, the report back), and the scan with the body read back as the
// answer would carry it. The body comes in chunks of 65535 bytes, the most
// the chunked decoder hands on at once.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/core/inventory.hpp"
#include "app/pilotd_peer.hpp"
#include "clients/vetter_connection.hpp"
#include "common/log.hpp"
#include "protocol/body_stream.hpp"
#include "standins/vetter_standin.hpp"

namespace {

constexpr std::size_t piece = 65535;

// An application object, the stand-in and one client connection.
class bench_setup_t {
public:
    bench_setup_t()
    {
        cf_log_threshold = cf_log_error;
        inventory = std::make_unique<ic::inventory_t>(pilotd.daemon_end());
        pilotd.release_daemon_end();
        inventory->ticker.cancel();
        char name[] = "/tmp/traxd-bench-XXXXXX";
        if (::mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp");
        directory = name;
        vetter = std::make_unique<standin::vetter_standin_t>(inventory->io_context, directory + "/vetter.sock");
        vetter->set_recording(false);
        connection = ic::vetter_connection_t::connect(*inventory, vetter->path());
    }

    ~bench_setup_t()
    {
        connection->close();
        connection.reset();
        vetter.reset();
        inventory.reset();
        std::filesystem::remove_all(directory);
    }

    std::shared_ptr<io::http::body_stream_t> body(const std::string& data)
    {
        auto chunks = std::make_shared<io::http::body_t>();
        for (std::size_t at = 0; at < data.size(); at += piece)
            chunks->push_back({"", orx::buffer_t(data.data() + at, std::min(piece, data.size() - at)), {}});
        chunks->push_back({});
        return io::http::body_stream_t::make(inventory->io_context, chunks);
    }

    void run_until(const bool& done)
    {
        while (!done)
            inventory->io_context.run_one();
    }

    test_pilotd::peer_t pilotd;
    std::unique_ptr<ic::inventory_t> inventory;
    std::string directory;
    std::unique_ptr<standin::vetter_standin_t> vetter;
    std::shared_ptr<ic::vetter_connection_t> connection;
};

void read_to_end(const std::shared_ptr<io::http::body_stream_t>& body, std::size_t& total, bool& done)
{
    body->async_receive([body, &total, &done](const orx::buffer_t& data, const boost::system::error_code& error) {
        total += data.size();
        if (error)
            done = true;
        else
            read_to_end(body, total, done);
    });
}

void run(benchmark::State& state, bool read_back)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 131 % 251);
    bench_setup_t setup;
    for (auto _ : state) {
        bool done = false;
        bool failed = false;
        std::size_t total = 0;
        setup.connection->scan(setup.body(data), false,
                               [&](const ox::ScanReport&, const std::shared_ptr<io::http::body_stream_t>& returned,
                                   const boost::system::error_code& error) {
                                   failed = static_cast<bool>(error);
                                   if (read_back && !failed)
                                       read_to_end(returned, total, done);
                                   else
                                       done = true;
                               });
        setup.run_until(done);
        if (failed || (read_back && total < size)) {
            state.SkipWithError("the scan failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void scan(benchmark::State& state)
{
    run(state, false);
}

void scan_and_read_back(benchmark::State& state)
{
    run(state, true);
}

} // namespace

// Argument: the body's size.
BENCHMARK(scan)->Arg(10 * 1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(scan_and_read_back)->Arg(10 * 1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
