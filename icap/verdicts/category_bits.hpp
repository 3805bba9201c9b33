#pragma once

// URL categories and threat classes travel through the daemon as 32-bit
// sets, one bit per value. URL category n (1 to 17) is bit 1 << (n - 1); the
// black list (20) is bit 29, not bit 19, and bit 30 reads as the black list
// too wherever a bit is turned back into a value. Threat class n (1 to 8) is
// bit 1 << (n - 1).
//
// The value and bit conversions only ever see values of the schemas and bits
// of these tables: anything else is a fault inside the daemon, and they
// abort. The name conversions face script input and answer 0 for a name
// they do not know.

#include <cstdint>
#include <string>

#include <google/protobuf/repeated_field.h>

#include "schemas/scan_report.pb.h"
#include "schemas/url_category.pb.h"

namespace ic {

inline constexpr std::uint32_t black_list_bit = 0x20000000;
// Never set by the daemon; read as the black list.
inline constexpr std::uint32_t unspecified_bit = 0x40000000;
inline constexpr std::uint32_t owners_notice_bit = 0x1000;

std::uint32_t url_category_to_bit(ox::UrlCategory category);
// 0x20000000 and 0x40000000 both give UC_BLACK_LIST.
ox::UrlCategory bit_to_url_category(std::uint32_t bit);
std::uint32_t threat_category_to_bit(ox::VirusType type);
// The categories of a repeated enum field as one set.
std::uint32_t url_categories_to_bits(const google::protobuf::RepeatedField<int>& categories);

// The script names ("adult_content", "hacktool"), compared after lower-casing
// the argument. The black list has no name.
std::uint32_t url_category_name_to_bit(const std::string& name);
std::uint32_t threat_category_name_to_bit(const std::string& name);
// The script name of a category (1 to 17) or of a threat class; empty for
// any other value.
std::string url_category_name(ox::UrlCategory category);
std::string threat_category_name(ox::VirusType type);

} // namespace ic
