#pragma once

// Recognises a multipart Content-Type value and extracts its boundary.

#include <string>

namespace proto {

struct content_type_t {
    std::string subtype;
    std::string boundary;
};

// Accepts 'multipart/<subtype>' with at most a boundary parameter, quoted or
// not; a value that stops early (even the empty value) gives what was
// collected. Throws base_ragel_parser_t::error_t
// "invalid content-type value" with the rest of the value as excerpt.
content_type_t parse_content_type(const std::string& value);

} // namespace proto
