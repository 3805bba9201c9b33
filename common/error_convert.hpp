#pragma once

// Conversions between the three forms a failure takes: an error code, an
// exception, and the ox::Error message of a reply. cf_to_proto_error of an
// exception is the process's exit status for it.

#include <exception>
#include <string>

#include <boost/system/error_code.hpp>

#include "schemas/error.pb.h"

// A valid "ox.Error" value unchanged; success EC_OK; operating-system
// errors by their portable condition (EACCES and EPERM, ENOENT, ENOTDIR,
// EROFS, EINVAL, EEXIST, EADDRINUSE, EXDEV, ENOMEM); anything else
// EC_UNEXPECTED_ERROR.
ox::ErrorCode cf_to_proto_error(const boost::system::error_code& ec);
ox::ErrorCode cf_to_proto_error(const std::exception& e);
ox::ErrorCode cf_to_proto_error(const std::exception_ptr& p);

// A system error's or cf_exception_t's own code; a cf_proto_exception_t's
// code in the "ox.Error" category; EC_NO_MEMORY for std::bad_alloc;
// EC_UNEXPECTED_ERROR for anything else. An empty pointer gives EC_OK.
boost::system::error_code cf_to_error_code(const std::exception& e);
boost::system::error_code cf_to_error_code(const std::exception_ptr& p);

// The error's `what` when present (even when empty), else the display text
// of its code.
std::string cf_error_text(const ox::Error& error);

void cf_fill_error(ox::Error& error, const std::exception& e);
void cf_fill_error(ox::Error& error, const std::exception_ptr& p);
void cf_fill_error(ox::Error& error, const boost::system::error_code& ec);
