#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "schemas/scan_report.pb.h"

namespace ic {

// What the scan of one message found: the report flattened into one list of
// threats, each with its place inside the scanned object, the first scan
// error, and the threat that names the block. Everything downstream of a
// scan reads this rather than the recursive report.
class summary_t {
public:
    struct threat_t {
        // The `object` names of the nested reports from the outermost down
        // to the one holding the threat, joined by "//"; empty for the
        // scanned object itself.
        std::string path;
        ox::Virus virus;
    };

    explicit summary_t(const ox::ScanReport& report);

    // The threat with the highest score: its type's priority, plus 10000
    // when block_set holds the type. Ties keep the earliest. threats must
    // not be empty.
    const ox::Virus& main_threat() const;
    // Meaningful only while has_error or limit_reached is set.
    ox::ScanError error() const { return error_; }

    ox::ScanReport report;
    // Threat-class bits the policy blocks for; set by the hook.
    std::uint32_t block_set = 0;
    // Depth first, an item's own threats before those of its children.
    std::vector<threat_t> threats;

private:
    void walk(const ox::ScanReport& item, const std::string& path);
    void record(ox::ScanError code);

    ox::ScanError error_ = ox::SE_UNEXPECTED_ERROR;

public:
    // A nesting, compression or time limit was met; such errors alone do
    // not make the scan a failed one.
    bool limit_reached = false;
    // Any other scan error was met.
    bool has_error = false;
};

} // namespace ic
