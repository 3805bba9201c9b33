#pragma once

// Mappings between the scan errors that Vetter reports (ox::ScanError) and
// the suite's error codes.

#include <exception>

#include <boost/system/error_code.hpp>

#include "schemas/error.pb.h"
#include "schemas/scan_report.pb.h"

// The error code of a scan error number; numbers without a mapping give
// EC_UNEXPECTED_ERROR.
ox::ErrorCode cf_scan_error_to_proto(unsigned scan_error);

// The scan error of an error code; codes without a mapping give
// SE_UNEXPECTED_ERROR.
ox::ScanError cf_to_scan_error(const boost::system::error_code& ec);
ox::ScanError cf_to_scan_error(const std::exception& e);
