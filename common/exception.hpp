#pragma once

// The framework's exception types: a runtime error carrying an error code,
// and one carrying an ox::ErrorCode (the form in which a failure reported by
// another component of the suite is rethrown).

#include <exception>
#include <stdexcept>
#include <string>

#include <boost/system/error_code.hpp>

#include "common/error_category.hpp"
#include "schemas/error.pb.h"

class cf_exception_t : public std::runtime_error {
public:
    cf_exception_t(boost::system::error_code code, const std::string& what);

    const boost::system::error_code& code() const noexcept { return code_; }

private:
    boost::system::error_code code_;
};

class cf_proto_exception_t : public std::runtime_error {
public:
    cf_proto_exception_t(ox::ErrorCode code, const std::string& what);
    // The text is the error's own text when present, else the code's
    // display text.
    explicit cf_proto_exception_t(const ox::Error& error);

    ox::ErrorCode code() const noexcept { return code_; }

private:
    ox::ErrorCode code_;
};

// Empty when `ec` is not a failure; else a boost::system::system_error of it.
std::exception_ptr cf_make_exception_ptr(const boost::system::error_code& ec);
// The same, the exception's text prefixed with `what`.
std::exception_ptr cf_make_exception_ptr(const boost::system::error_code& ec, const char* what);
// A cf_proto_exception_t when the error's code is present and not EC_OK;
// else empty.
std::exception_ptr cf_make_exception_ptr(const ox::Error& error);
