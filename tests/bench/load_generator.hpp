#pragma once

// A closed-loop ICAP load: a number of kept-alive connections to a server on
// 127.0.0.1, each sending one query and, once its answer is whole and
// checked, the next (no pipelining). The connections are spread over a few
// threads, each with an epoll loop of its own over non-blocking sockets, so
// that the generator stays cheap beside the server it loads.
//
// Answers count while a window is open: the run can warm up first, and the
// caller reads the server's CPU time right where the window opens and
// closes. A connection the server ends or answers wrongly is counted as an
// error and opened again; every query has a time limit.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_path.hpp"

namespace bench {

using namespace std::chrono_literals;

struct load_options_t {
    unsigned port = 0;
    int connections = 1;
    int threads = 1;
    // Queries to send in all, 0 for no bound (until stop()).
    std::uint64_t count = 0;
    std::chrono::milliseconds query_limit = 10s;
};

struct load_result_t {
    // Right answers in the window.
    std::uint64_t requests = 0;
    // Wrong or missing answers and failed connections, at any time of the run.
    std::uint64_t errors = 0;
    // Connections opened again after the server asked to close them.
    std::uint64_t reconnects = 0;
    // Final statuses of the answers in the window.
    std::map<unsigned, std::uint64_t> statuses;
    // From the first byte sent to the last byte received, of the right
    // answers in the window; sorted.
    std::vector<std::uint32_t> latencies_us;
    // What went wrong, the first few times.
    std::vector<std::string> error_samples;

    // The latency below which the share p (0 to 1) of answers came.
    std::uint32_t percentile_us(double p) const;
};

class load_generator_t {
public:
    // Throws std::system_error when a connection cannot be opened.
    load_generator_t(const load_path_t& path, const load_options_t& options);
    ~load_generator_t();
    load_generator_t(const load_generator_t&) = delete;
    load_generator_t& operator=(const load_generator_t&) = delete;

    // Every connection sends its first query.
    void start();
    void open_window();
    void close_window();
    // With a count: waits until every query was answered or timed out.
    void wait();
    // Ends the load, leaving queries on the way unanswered, and gathers the
    // figures of every thread.
    load_result_t stop();

private:
    class worker_t;

    const load_path_t& path_;
    load_options_t options_;
    std::atomic<bool> counting_{false};
    std::atomic<bool> stopping_{false};
    // Queries still to send, when there is a count.
    std::atomic<std::int64_t> to_send_;
    std::vector<std::unique_ptr<worker_t>> workers_;
    std::vector<std::thread> threads_;
};

} // namespace bench
