#pragma once

#include <boost/system/error_code.hpp>

namespace orx::async {

// Outcomes that an asynchronous result can end with besides the failures of
// the operation itself.
enum class result_error_t {
    cancel = 1,
    timeout = 2,
    shutdown = 3,
};

// The one category of these codes, named "orx::async::result_error_t".
const boost::system::error_category& result_error_category() noexcept;

boost::system::error_code make_error_code(result_error_t value) noexcept;
boost::system::error_condition make_error_condition(result_error_t value) noexcept;

} // namespace orx::async

namespace boost::system {
template <>
struct is_error_code_enum<orx::async::result_error_t> : std::true_type {
};
} // namespace boost::system
