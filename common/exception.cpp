#include "common/exception.hpp"

#include <boost/system/system_error.hpp>

#include "common/error_convert.hpp"

cf_exception_t::cf_exception_t(boost::system::error_code code, const std::string& what)
    : std::runtime_error(what), code_(code)
{
}

cf_proto_exception_t::cf_proto_exception_t(ox::ErrorCode code, const std::string& what)
    : std::runtime_error(what), code_(code)
{
}

cf_proto_exception_t::cf_proto_exception_t(const ox::Error& error)
    : std::runtime_error(cf_error_text(error)), code_(error.code())
{
}

std::exception_ptr cf_make_exception_ptr(const boost::system::error_code& ec)
{
    if (!ec)
        return {};
    return std::make_exception_ptr(boost::system::system_error(ec));
}

std::exception_ptr cf_make_exception_ptr(const boost::system::error_code& ec, const char* what)
{
    if (!ec)
        return {};
    return std::make_exception_ptr(boost::system::system_error(ec, what));
}

std::exception_ptr cf_make_exception_ptr(const ox::Error& error)
{
    if (!error.has_code() || error.code() == ox::EC_OK)
        return {};
    return std::make_exception_ptr(cf_proto_exception_t(error));
}
