#include "common/error_category.hpp"

#include "common/enum_text.hpp"

namespace ox {

namespace {

// Constant-initialised, so the category is usable by other static
// initialisers and by code running at exit.
constinit const cf_proto_error_impl_t the_category;

} // namespace

const char* cf_proto_error_impl_t::name() const noexcept
{
    return "ox.Error";
}

std::string cf_proto_error_impl_t::message(int value) const
{
    if (const google::protobuf::EnumValueDescriptor* found = ErrorCode_descriptor()->FindValueByNumber(value))
        return cf_enum_value_lex(found);
    return "ox.Error " + std::to_string(value);
}

const boost::system::error_category& cf_proto_error_category() noexcept
{
    return the_category;
}

boost::system::error_code make_error_code(ErrorCode e) noexcept
{
    return {static_cast<int>(e), the_category};
}

boost::system::error_condition make_error_condition(ErrorCode e) noexcept
{
    return {static_cast<int>(e), the_category};
}

} // namespace ox
