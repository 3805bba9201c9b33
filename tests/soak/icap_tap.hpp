#pragma once

// A relay between Squid and the daemon that follows both directions of
// every ICAP connection (icap_stream_t) and records, for each HTTP URL a
// RESPMOD query carried, whether the daemon's answer to it ended as ICAP
// frames it: its heads, every chunk and the last chunk, before the
// connection ended. It tells what the daemon sent, whatever Squid makes of
// it. Bytes pass unchanged, in both directions, as they come, but through
// a hop of their own: they reach Squid in other pieces and at other times,
// and Squid's own races then come more often (see soak_squid.cpp).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace soak {

// The daemon's answer to one RESPMOD query, as the tap saw it.
struct tapped_answer_t {
    // "ICAP/1.0 200 OK"; empty when no answer began.
    std::string start_line;
    bool ended = false;
    std::uint64_t body_size = 0;
    // Why the answer did not end: the connection ended, or the bytes were
    // not ICAP framing.
    std::string trouble;
};

class icap_tap_t {
public:
    // Relays the connections it accepts to the daemon on 127.0.0.1:port.
    explicit icap_tap_t(unsigned daemon_port);
    ~icap_tap_t();
    icap_tap_t(const icap_tap_t&) = delete;
    icap_tap_t& operator=(const icap_tap_t&) = delete;

    unsigned port() const { return port_; }

    // The answers by the URL of the HTTP request in the RESPMOD query.
    std::map<std::string, tapped_answer_t> answers() const;
    // Connections on which either side sent bytes that are not ICAP
    // framing, with why.
    std::vector<std::string> broken() const;

private:
    class relay_t;

    void accept();
    void record(const std::string& url, const tapped_answer_t& answer);
    void record_broken(const std::string& why);

    unsigned daemon_port_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned port_ = 0;

    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::map<std::string, tapped_answer_t> answers_;
    std::vector<std::string> broken_;

    // Declared last: the loop stops before anything it uses goes.
    std::thread thread_;
};

} // namespace soak
