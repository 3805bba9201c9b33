#include "protocol/http_version.hpp"

#include <ostream>

namespace io::http {

std::ostream& operator<<(std::ostream& out, const version_t& version)
{
    return out << "HTTP/" << version.major << '.' << version.minor;
}

} // namespace io::http
