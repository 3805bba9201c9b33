#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ox::oxs {

// The prefix that marks a punycode label.
inline constexpr std::string_view ace_prefix = "xn--";

// The ASCII form of a host name, label by label: a label that holds bytes
// above 0x7F is decoded from UTF-8 and becomes the prefix and its punycode;
// every other label passes unchanged. A label that cannot be converted
// (invalid UTF-8, too long) is kept as written, so no other host comes out.
// Empty labels at the front vanish.
std::string idn_to_ascii(const char* host, std::size_t length);
std::string idn_to_ascii(std::string_view host);

// The Unicode (UTF-8) form of a host name: a label that begins with the
// prefix (exactly, lower case) is punycode-decoded; a label that does not
// decode to valid non-ASCII Unicode that encodes back to the same label is
// kept as written.
std::string idn_to_unicode(const char* host, std::size_t length);
std::string idn_to_unicode(std::string_view host);

} // namespace ox::oxs
