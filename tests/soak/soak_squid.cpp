// soak-squid: Squid in front of orvex-traxd for a long while, as a proxy's
// users load it, to find what only time shows: a slowly growing daemon,
// ICAP failures that come only now and then, bodies damaged once in many
// thousand transfers.
//
//   soak-squid --seconds N [--clients N] [--sample-seconds N] [--preview 0|1]
//              [--kinds NAME,...] [--keep DIRECTORY] [--squid-trace 0|1]
//              [--icap-tap 0|1] [--squid-debug OPTIONS] [--squid-conf LINES]
//              [--log-level debug|info|notice]
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
// no failed transfer (but those proven Squid's, below), no ICAP error, the
// daemon still ran and its memory was flat.
//
// Squid itself now and then ends the answer for a page streamed back by
// the daemon without its last chunk (see soak/squid_account.hpp). With
// --squid-trace 1 its cache.log records what tells such a failure apart;
// a failure proven to be Squid's is reported as Squid's, listed and
// counted, and does not fail the run. Every other failure does. With
// --icap-tap 1 (previews off) Squid reaches the daemon through a relay that
// follows the ICAP framing of every answer (soak/icap_tap.hpp); a failure
// is then Squid's only when, besides, the daemon's answer for its URL
// ended whole, with the whole body, and the relay reports every answer of
// the daemon that did not end. The relay's timing makes Squid's own race
// with the 5 MiB pages frequent (it closes kept-alive connections after
// such a page): use it with --kinds page-300k-chunked, or with uploads
// only.
//
// To chase a rare failure: every request has a URL of its own (client and
// round in the path); --kinds runs only some kinds of transfer (their
// short names: page-1k, page-300k-chunked, page-5m, upload-1k,
// upload-300k-chunked, upload-5m); --keep leaves Squid's directory (its
// configuration, cache.log, access.log, icap.log) in place, writes the
// daemon's log there as traxd.log and every failure, with the client's port
// and the time it began and ended, as failures.txt; --squid-debug adds to
// Squid's debug_options (e.g. "93,3 11,2"), --squid-conf adds squid.conf
// lines; --log-level sets the daemon's.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
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

#include <boost/beast/http/error.hpp>

#include "soak/icap_tap.hpp"
#include "soak/squid_account.hpp"
#include "standins/http_body.hpp"
#include "standins/http_client.hpp"
#include "standins/icap_client.hpp"
#include "standins/origin_server.hpp"
#include "standins/pilotd_standin.hpp"
#include "standins/squid_proxy.hpp"

namespace {

using namespace std::chrono_literals;
using clock_t_ = std::chrono::steady_clock;

const char* const usage = "usage: soak-squid --seconds N [--clients N] [--sample-seconds N] [--preview 0|1]\n"
                          "                  [--kinds NAME,...] [--keep DIRECTORY] [--squid-trace 0|1]\n"
                          "                  [--icap-tap 0|1] [--squid-debug OPTIONS] [--squid-conf LINES]\n"
                          "                  [--log-level debug|info|notice]\n";

// Growth allowed between the two halves of the run: a tenth, and a few
// MiB for the allocator's own rounding.
constexpr double flat_ratio = 1.10;
constexpr long flat_slack_kb = 4096;
constexpr std::size_t max_samples_shown = 5;
constexpr std::size_t max_samples_per_kind = 2;

struct kind_t {
    const char* name;
    const char* short_name;
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

// Seconds since the epoch with milliseconds, as Squid's logs write them.
std::string wall_time()
{
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::ostringstream text;
    text << ms / 1000 << '.' << std::setw(3) << std::setfill('0') << ms % 1000;
    return text.str();
}

// One failed transfer.
struct failure_t {
    std::string kind;
    std::string url;
    // Wall times, as Squid's logs write them.
    std::string began;
    std::string ended;
    std::string text;
    std::size_t size = 0;
    // The page arrived whole and byte for byte in chunked coding, and the
    // connection ended where only its last chunk was missing.
    bool unterminated = false;

    std::string line() const { return began + "-" + ended + " " + kind + ": " + text; }
};

class failures_t {
public:
    void add(failure_t failure)
    {
        std::lock_guard lock(mutex_);
        all_.push_back(std::move(failure));
    }
    std::vector<failure_t> all() const
    {
        std::lock_guard lock(mutex_);
        return all_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<failure_t> all_;
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
void client_loop(unsigned proxy_port, const standin::origin_server_t& origin, const std::vector<kind_t*>& kinds,
                 std::size_t first, const std::atomic<bool>& stopping, failures_t& failures)
{
    std::optional<standin::http_client_t> client;
    for (std::size_t i = first; !stopping.load(); ++i) {
        kind_t& kind = *kinds[i % kinds.size()];
        // A URL of its own, to find the transfer in Squid's logs.
        const std::string label =
            std::string(kind.upload ? "upload" : "page") + "-c" + std::to_string(first) + "-" + std::to_string(i);
        failure_t failure;
        failure.kind = kind.name;
        failure.url = kind.upload ? origin.upload_url(label) : origin.page_url(kind.size, kind.framing, label);
        failure.began = wall_time();
        failure.size = kind.size;
        try {
            if (!client)
                client.emplace(proxy_port);
            std::string wrong;
            if (kind.upload) {
                const auto reply = client->post(failure.url, kind.body, kind.framing, 120s);
                if (reply.status != 200)
                    wrong = "status " + std::to_string(reply.status) + "\n" + reply.head_text();
                else if (reply.field("X-Received-Length") != std::to_string(kind.size) ||
                         reply.field("X-Received-Sha256") != kind.sha256)
                    wrong = "the origin received other bytes\n" + reply.head_text();
            } else {
                const auto reply = client->get(failure.url, 120s);
                if (reply.status != 200)
                    wrong = "status " + std::to_string(reply.status) + "\n" + reply.head_text();
                else if (reply.body != kind.body)
                    wrong = "a page of " + std::to_string(reply.body.size()) + " bytes other than the one served";
            }
            if (wrong.empty()) {
                ++kind.done;
                continue;
            }
            failure.text = wrong;
        } catch (const standin::answer_broke_off_t& e) {
            const auto& partial = e.partial();
            const auto coding = partial.field("Transfer-Encoding");
            failure.unterminated = !kind.upload && e.error() == boost::beast::http::error::partial_message &&
                                   partial.status == 200 && coding && coding->find("chunked") != std::string::npos &&
                                   partial.body == kind.body;
            failure.text = e.what();
            client.reset();
        } catch (const std::exception& e) {
            failure.text = e.what();
            client.reset();
        }
        failure.ended = wall_time();
        ++kind.failed;
        failures.add(std::move(failure));
    }
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
    std::string kind_names;
    std::string keep;
    bool squid_trace = false;
    bool icap_tap = false;
    std::string squid_debug;
    std::string squid_conf;
    std::string log_level = "notice";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string text = argv[i + 1];
        const double value = std::atof(text.c_str());
        if (name == "--seconds")
            seconds = value;
        else if (name == "--clients")
            clients = static_cast<int>(value);
        else if (name == "--sample-seconds")
            sample_seconds = value;
        else if (name == "--preview")
            preview = value != 0;
        else if (name == "--kinds")
            kind_names = text;
        else if (name == "--keep")
            keep = text;
        else if (name == "--squid-trace")
            squid_trace = value != 0;
        else if (name == "--icap-tap")
            icap_tap = value != 0;
        else if (name == "--squid-debug")
            squid_debug = text;
        else if (name == "--squid-conf")
            squid_conf = text;
        else if (name == "--log-level")
            log_level = text;
        else {
            std::cerr << usage;
            return 2;
        }
    }
    const std::map<std::string, ox::LogLevel> levels{
        {"debug", ox::LOG_LEVEL_DEBUG}, {"info", ox::LOG_LEVEL_INFO}, {"notice", ox::LOG_LEVEL_NOTICE}};
    // The relay does not follow previews.
    if (seconds <= 0 || clients < 1 || sample_seconds <= 0 || argc % 2 == 0 || !levels.contains(log_level) ||
        (icap_tap && preview)) {
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
    const char* short_names[] = {"page-1k",   "page-300k-chunked",   "page-5m",
                                 "upload-1k", "upload-300k-chunked", "upload-5m"};
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        kinds[k].name = names[k];
        kinds[k].short_name = short_names[k];
        kinds[k].upload = k >= 3;
        kinds[k].size = sizes[k % 3];
        kinds[k].framing = framings[k % 3];
        kinds[k].body = standin::payload(kinds[k].size);
        kinds[k].sha256 = standin::sha256_hex(kinds[k].body);
    }
    // The clients go round the chosen kinds, all of them unless named.
    std::vector<kind_t*> chosen;
    for (kind_t& kind : kinds)
        if (kind_names.empty() ||
            ("," + kind_names + ",").find("," + std::string(kind.short_name) + ",") != std::string::npos)
            chosen.push_back(&kind);
    if (chosen.empty()) {
        std::cerr << "soak-squid: --kinds names none of page-1k, page-300k-chunked, page-5m, upload-1k, "
                     "upload-300k-chunked, upload-5m\n"
                  << usage;
        return 2;
    }

    try {
        standin::origin_server_t origin;

        const unsigned icap_port = standin::free_port();
        ox::TRAXDConfig settings;
        settings.set_log_level(levels.at(log_level));
        if (keep.empty()) {
            settings.mutable_actual_log()->set_type(ox::Log::STDERR);
        } else {
            std::filesystem::create_directories(keep);
            settings.mutable_actual_log()->set_type(ox::Log::FILE);
            settings.mutable_actual_log()->set_path(
                std::filesystem::absolute(std::filesystem::path(keep) / "traxd.log").string());
        }
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

        std::optional<soak::icap_tap_t> tap;
        if (icap_tap)
            tap.emplace(icap_port);

        // Started after the daemon listens: Squid asks for OPTIONS at once
        // and, after a failure, only minutes later.
        standin::squid_options_t squid_options;
        squid_options.icap_port = tap ? tap->port() : icap_port;
        squid_options.bypass = false;
        squid_options.preview = preview;
        squid_options.preview_size = 1024;
        if (squid_trace)
            squid_options.debug_options = std::string("ALL,1 ") + soak::squid_trace_sections;
        if (!squid_debug.empty())
            squid_options.debug_options = (squid_trace ? squid_options.debug_options : "ALL,1") + " " + squid_debug;
        squid_options.extra_config = squid_conf;
        squid_options.keep_directory = !keep.empty();
        standin::squid_proxy_t squid(squid_options);
        std::cout << "soak: orvex-traxd (pid " << daemon << ") on 127.0.0.1:" << icap_port << ", Squid (pid "
                  << squid.pid() << ") on 127.0.0.1:" << squid.port() << ", origin on 127.0.0.1:" << origin.port()
                  << "; " << clients << " clients for " << seconds << " s, previews " << (preview ? "on" : "off")
                  << ", Squid's forwarding decisions " << (squid_trace ? "traced" : "not traced")
                  << (tap ? ", through the ICAP relay on 127.0.0.1:" + std::to_string(tap->port()) : std::string())
                  << std::endl;

        std::atomic<bool> stopping{false};
        failures_t failures;
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back(client_loop, squid.port(), std::cref(origin), std::cref(chosen),
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
        for (const auto& kind : kinds)
            std::cout << "  " << std::left << std::setw(24) << kind.name << std::right << std::setw(8)
                      << kind.done.load() << " / " << kind.failed.load() << '\n';

        // Squid's own words: an error code in the access log, an ICAP
        // error outcome in the ICAP log, complaints about the service, and
        // the answers it cut short itself.
        const soak::squid_account_t account(squid.directory());
        const auto answers = tap ? tap->answers() : std::map<std::string, soak::tapped_answer_t>{};
        // Without the relay, Squid's logs are the only witness of what the
        // daemon sent.
        const auto answered_whole = [&](const failure_t& failure, std::size_t size) {
            if (!tap)
                return true;
            const auto answer = answers.find(failure.url);
            return answer != answers.end() && answer->second.ended && answer->second.start_line == "ICAP/1.0 200 OK" &&
                   answer->second.body_size == size;
        };
        std::vector<failure_t> squids;
        std::vector<failure_t> unexplained;
        for (auto& failure : failures.all()) {
            const bool squids_doing = failure.unterminated && account.cut_short_by_squid(failure.url) &&
                                      answered_whole(failure, failure.size);
            (squids_doing ? squids : unexplained).push_back(std::move(failure));
        }
        std::map<std::string, std::size_t> shown_of_kind;
        for (const auto& failure : unexplained)
            if (shown_of_kind[failure.kind]++ < max_samples_per_kind)
                std::cout << "  failure: " << failure.line() << '\n';
        std::cout << "soak: failures Squid made itself (the page arrived whole, Squid's logs show a complete "
                     "exchange with the daemon and an answer it cut short on its own): "
                  << squids.size() << '\n';
        for (std::size_t i = 0; i < squids.size() && i < max_samples_shown; ++i)
            std::cout << "  " << squids[i].line() << '\n';
        if (!squid_trace && std::any_of(unexplained.begin(), unexplained.end(),
                                        [](const failure_t& failure) { return failure.unterminated; }))
            std::cout << "soak: pages that arrived whole but without their last chunk are Squid's only when its "
                         "cache.log proves it: run again with --squid-trace 1 (SOAK_SQUID_TRACE=1) to tell\n";
        if (squid_trace && !account.traced())
            std::cout << "soak: Squid's cache.log holds no forwarding decisions: none of the failures can be "
                         "told to be Squid's\n";
        if (!keep.empty()) {
            std::ofstream out(std::filesystem::path(keep) / "failures.txt");
            for (const auto& failure : squids)
                out << "Squid's: " << failure.line() << '\n';
            for (const auto& failure : unexplained)
                out << failure.line() << '\n';
            std::cout << "soak: Squid's directory " << squid.directory()
                      << " stays; the daemon's log and the failures are in " << keep << '\n';
        }
        if (tap) {
            std::vector<std::string> unended;
            for (const auto& [url, answer] : answers)
                if (!answer.ended)
                    unended.push_back(url + ": " + answer.start_line + ", " + std::to_string(answer.body_size) +
                                      " body bytes, " + answer.trouble);
            std::cout << "soak: the relay saw " << answers.size() << " RESPMOD answers of the daemon\n";
            show("answers of the daemon that did not end", unended);
            show("connections that were not ICAP framing", tap->broken());
        }
        show("access.log lines with an error code", account.access_errors());
        show("icap.log lines with an ICAP error", account.icap_errors());
        show("cache.log lines about ICAP", account.cache_complaints());

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

        const bool sound = !daemon_ended && unexplained.empty() && account.access_errors().empty() &&
                           account.icap_errors().empty() && account.cache_complaints().empty() && flat;
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
