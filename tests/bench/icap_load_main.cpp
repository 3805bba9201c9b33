// icap-load: puts a closed-loop load of one kind of query on an ICAP server
// on 127.0.0.1 and prints what it did, on one line of name=value pairs that
// scripts/bench reads:
//
//   icap-load --port N --service PATH --path NAME
//             [--connections N] [--threads N]
//             (--seconds S [--warmup S] | --count N)
//             [--cpu-pid PID]... [--query-limit-ms N] [--preview N]
//
// --path names the kind of query (options, reqmod-204, respmod-10k-preview,
// respmod-10k, respmod-1m); --service the server's service, e.g. /respmod.
// A query with a preview sends as many bytes as --preview says or else, as
// a proxy does, as the service's OPTIONS answer offers ("Preview"), at most
// 1024.
// With --seconds the load runs for a warm-up and then for the measured
// time; with --count it sends that many queries in all and everything
// counts. --cpu-pid names a server process whose CPU time (with its
// threads and children) is read where the measured time starts and ends,
// giving requests per CPU-second.
//
// Wrong answers, missing answers and failed connections are errors: the
// first few go to the standard error, and the exit status is 1 when there
// was any (2 for a wrong command line or a server that cannot be reached).

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_generator.hpp"
#include "bench/load_path.hpp"
#include "bench/process_cpu.hpp"
#include "standins/icap_client.hpp"

namespace {

const char* const usage = "usage: icap-load --port N --service PATH --path NAME [--connections N] [--threads N]\n"
                          "                 (--seconds S [--warmup S] | --count N) [--cpu-pid PID]...\n"
                          "                 [--query-limit-ms N] [--preview N]\n";

struct command_t {
    bench::load_options_t load;
    std::string service;
    std::string path;
    double seconds = 0;
    double warmup = 0;
    std::vector<pid_t> cpu_pids;
    std::optional<std::size_t> preview;
};

std::optional<command_t> parse(int argc, char* argv[])
{
    command_t command;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        const bool numeric = end != value.c_str() && *end == '\0' && number >= 0;
        if (name == "--service")
            command.service = value;
        else if (name == "--path")
            command.path = value;
        else if (!numeric)
            return std::nullopt;
        else if (name == "--port")
            command.load.port = static_cast<unsigned>(number);
        else if (name == "--connections")
            command.load.connections = static_cast<int>(number);
        else if (name == "--threads")
            command.load.threads = static_cast<int>(number);
        else if (name == "--seconds")
            command.seconds = number;
        else if (name == "--warmup")
            command.warmup = number;
        else if (name == "--count")
            command.load.count = static_cast<std::uint64_t>(number);
        else if (name == "--cpu-pid")
            command.cpu_pids.push_back(static_cast<pid_t>(number));
        else if (name == "--preview")
            command.preview = static_cast<std::size_t>(number);
        else if (name == "--query-limit-ms")
            command.load.query_limit = std::chrono::milliseconds(static_cast<long long>(number));
        else
            return std::nullopt;
    }
    const bool by_time = command.seconds > 0;
    const bool by_count = command.load.count > 0;
    if (command.load.port == 0 || command.load.port > 65535 || command.service.empty() || command.path.empty() ||
        command.load.connections < 1 || command.load.threads < 1 || by_time == by_count)
        return std::nullopt;
    return command;
}

double cpu_seconds(const std::vector<pid_t>& pids)
{
    double total = 0;
    for (pid_t pid : pids)
        total += bench::process_tree_cpu_seconds(pid);
    return total;
}

void sleep_for(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// The preview size the service offers in its OPTIONS answer.
std::optional<std::size_t> offered_preview(unsigned port, const std::string& service)
{
    standin::icap_client_t client(port);
    const auto head = client.ask(standin::options_query(port, service));
    if (!head)
        throw std::runtime_error("no answer to OPTIONS of " + service);
    const auto value = head->field("Preview");
    if (!value)
        return std::nullopt;
    return static_cast<std::size_t>(std::stoul(*value));
}

} // namespace

int main(int argc, char* argv[])
{
    const auto command = parse(argc, argv);
    if (!command) {
        std::cerr << usage;
        return 2;
    }
    std::size_t preview = bench::max_preview;
    try {
        if (command->preview)
            preview = *command->preview;
        else if (command->path == "respmod-10k-preview") {
            const auto offered = offered_preview(command->load.port, command->service);
            if (!offered) {
                std::cerr << "icap-load: " << command->service << " offers no preview\n";
                return 2;
            }
            preview = *offered;
        }
    } catch (const std::exception& e) {
        std::cerr << "icap-load: " << e.what() << '\n';
        return 2;
    }
    const auto path = bench::make_load_path(command->path, command->load.port, command->service, preview);
    if (!path) {
        std::cerr << "icap-load: unknown path " << command->path << "; one of:";
        for (const auto& name : bench::load_path_names())
            std::cerr << ' ' << name;
        std::cerr << '\n';
        return 2;
    }

    bench::load_result_t result;
    double wall = 0;
    double cpu = 0;
    try {
        bench::load_generator_t generator(*path, command->load);
        using clock_t_ = std::chrono::steady_clock;
        if (command->load.count > 0) {
            const double cpu_before = cpu_seconds(command->cpu_pids);
            const auto before = clock_t_::now();
            generator.open_window();
            generator.start();
            generator.wait();
            wall = std::chrono::duration<double>(clock_t_::now() - before).count();
            cpu = cpu_seconds(command->cpu_pids) - cpu_before;
            result = generator.stop();
        } else {
            generator.start();
            sleep_for(command->warmup);
            const double cpu_before = cpu_seconds(command->cpu_pids);
            const auto before = clock_t_::now();
            generator.open_window();
            sleep_for(command->seconds);
            generator.close_window();
            wall = std::chrono::duration<double>(clock_t_::now() - before).count();
            cpu = cpu_seconds(command->cpu_pids) - cpu_before;
            result = generator.stop();
        }
    } catch (const std::exception& e) {
        std::cerr << "icap-load: " << e.what() << '\n';
        return 2;
    }

    for (const auto& sample : result.error_samples)
        std::cerr << "icap-load: error: " << sample << '\n';
    const auto requests = static_cast<double>(result.requests);
    std::ostringstream statuses;
    for (const auto& [status, n] : result.statuses)
        statuses << (statuses.tellp() > 0 ? "," : "") << status << ':' << n;
    std::cout << std::fixed << std::setprecision(3) << "path=" << path->name
              << " connections=" << command->load.connections << " requests=" << result.requests
              << " errors=" << result.errors << " reconnects=" << result.reconnects << " wall_s=" << wall
              << " per_s=" << std::setprecision(1) << (wall > 0 ? requests / wall : 0) << std::setprecision(3)
              << " cpu_s=" << cpu << " per_cpu_s=" << std::setprecision(1) << (cpu > 0 ? requests / cpu : 0)
              << " p50_us=" << result.percentile_us(0.50) << " p90_us=" << result.percentile_us(0.90)
              << " p99_us=" << result.percentile_us(0.99) << " max_us=" << result.percentile_us(1.0)
              << " statuses=" << (result.statuses.empty() ? "-" : statuses.str());
    if (path->answer_204 && !path->body.empty())
        std::cout << " preview=" << std::min(preview, bench::max_preview);
    std::cout << '\n';
    return result.errors == 0 && result.requests > 0 ? 0 : 1;
}
