// Load on a whole ICAP server over loopback TCP: the real orvex-traxd under
// the stand-in PilotD with a hook that lets everything pass, and, side by
// side when it is installed, c-icap with its echo service. Eight clients,
// each on one kept-alive connection, send one query after the other:
// REQMOD of a GET answered 204, and RESPMOD of a 10 KiB body without
// "Allow: 204", answered with the body returned unchanged. The figure that
// counts is requests per CPU-second of the server (user and system time of
// its processes, from /proc), which the client's own speed hardly moves;
// the wall-clock rate is shown beside it. Run from a release build:
//
//     build/<you>-release/tests/bench/bench_icap_load

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_cpu.hpp"
#include "standins/child_process.hpp"
#include "standins/icap_client.hpp"
#include "standins/pilotd_standin.hpp"

namespace {

using namespace std::chrono_literals;

constexpr int clients = 8;
constexpr int queries_per_client = 250;

class server_t {
public:
    virtual ~server_t() = default;
    virtual pid_t pid() const = 0;
    unsigned port = standin::free_port();
    std::string reqmod_path;
    std::string respmod_path;
};

class traxd_t : public server_t {
public:
    traxd_t()
    {
        reqmod_path = "/reqmod";
        respmod_path = "/respmod";
        ox::TRAXDConfig settings;
        settings.set_log_level(ox::LOG_LEVEL_NOTICE);
        settings.mutable_actual_log()->set_type(ox::Log::STDERR);
        settings.mutable_run_as_user()->set_uid(::getuid());
        settings.set_templates_dir(std::filesystem::temp_directory_path().string());
        settings.mutable_listen_address()->set_address("127.0.0.1");
        settings.mutable_listen_address()->set_port(port);
        settings.mutable_message_hook()->set_buffer("function message_hook(t) return 'pass' end");
        settings.set_use_204(true);
        pilotd_.set_config(settings, 1);
        standin::launch_options_t options;
        options.binary = TRAXD_BINARY;
        pilotd_.start(options);
        if (!pilotd_.wait_for_frame(ox::TRAXD2PilotdMessage::MY_INFO_NOTIFICATION, 0, 20s))
            throw std::runtime_error("orvex-traxd did not apply its settings");
    }
    ~traxd_t() override
    {
        pilotd_.signal(SIGTERM);
        pilotd_.wait_exit();
    }
    pid_t pid() const override { return pilotd_.pid(); }

private:
    standin::pilotd_standin_t pilotd_;
};

// c-icap in the foreground with one child process and its echo service.
class c_icap_t : public server_t {
public:
    c_icap_t()
    {
        reqmod_path = "/echo";
        respmod_path = "/echo";
        char name[] = "/tmp/traxd-bench-c-icap-XXXXXX";
        if (::mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp");
        directory_ = name;
        const std::string modules = "/usr/lib/x86_64-linux-gnu/c_icap";
        std::ofstream(directory_ + "/c-icap.conf")
            << "PidFile " << directory_ << "/c-icap.pid\n"
            << "CommandsSocket " << directory_ << "/c-icap.ctl\n"
            << "Port 127.0.0.1:" << port << "\n"
            << "StartServers 1\nMaxServers 1\nMinSpareThreads 1\nMaxSpareThreads 64\nThreadsPerChild 64\n"
            << "TmpDir " << directory_ << "\n"
            << "ServerLog " << directory_ << "/server.log\n"
            << "AccessLog " << directory_ << "/access.log\n"
            << "ModulesDir " << modules << "\nServicesDir " << modules << "\n"
            << "MaxKeepAliveRequests 0\nKeepAliveTimeout 600\n"
            << "Service echo srv_echo.so\n";
        standin::spawn_request_t request;
        request.binary = "/usr/bin/c-icap";
        request.arguments = {"-N", "-f", directory_ + "/c-icap.conf"};
        pid_ = standin::spawn_process(request);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            try {
                standin::icap_client_t probe(port);
                if (probe.ask(standin::options_query(port, "/echo")))
                    return;
            } catch (const std::exception&) {
            }
            std::this_thread::sleep_for(50ms);
        }
        throw std::runtime_error("c-icap did not answer");
    }
    ~c_icap_t() override
    {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    pid_t pid() const override { return pid_; }

    static bool available() { return ::access("/usr/bin/c-icap", X_OK) == 0; }

private:
    std::string directory_;
    pid_t pid_ = -1;
};

std::string reqmod_204(const server_t& server)
{
    const std::string head = "GET http://www.example.com/index.html HTTP/1.1\r\nHost: www.example.com\r\n"
                             "Accept: */*\r\nUser-Agent: bench\r\n\r\n";
    return "REQMOD icap://127.0.0.1" + server.reqmod_path + " ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n" +
           "Encapsulated: req-hdr=0, null-body=" + std::to_string(head.size()) + "\r\n\r\n" + head;
}

std::string respmod_10k(const server_t& server)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                             "Content-Length: 10240\r\n\r\n";
    return "RESPMOD icap://127.0.0.1" + server.respmod_path + " ICAP/1.0\r\nHost: 127.0.0.1\r\n" +
           "Encapsulated: res-hdr=0, res-body=" + std::to_string(head.size()) + "\r\n\r\n" + head + "2800\r\n" +
           std::string(10240, 'x') + "\r\n0\r\n\r\n";
}

// The clients' connections, kept open across the benchmark's iterations.
class load_t {
public:
    load_t(const server_t& server, std::string query, std::string status_line)
        : query_(std::move(query)), status_line_(std::move(status_line))
    {
        for (int i = 0; i < clients; ++i)
            connections_.push_back(std::make_unique<standin::icap_client_t>(server.port));
    }

    // Every client sends its queries one after the other; false when an
    // answer was missing or not the one expected.
    bool run()
    {
        std::vector<std::thread> threads;
        std::vector<int> failures(clients, 0);
        for (int i = 0; i < clients; ++i)
            threads.emplace_back([this, i, &failures] {
                for (int n = 0; n < queries_per_client; ++n) {
                    connections_[i]->send(query_);
                    const auto answer = connections_[i]->read_answer();
                    if (!answer || answer->rfind(status_line_, 0) != 0)
                        ++failures[i];
                }
            });
        for (auto& thread : threads)
            thread.join();
        for (int failed : failures)
            if (failed != 0)
                return false;
        return true;
    }

private:
    std::string query_;
    std::string status_line_;
    std::vector<std::unique_ptr<standin::icap_client_t>> connections_;
};

template <class Server>
void load(benchmark::State& state, bool respmod)
{
    if constexpr (std::is_same_v<Server, c_icap_t>)
        if (!c_icap_t::available()) {
            state.SkipWithError("c-icap is not installed (scripts/install-deps installs it)");
            return;
        }
    const Server server;
    load_t clients_load(server, respmod ? respmod_10k(server) : reqmod_204(server),
                        respmod ? "ICAP/1.0 200 OK\r\n" : "ICAP/1.0 204 ");
    // One round before measuring: connections and the hook warmed up.
    if (!clients_load.run()) {
        state.SkipWithError("wrong answers");
        return;
    }
    const double cpu_before = bench::process_tree_cpu_seconds(server.pid());
    for (auto _ : state)
        if (!clients_load.run()) {
            state.SkipWithError("wrong answers");
            return;
        }
    const double cpu = bench::process_tree_cpu_seconds(server.pid()) - cpu_before;
    const double queries = static_cast<double>(state.iterations()) * clients * queries_per_client;
    state.counters["requests"] = queries;
    state.counters["server_cpu_s"] = cpu;
    state.counters["requests_per_cpu_s"] = cpu > 0 ? queries / cpu : 0;
    state.counters["requests_per_s"] = benchmark::Counter(queries, benchmark::Counter::kIsRate);
}

void traxd_reqmod_204(benchmark::State& state)
{
    load<traxd_t>(state, false);
}
void traxd_respmod_10k_unchanged(benchmark::State& state)
{
    load<traxd_t>(state, true);
}
void c_icap_echo_reqmod_204(benchmark::State& state)
{
    load<c_icap_t>(state, false);
}
void c_icap_echo_respmod_10k_unchanged(benchmark::State& state)
{
    load<c_icap_t>(state, true);
}

// Long enough for the clock-tick resolution of the CPU times.
BENCHMARK(traxd_reqmod_204)->MinTime(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(traxd_respmod_10k_unchanged)->MinTime(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(c_icap_echo_reqmod_204)->MinTime(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(c_icap_echo_respmod_10k_unchanged)->MinTime(5)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
