#pragma once

#include <memory>

#include "common/log.hpp"
#include "schemas/log.pb.h"

// The console output without callbacks: what the process writes to before
// and without configuration.
std::shared_ptr<cf_log_t> cf_make_default_log();

// Builds the output that the settings describe: SYSLOG, FILE (appended to;
// throws boost::filesystem::filesystem_error "Cannot create log" when the
// file can be neither created nor opened) or STDERR; an empty pointer for
// any other type. An empty line callback is replaced by the copy to the
// descriptor named by COM_ORVEX_ADD_LOG_PIPE (none for STDERR); an empty raw
// callback by the line callback (none for STDERR).
std::shared_ptr<cf_log_t> cf_make_log(const ox::Log& settings, cf_log_callback_t line_callback,
                                      cf_log_callback_t raw_callback);

// The line callback that copies every line to the descriptor named by the
// environment variable COM_ORVEX_ADD_LOG_PIPE, read at each call; a function
// that ignores its argument when the variable is absent or not a number.
cf_log_callback_t make_default_callback();

// Parses a decimal int (one optional sign, digits only, within the range of
// int) into fd; false, leaving fd alone, for anything else.
bool cf_parse_fd(const char* text, int& fd);

// The openlog facility of an ox::Log::LogFacility number; LOG_DAEMON for
// numbers that are not values.
int cf_syslog_facility(int facility);
