#include "icap/verdicts/summary.hpp"

#include <cstdlib>

#include "icap/verdicts/category_bits.hpp"

namespace ic {

namespace {

bool is_limit(ox::ScanError code)
{
    switch (code) {
    case ox::SE_PACKER_LEVEL_LIMIT:
    case ox::SE_ARCHIVE_LEVEL_LIMIT:
    case ox::SE_MAIL_LEVEL_LIMIT:
    case ox::SE_CONTAINER_LEVEL_LIMIT:
    case ox::SE_COMPRESSION_LIMIT:
    case ox::SE_SCAN_TIMEOUT:
        return true;
    default:
        return false;
    }
}

int priority(ox::VirusType type)
{
    switch (type) {
    case ox::SE_KNOWN_VIRUS:
        return 1000;
    case ox::SE_VIRUS_MODIFICATION:
        return 900;
    case ox::SE_ADWARE:
        return 500;
    case ox::SE_DIALER:
        return 400;
    case ox::SE_JOKE:
        return 300;
    case ox::SE_RISKWARE:
        return 200;
    case ox::SE_HACKTOOL:
        return 100;
    case ox::SE_UNKNOWN_VIRUS:
        return 10;
    }
    std::abort();
}

} // namespace

summary_t::summary_t(const ox::ScanReport& source) : report(source)
{
    walk(report, std::string());
}

void summary_t::walk(const ox::ScanReport& item, const std::string& path)
{
    if (item.has_error())
        record(item.error());
    for (const ox::Virus& virus : item.virus())
        threats.push_back({path, virus});
    const std::string prefix = path.empty() ? std::string() : path + "//";
    for (const ox::ScanReport& child : item.item())
        walk(child, prefix + child.object());
}

void summary_t::record(ox::ScanError code)
{
    // The first error that is not a limit wins over any limit, so a limit
    // only takes the slot while nothing else has.
    if (is_limit(code)) {
        if (limit_reached)
            return;
        if (!has_error)
            error_ = code;
        limit_reached = true;
        return;
    }
    if (has_error)
        return;
    error_ = code;
    has_error = true;
}

const ox::Virus& summary_t::main_threat() const
{
    const auto score = [this](const threat_t& threat) {
        const ox::VirusType type = threat.virus.type();
        return priority(type) + ((block_set & threat_category_to_bit(type)) ? 10000 : 0);
    };
    if (threats.empty())
        std::abort();
    const threat_t* best = &threats.front();
    int best_score = score(*best);
    for (const threat_t& threat : threats) {
        const int s = score(threat);
        if (s > best_score) {
            best = &threat;
            best_score = s;
        }
    }
    return best->virus;
}

} // namespace ic
