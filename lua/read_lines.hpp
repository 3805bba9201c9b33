#pragma once

#include <string>
#include <vector>

namespace ox::lua::orvex {

// The non-blank lines of a file in order: every LF ends a line, the text
// after the last LF is the last line, and lines that are empty or only
// white space are dropped; the others keep every character, CR included.
// Throws boost::system::system_error "Cannot open <path>" or "Cannot read
// <path>" with the system's error.
std::vector<std::string> read_lines(const std::string& path);

} // namespace ox::lua::orvex
