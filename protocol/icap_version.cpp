#include "protocol/icap_version.hpp"

#include <ostream>

namespace io::icap {

std::ostream& operator<<(std::ostream& out, const version_t& version)
{
    return out << "ICAP/" << version.major << '.' << version.minor;
}

} // namespace io::icap
