#pragma once

// Squid, the caching proxy a user puts in front of the daemon, run by a test
// on 127.0.0.1 without a cache: its squid.conf, pid file, logs and any state
// go into a temporary directory of its own, and both ICAP services point at
// the daemon. Squid asks the services for their OPTIONS when it starts and,
// after a failure, only 180 seconds later: start the daemon first.
//
// Run as root, Squid drops to the user "proxy" (or "nobody"), which then
// owns the directory. Every wait is bounded; the destructor stops Squid (by
// its pid: SIGTERM, then SIGKILL after a bound) and removes the directory.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace standin {

using namespace std::chrono_literals;

struct squid_options_t {
    // The daemon's ICAP port on 127.0.0.1.
    unsigned icap_port = 0;
    // "bypass=on": a failing service lets the message through unadapted.
    bool bypass = true;
    // "icap_preview_enable" and "icap_preview_size" (the daemon's OPTIONS
    // answer may lower the size).
    bool preview = false;
    unsigned preview_size = 0;
    // squid.conf lines that name the ICAP services and their use
    // (icap_service, adaptation_access) in place of the harness's, which
    // point both services at icap_port with the bypass above.
    std::optional<std::string> services;
    // "debug_options" for cache.log (e.g. "ALL,1 93,5"); Squid's default
    // when empty.
    std::string debug_options;
    // Further squid.conf lines, written last (e.g. "read_ahead_gap 1 MB").
    std::string extra_config;
    // Leaves the directory with its logs in place when Squid is stopped,
    // for a person to read.
    bool keep_directory = false;
    std::string binary = "/usr/sbin/squid";
    std::chrono::milliseconds start_limit = 30s;
    std::chrono::milliseconds stop_limit = 10s;
};

class squid_proxy_t {
public:
    // Whether the binary is there to run.
    static bool available(const std::string& binary = squid_options_t().binary);

    // Writes squid.conf and starts Squid in the foreground, then waits until
    // it accepts connections. Throws std::runtime_error with the end of its
    // cache.log when it ends or does not listen within the limit.
    explicit squid_proxy_t(const squid_options_t& options);
    ~squid_proxy_t();
    squid_proxy_t(const squid_proxy_t&) = delete;
    squid_proxy_t& operator=(const squid_proxy_t&) = delete;

    // The proxy port on 127.0.0.1.
    unsigned port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& directory() const { return directory_; }

    std::string config_text() const;
    // Squid's own log (start-up, ICAP service states and errors).
    std::string cache_log() const;
    // One line per HTTP transaction: the usual fields, Squid's master
    // transaction number, the client's port and then
    // "<error code>/<error detail>", e.g. "ERR_ICAP_FAILURE/...".
    std::string access_log() const;
    // One line per ICAP transaction: the usual fields, then the master
    // transaction number and the sizes sent and received.
    std::string icap_log() const;
    // Whether cache.log holds the text, waiting up to the limit.
    bool wait_for_cache_log(const std::string& text, std::chrono::milliseconds limit = 5s) const;
    // The end of cache.log and of Squid's standard output and error, for a
    // failure message.
    std::string failure_report(std::size_t lines = 40) const;

    // Stops Squid: SIGTERM, then SIGKILL when it still runs after the stop
    // limit. Returns its exit status (128 + signal when killed); nothing
    // when it did not end even then. Later calls return the same status.
    std::optional<int> stop();

private:
    void write_config(const squid_options_t& options) const;
    void start(const squid_options_t& options);
    // Waits for the child to end until the deadline; its status or nothing.
    std::optional<int> reap(std::chrono::steady_clock::time_point deadline);
    // The name Squid gives its shared memory segments, unique per instance.
    std::string service_name() const;
    std::string read_file(const std::string& name) const;
    // At most the last `bytes` of the file.
    std::string read_tail(const std::string& name, std::size_t bytes) const;

    std::chrono::milliseconds stop_limit_;
    bool keep_directory_;
    std::string directory_;
    unsigned port_ = 0;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace standin
