#pragma once

#include <iosfwd>

namespace io::icap {

// An ICAP version; -1.-1 means none was given.
struct version_t {
    int major = -1;
    int minor = -1;

    bool present() const noexcept { return major != -1 || minor != -1; }
};

// "ICAP/" major "." minor.
std::ostream& operator<<(std::ostream& out, const version_t& version);

// Which body an ICAP message carries.
enum class body_type_t { req_body = 0, res_body = 1, opt_body = 2, null_body = 3 };

} // namespace io::icap
