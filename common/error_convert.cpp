#include "common/error_convert.hpp"

#include <cerrno>
#include <new>
#include <utility>

#include <boost/system/system_error.hpp>

#include "common/enum_text.hpp"
#include "common/error_category.hpp"
#include "common/exception.hpp"
#include "common/what.hpp"

ox::ErrorCode cf_to_proto_error(const boost::system::error_code& ec)
{
    if (ec.category() == ox::cf_proto_error_category()) {
        if (ox::ErrorCode_IsValid(ec.value()))
            return static_cast<ox::ErrorCode>(ec.value());
        return ox::EC_UNEXPECTED_ERROR;
    }
    if (!ec)
        return ox::EC_OK;
    static constexpr std::pair<int, ox::ErrorCode> by_condition[] = {
        {EACCES, ox::EC_PERMISSION_DENIED}, {EPERM, ox::EC_PERMISSION_DENIED},
        {ENOENT, ox::EC_NO_SUCH_ENTRY},     {ENOTDIR, ox::EC_NOT_A_DIRECTORY},
        {EROFS, ox::EC_READ_ONLY_FS},       {EINVAL, ox::EC_INVALID_ARGUMENT},
        {EEXIST, ox::EC_FILE_EXISTS},       {EADDRINUSE, ox::EC_NAME_ALREADY_IN_USE},
        {EXDEV, ox::EC_CROSS_DEVICE_LINK},  {ENOMEM, ox::EC_NO_MEMORY},
    };
    for (const auto& [errno_value, result] : by_condition)
        if (ec == boost::system::error_condition(errno_value, boost::system::generic_category()))
            return result;
    return ox::EC_UNEXPECTED_ERROR;
}

ox::ErrorCode cf_to_proto_error(const std::exception& e)
{
    return cf_to_proto_error(cf_to_error_code(e));
}

ox::ErrorCode cf_to_proto_error(const std::exception_ptr& p)
{
    return cf_to_proto_error(cf_to_error_code(p));
}

boost::system::error_code cf_to_error_code(const std::exception& e)
{
    if (const auto* system_error = dynamic_cast<const boost::system::system_error*>(&e))
        return system_error->code();
    if (const auto* exception = dynamic_cast<const cf_exception_t*>(&e))
        return exception->code();
    if (const auto* proto_exception = dynamic_cast<const cf_proto_exception_t*>(&e))
        return ox::make_error_code(proto_exception->code());
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return ox::make_error_code(ox::EC_NO_MEMORY);
    return ox::make_error_code(ox::EC_UNEXPECTED_ERROR);
}

boost::system::error_code cf_to_error_code(const std::exception_ptr& p)
{
    if (!p)
        return ox::make_error_code(ox::EC_OK);
    try {
        std::rethrow_exception(p);
    } catch (const std::exception& e) {
        return cf_to_error_code(e);
    } catch (...) {
        return ox::make_error_code(ox::EC_UNEXPECTED_ERROR);
    }
}

std::string cf_error_text(const ox::Error& error)
{
    return error.has_what() ? error.what() : cf_proto_error_text(error.code());
}

void cf_fill_error(ox::Error& error, const std::exception& e)
{
    error.set_code(cf_to_proto_error(e));
    error.set_what(cf_what(e));
}

void cf_fill_error(ox::Error& error, const std::exception_ptr& p)
{
    error.set_code(cf_to_proto_error(p));
    error.set_what(cf_what(p));
}

void cf_fill_error(ox::Error& error, const boost::system::error_code& ec)
{
    error.set_code(cf_to_proto_error(ec));
    error.set_what(ec.message());
}
