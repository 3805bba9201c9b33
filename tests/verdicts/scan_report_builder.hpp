#pragma once

// Scan reports for the tests, written as trees:
//
//     item("", {threat(ox::SE_ADWARE, "Ad.A")},
//          {item("a.zip", {}, {item("b.exe", {threat(ox::SE_KNOWN_VIRUS, "V")})})})

#include <optional>
#include <string>
#include <vector>

#include "schemas/scan_report.pb.h"

namespace test_reports {

inline ox::Virus threat(ox::VirusType type, const std::string& name)
{
    ox::Virus virus;
    virus.set_type(type);
    virus.set_name(name);
    return virus;
}

inline ox::ScanReport item(const std::string& object, const std::vector<ox::Virus>& viruses = {},
                           const std::vector<ox::ScanReport>& children = {},
                           std::optional<ox::ScanError> error = std::nullopt)
{
    ox::ScanReport report;
    report.set_object(object);
    for (const ox::Virus& virus : viruses)
        *report.add_virus() = virus;
    for (const ox::ScanReport& child : children)
        *report.add_item() = child;
    if (error)
        report.set_error(*error);
    return report;
}

} // namespace test_reports
