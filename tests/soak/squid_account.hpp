#pragma once

// What Squid's logs say about a soak's transfers: the errors it logged, and
// which answers it cut short on its own.
//
// Squid 5.7 has a race of its own when it streams a service's answer to a
// slower client: when the service's answer ends while the client still
// holds back the store, Squid can take the whole adapted body from the
// pipe before it has been told that the body ended. It then completes the
// forwarding as if the answer had stopped early ("FwdState default" in
// cache.log, section 20 at level 3) and ends the client's answer without
// its last chunk, though every byte of the body arrived and neither its
// access.log nor its icap.log shows an error. Only cache.log with the
// forwarding and store decisions (debug sections 17 and 20 at level 3)
// tells such an answer apart from one the service cut short.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace soak {

// The debug_options that make cache.log hold what cut_short_by_squid needs.
extern const char* const squid_trace_sections;

class squid_account_t {
public:
    // Reads the logs in Squid's directory (access.log, icap.log, cache.log)
    // line by line: cache.log may be gigabytes.
    explicit squid_account_t(const std::string& directory);

    // access.log lines with an error code.
    const std::vector<std::string>& access_errors() const { return access_errors_; }
    // icap.log lines with an ICAP error outcome.
    const std::vector<std::string>& icap_errors() const { return icap_errors_; }
    // cache.log's own messages (not its debug lines) about the service.
    const std::vector<std::string>& cache_complaints() const { return cache_complaints_; }

    // Whether cache.log holds the forwarding decisions.
    bool traced() const { return traced_; }
    // Whether Squid itself cut short the answer for the URL (unique in the
    // run): its access.log shows a 200 without an error, its icap.log a
    // modified answer from the service without an error, and its cache.log
    // that it completed the store entry as truncated with nothing but its
    // own default reason.
    bool cut_short_by_squid(const std::string& url) const;
    // How many store entries Squid completed that way.
    std::size_t cut_short_count() const { return cut_short_.size(); }

private:
    struct transaction_t {
        std::string access_status;
        std::string error;
        std::string respmod_outcome;
    };

    void read_access_log(const std::string& path);
    void read_icap_log(const std::string& path);
    void read_cache_log(const std::string& path);

    std::vector<std::string> access_errors_;
    std::vector<std::string> icap_errors_;
    std::vector<std::string> cache_complaints_;
    bool traced_ = false;
    std::set<std::string> cut_short_;
    // By URL; the master transaction number links the two logs.
    std::map<std::string, std::string> master_of_url_;
    std::map<std::string, transaction_t> transactions_;
};

} // namespace soak
