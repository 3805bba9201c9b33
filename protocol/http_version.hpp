#pragma once

#include <iosfwd>

namespace io::http {

// An HTTP version; -1.-1 means none was given.
struct version_t {
    int major = -1;
    int minor = -1;

    bool present() const noexcept { return major != -1 || minor != -1; }
};

// "HTTP/" major "." minor.
std::ostream& operator<<(std::ostream& out, const version_t& version);

} // namespace io::http
