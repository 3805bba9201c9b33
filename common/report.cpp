#include "common/report.hpp"

namespace ox::oxs {

std::uint32_t report_t::main_category() const
{
    if (main_known_)
        return main_;
    main_ = 0;
    for (const unsigned bit : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 29u, 30u}) {
        if (categories & (std::uint32_t{1} << bit)) {
            main_ = std::uint32_t{1} << bit;
            break;
        }
    }
    main_known_ = true;
    return main_;
}

} // namespace ox::oxs
