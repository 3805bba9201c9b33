#pragma once

// The Content-Type of an encapsulated HTTP head as scripts see it. The
// parse is lenient and never fails: odd text ends up in odd members.

#include <map>
#include <string>

#include "protocol/param_map.hpp"

namespace ic::context {

class media_type_t {
public:
    // Nothing at all: what a missing or unparsable head has.
    media_type_t() = default;
    // From the first value of the head's Content-Type field.
    explicit media_type_t(const io::http::param_map_t& fields);

    // A process-wide object without any member set.
    static const media_type_t& empty();

    // Whether the media-type pattern ("type/subtype", "type/*" or "*/*",
    // any case) names this type; throws std::runtime_error "bad media
    // type: <pattern>" for a pattern of another form. Parameters are never
    // compared.
    bool matches(const std::string& pattern) const;

    // The field's value as written; empty when absent.
    std::string raw;
    // Lower case; blanks around the "/" stay.
    std::string type;
    std::string subtype;
    // Names in lower case, values as written (a quoted value without its
    // quotes and escapes); duplicates kept.
    std::multimap<std::string, std::string> parameters;
};

} // namespace ic::context
