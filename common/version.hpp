#pragma once

#include <string>

// The two leading numbers of a dotted version text such as
// "11.1.9.2205231640", by which components are compared.
struct cf_version_t {
    int minor;
    int major;
};

// Reads the first two '.'-separated components as ints; later components are
// not looked at. Throws std::runtime_error "Invalid version format: <text>".
cf_version_t cf_parse_version(const std::string& text);
