// soak-squid: Squid in front of orvex-traxd for a long while, as a proxy's
// users load it, to find what only time shows: a slowly growing daemon,
// ICAP failures that come only now and then, bodies damaged once in many
// thousand transfers.
//
//   soak-squid --seconds N [--clients N] [--sample-seconds N] [--preview 0|1]
//
// The real daemon runs under the stand-in PilotD (a hook that lets every
// message pass, 204 on, logging at Notice), Squid without a cache sends
// every request and response to it (bypass off, so that a failing service
// shows as an error), and an origin server of the program's own serves
// pages and takes uploads. Previews are off unless asked for: Squid then
// offers "Allow: 204" only for bodies it can hold (up to 64 KiB), and sends
// a larger one only as far as its buffers reach until the answer begins,
// so the daemon answers early and streams every larger body back as it
// arrives (allow_early_response). With previews (as the demo runs), the
// daemon answers 204 after an empty preview and no body crosses it. Each client keeps one
// connection to Squid and goes round the transfers: pages of 1 KiB,
// 300 KiB chunked and 5 MiB, and uploads of the same sizes and framings.
// Every page must arrive byte for byte, every upload must reach the origin
// byte for byte (its length and SHA-256).
//
// While it runs it prints the transfers so far and the daemon's resident
// memory (VmRSS) every few seconds. At the end it reports the transfers,
// the ICAP errors in Squid's logs and whether the daemon's memory stayed
// flat: the largest VmRSS of the second half of the run (after a warm-up)
// against that of the first half. The exit status is 0 only when there was
// no failed transfer, no ICAP error, the daemon still ran and its memory
// was flat.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "standins/http_body.hpp"
#include "standins/http_client.hpp"
#include "standins/icap_client.hpp"
#include "standins/origin_server.hpp"
#include "standins/pilotd_standin.hpp"
#include "standins/squid_proxy.hpp"

namespace {

using namespace std::chrono_literals;
using clock_t_ = std::chrono::steady_clock;

const char* const usage = "usage: soak-squid --seconds N [--clients N] [--sample-seconds N] [--preview 0|1]\n";

// Growth allowed between the two halves of the run: a tenth, and a few
// MiB for the allocator's own rounding.
constexpr double flat_ratio = 1.10;
constexpr long flat_slack_kb = 4096;
constexpr std::size_t max_samples_shown = 5;
constexpr std::size_t max_samples_per_kind = 2;

struct kind_t {
    const char* name;
    bool upload;
    std::size_t size;
    standin::framing_t framing;
    std::string body;
    std::string sha256;
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> failed{0};
};

struct sample_t {
    double seconds;
    long rss_kb;
};

// The first few failures of each kind of transfer, so that a rare kind
// of failure is not hidden behind a frequent one.
class failures_t {
public:
    void add(const std::string& kind, const std::string& text)
    {
        std::lock_guard lock(mutex_);
        auto& texts = texts_[kind];
        if (texts.size() < max_samples_per_kind)
            texts.push_back(text);
    }
    std::vector<std::string> texts() const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> all;
        for (const auto& [kind, texts] : texts_)
            for (const auto& text : texts)
                all.push_back(kind + ": " + text);
        return all;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<std::string>> texts_;
};

// VmRSS of the process in kB; nothing when it is gone.
std::optional<long> resident_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return std::nullopt;
}

// One client's round of transfers until the end.
void client_loop(unsigned proxy_port, const standin::origin_server_t& origin, std::vector<kind_t>& kinds,
                 std::size_t first, const std::atomic<bool>& stopping, failures_t& failures)
{
    std::optional<standin::http_client_t> client;
    for (std::size_t i = first; !stopping.load(); ++i) {
        kind_t& kind = kinds[i % kinds.size()];
        try {
            if (!client)
                client.emplace(proxy_port);
            std::string wrong;
            if (kind.upload) {
                const auto reply = client->post(origin.upload_url(), kind.body, kind.framing, 120s);
                if (reply.status != 200)
                    wrong = "status " + std::to_string(reply.status) + "\n" + reply.head_text();
                else if (reply.field("X-Received-Length") != std::to_string(kind.size) ||
                         reply.field("X-Received-Sha256") != kind.sha256)
                    wrong = "the origin received other bytes\n" + reply.head_text();
            } else {
                const auto reply = client->get(origin.page_url(kind.size, kind.framing), 120s);
                if (reply.status != 200)
                    wrong = "status " + std::to_string(reply.status) + "\n" + reply.head_text();
                else if (reply.body != kind.body)
                    wrong = "a page of " + std::to_string(reply.body.size()) + " bytes other than the one served";
            }
            if (wrong.empty()) {
                ++kind.done;
                continue;
            }
            ++kind.failed;
            failures.add(kind.name, wrong);
        } catch (const std::exception& e) {
            ++kind.failed;
            failures.add(kind.name, e.what());
            client.reset();
        }
    }
}

std::vector<std::string> lines_with(const std::string& text, const std::vector<std::string>& needles)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        for (const auto& needle : needles)
            if (line.find(needle) != std::string::npos) {
                found.push_back(line);
                break;
            }
    return found;
}

void show(const char* title, const std::vector<std::string>& lines)
{
    std::cout << "soak: " << title << ": " << lines.size() << '\n';
    for (std::size_t i = 0; i < lines.size() && i < max_samples_shown; ++i)
        std::cout << "  " << lines[i] << '\n';
}

long largest(const std::vector<sample_t>& samples, double from, double to)
{
    long most = 0;
    for (const auto& sample : samples)
        if (sample.seconds >= from && sample.seconds < to)
            most = std::max(most, sample.rss_kb);
    return most;
}

} // namespace

int main(int argc, char* argv[])
{
    double seconds = 0;
    int clients = 64;
    double sample_seconds = 5;
    bool preview = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (name == "--seconds")
            seconds = value;
        else if (name == "--clients")
            clients = static_cast<int>(value);
        else if (name == "--sample-seconds")
            sample_seconds = value;
        else if (name == "--preview")
            preview = value != 0;
        else {
            std::cerr << usage;
            return 2;
        }
    }
    if (seconds <= 0 || clients < 1 || sample_seconds <= 0 || argc % 2 == 0) {
        std::cerr << usage;
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<kind_t> kinds(6);
    const std::size_t sizes[] = {1024, 300 * 1024, 5 * 1024 * 1024};
    const standin::framing_t framings[] = {standin::framing_t::length, standin::framing_t::chunked,
                                           standin::framing_t::length};
    const char* names[] = {"page 1 KiB",   "page 300 KiB chunked",   "page 5 MiB",
                           "upload 1 KiB", "upload 300 KiB chunked", "upload 5 MiB"};
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        kinds[k].name = names[k];
        kinds[k].upload = k >= 3;
        kinds[k].size = sizes[k % 3];
        kinds[k].framing = framings[k % 3];
        kinds[k].body = standin::payload(kinds[k].size);
        kinds[k].sha256 = standin::sha256_hex(kinds[k].body);
    }

    try {
        standin::origin_server_t origin;

        const unsigned icap_port = standin::free_port();
        ox::TRAXDConfig settings;
        settings.set_log_level(ox::LOG_LEVEL_NOTICE);
        settings.mutable_actual_log()->set_type(ox::Log::STDERR);
        settings.mutable_run_as_user()->set_uid(::getuid());
        settings.set_templates_dir(TRAXD_SOURCE_DIR "/templates");
        settings.mutable_listen_address()->set_address("127.0.0.1");
        settings.mutable_listen_address()->set_port(icap_port);
        settings.mutable_message_hook()->set_buffer("function message_hook(t) return 'pass' end");
        settings.set_use_204(true);
        settings.set_use_preview(preview);
        settings.set_allow_early_response(!preview);
        standin::pilotd_standin_t pilotd;
        pilotd.set_config(settings, 1);
        standin::launch_options_t options;
        options.binary = TRAXD_BINARY;
        pilotd.start(options);
        if (!pilotd.wait_for_frame(ox::TRAXD2PilotdMessage::MY_INFO_NOTIFICATION, 0, 20s))
            throw std::runtime_error("orvex-traxd did not apply its settings\n" + pilotd.stderr_text());
        const pid_t daemon = pilotd.pid();

        // Started after the daemon listens: Squid asks for OPTIONS at once
        // and, after a failure, only minutes later.
        standin::squid_options_t squid_options;
        squid_options.icap_port = icap_port;
        squid_options.bypass = false;
        squid_options.preview = preview;
        squid_options.preview_size = 1024;
        standin::squid_proxy_t squid(squid_options);
        std::cout << "soak: orvex-traxd (pid " << daemon << ") on 127.0.0.1:" << icap_port << ", Squid (pid "
                  << squid.pid() << ") on 127.0.0.1:" << squid.port() << ", origin on 127.0.0.1:" << origin.port()
                  << "; " << clients << " clients for " << seconds << " s, previews " << (preview ? "on" : "off")
                  << std::endl;

        std::atomic<bool> stopping{false};
        failures_t failures;
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back(client_loop, squid.port(), std::cref(origin), std::ref(kinds),
                                 static_cast<std::size_t>(c), std::cref(stopping), std::ref(failures));

        std::vector<sample_t> samples;
        const auto start = clock_t_::now();
        const auto end = start + std::chrono::duration_cast<clock_t_::duration>(std::chrono::duration<double>(seconds));
        bool daemon_ended = false;
        for (auto next = start;;
             next += std::chrono::duration_cast<clock_t_::duration>(std::chrono::duration<double>(sample_seconds))) {
            std::this_thread::sleep_until(std::min(next, end));
            const double elapsed = std::chrono::duration<double>(clock_t_::now() - start).count();
            const auto rss = resident_kb(daemon);
            if (!rss || pilotd.wait_exit(0ms)) {
                daemon_ended = true;
                std::cout << "soak: the daemon ended after " << elapsed << " s" << std::endl;
                break;
            }
            samples.push_back({elapsed, *rss});
            std::uint64_t done = 0;
            std::uint64_t failed = 0;
            for (const auto& kind : kinds) {
                done += kind.done;
                failed += kind.failed;
            }
            std::cout << "soak: " << std::fixed << std::setprecision(0) << elapsed << "/" << seconds << " s  transfers "
                      << done << "  failed " << failed << "  daemon VmRSS " << *rss << " kB" << std::endl;
            if (clock_t_::now() >= end)
                break;
        }
        stopping = true;
        for (auto& thread : threads)
            thread.join();

        std::cout << "\nsoak: transfers through Squid (done / failed):\n";
        std::uint64_t failed = 0;
        for (const auto& kind : kinds) {
            std::cout << "  " << std::left << std::setw(24) << kind.name << std::right << std::setw(8)
                      << kind.done.load() << " / " << kind.failed.load() << '\n';
            failed += kind.failed;
        }
        for (const auto& text : failures.texts())
            std::cout << "  failure: " << text << '\n';

        // Squid's own words: an error code in the access log, an ICAP
        // error outcome in the ICAP log, complaints about the service.
        const auto access_errors = lines_with(squid.access_log(), {"ERR_"});
        const auto icap_errors = lines_with(squid.icap_log(), {"ICAP_ERR"});
        const auto cache_errors = lines_with(squid.cache_log(), {"ICAP", "essential", "suspend"});
        show("access.log lines with an error code", access_errors);
        show("icap.log lines with an ICAP error", icap_errors);
        show("cache.log lines about ICAP", cache_errors);

        // The first part of the run is the warm-up: connections, buffers
        // and the allocator's arenas grow to what the load needs.
        const double warmup = std::max(std::min(30.0, seconds / 4), seconds / 10);
        const double half = warmup + (seconds - warmup) / 2;
        const long first = largest(samples, warmup, half);
        const long second = largest(samples, half, seconds + 1);
        const bool flat = first > 0 && second <= static_cast<long>(first * flat_ratio) + flat_slack_kb;
        std::cout << "soak: daemon VmRSS kB: at start " << (samples.empty() ? 0 : samples.front().rss_kb)
                  << ", largest " << largest(samples, 0, seconds + 1) << ", largest of " << std::setprecision(0)
                  << warmup << "-" << half << " s " << first << ", of " << half << "-" << seconds << " s " << second
                  << ", at end " << (samples.empty() ? 0 : samples.back().rss_kb) << ": " << (flat ? "flat" : "GROWING")
                  << '\n';

        const bool sound = !daemon_ended && failed == 0 && access_errors.empty() && icap_errors.empty() &&
                           cache_errors.empty() && flat;
        std::cout << "soak: " << (sound ? "passed" : "FAILED") << std::endl;
        if (!sound)
            std::cout << squid.failure_report() << "--- the daemon's standard error (end) ---\n"
                      << pilotd.stderr_text().substr(
                             pilotd.stderr_text().size() > 4000 ? pilotd.stderr_text().size() - 4000 : 0)
                      << "---" << std::endl;
        pilotd.signal(SIGTERM);
        pilotd.wait_exit(10s);
        return sound ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "soak-squid: " << e.what() << std::endl;
        return 2;
    }
}
