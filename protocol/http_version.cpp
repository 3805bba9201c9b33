#include "protocol/http_version.hpp"

#include <ostream>

namespace io::http {

std::ostream& operator<<(std::ostream& out, version_t const& version) {
    return out << "HTTP/" << version.major << '.' << version.minor;
}

}  // namespace io::http
