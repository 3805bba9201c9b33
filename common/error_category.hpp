#pragma once

// The error category "ox.Error": the suite's own failures as
// boost::system::error_code values whose numbers are those of ox::ErrorCode
// and whose messages are the codes' display texts.

#include <string>
#include <type_traits>

#include <boost/system/error_code.hpp>

#include "schemas/error.pb.h"

namespace ox {

class cf_proto_error_impl_t final : public boost::system::error_category {
public:
    constexpr cf_proto_error_impl_t() noexcept = default;

    const char* name() const noexcept override;
    // The display text of a defined value, else "ox.Error " and the number.
    std::string message(int value) const override;
};

// The one instance of the category; codes belong to it by identity.
const boost::system::error_category& cf_proto_error_category() noexcept;

boost::system::error_code make_error_code(ErrorCode e) noexcept;
boost::system::error_condition make_error_condition(ErrorCode e) noexcept;

} // namespace ox

namespace boost::system {

template <>
struct is_error_code_enum<ox::ErrorCode> : std::true_type {
};

} // namespace boost::system
