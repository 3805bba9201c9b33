#pragma once

namespace ic {

// The program's name and version, as the command line, the start banner and
// the ICAP OPTIONS answer show them.
inline constexpr const char* program_name = "orvex-traxd";
inline constexpr const char* program_version = "11.1.9.2205231640";

} // namespace ic
