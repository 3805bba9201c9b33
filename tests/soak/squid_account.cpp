#include "soak/squid_account.hpp"

#include <cctype>
#include <fstream>
#include <sstream>

namespace soak {

namespace {

const char* const forwarding_completed = ") complete: e:=";
const char* const truncated_by_default = "lengthWentBad: because FwdState default: e:=";

std::vector<std::string> fields_of(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; in >> field;)
        fields.push_back(field);
    return fields;
}

// The store entry's address in "e:=<flags>/<address>*<locks>".
std::string entry_of(const std::string& line, std::size_t at)
{
    const std::size_t slash = line.find('/', at);
    const std::size_t star = line.find('*', slash);
    if (slash == std::string::npos || star == std::string::npos)
        return {};
    return line.substr(slash + 1, star - slash - 1);
}

// Whether the line is one of the debug lines that debug_options adds
// ("<time>| <section>,<level>| ..."), not one of Squid's own messages.
bool debug_line(const std::string& line)
{
    const std::size_t bar = line.find("| ");
    if (bar == std::string::npos)
        return false;
    std::size_t at = bar + 2;
    const auto digits = [&] {
        const std::size_t from = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])))
            ++at;
        return at > from;
    };
    if (!digits() || at >= line.size() || line[at] != ',')
        return false;
    ++at;
    return digits() && line.compare(at, 2, "| ") == 0;
}

} // namespace

const char* const squid_trace_sections = "17,3 20,3";

squid_account_t::squid_account_t(const std::string& directory)
{
    read_access_log(directory + "/access.log");
    read_icap_log(directory + "/icap.log");
    read_cache_log(directory + "/cache.log");
}

// "<time> <ms> <client> <status>/<code> <bytes> <method> <url> <hierarchy>
// <type> <master transaction> <client port> <error code>/<error detail>"
void squid_account_t::read_access_log(const std::string& path)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.find("ERR_") != std::string::npos)
            access_errors_.push_back(line);
        const auto fields = fields_of(line);
        if (fields.size() < 12)
            continue;
        master_of_url_[fields[6]] = fields[9];
        transaction_t& transaction = transactions_[fields[9]];
        transaction.access_status = fields[3];
        transaction.error = fields[11];
    }
}

// "<time> <ms> <client> <outcome>/<status> <bytes> <method> <service URL>
// <master transaction> <bytes sent> <body bytes>"
void squid_account_t::read_icap_log(const std::string& path)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.find("ICAP_ERR") != std::string::npos)
            icap_errors_.push_back(line);
        const auto fields = fields_of(line);
        if (fields.size() >= 8 && fields[5] == "RESPMOD")
            transactions_[fields[7]].respmod_outcome = fields[3];
    }
}

void squid_account_t::read_cache_log(const std::string& path)
{
    // The store entry's address is used again for later entries: the URL
    // is that of the forwarding that completed last with it.
    std::map<std::string, std::string> url_of_entry;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!debug_line(line)) {
            for (const char* word : {"ICAP", "essential", "suspend"})
                if (line.find(word) != std::string::npos) {
                    cache_complaints_.push_back(line);
                    break;
                }
            continue;
        }
        if (line.find("FwdState.cc(") != std::string::npos) {
            const std::size_t at = line.find(forwarding_completed);
            if (at != std::string::npos) {
                traced_ = true;
                url_of_entry[entry_of(line, at)] = line.substr(line.rfind(' ') + 1);
            }
            continue;
        }
        const std::size_t at = line.find(truncated_by_default);
        if (at == std::string::npos)
            continue;
        const auto url = url_of_entry.find(entry_of(line, at));
        if (url != url_of_entry.end())
            cut_short_.insert(url->second);
    }
}

bool squid_account_t::cut_short_by_squid(const std::string& url) const
{
    if (!cut_short_.contains(url))
        return false;
    const auto master = master_of_url_.find(url);
    if (master == master_of_url_.end())
        return false;
    const transaction_t& transaction = transactions_.at(master->second);
    return transaction.access_status == "TCP_MISS/200" && transaction.error == "-/-" &&
           transaction.respmod_outcome == "ICAP_MOD/200";
}

} // namespace soak
