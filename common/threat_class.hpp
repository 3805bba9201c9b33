#pragma once

// Text of one threat-class bit. A scan report names each threat with an
// ox::VirusType k (1 to 8); sets of classes are kept as bits, class k being
// 1 << (k - 1).

#include <ostream>

namespace ox::oxs {

// Writes "None" for 0, the display text of the class for a single class
// bit, and "Unknown" for anything else (several bits included).
std::ostream& print_threat_class(std::ostream& out, int bits);

} // namespace ox::oxs
