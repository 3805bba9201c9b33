#pragma once

#include <cstdint>
#include <string>

namespace ox::oxs {

// The answer of a URL check.
class report_t {
public:
    // Bit set of URL categories.
    std::uint32_t categories = 0;
    // A legal alternative address supplied with the answer; may be empty.
    std::string piracy_legal_url;

    // The lowest set bit among bits 0 to 16, 29 and 30, else 0; fixed by the
    // first call.
    std::uint32_t main_category() const;

private:
    mutable bool main_known_ = false;
    mutable std::uint32_t main_ = 0;
};

} // namespace ox::oxs
