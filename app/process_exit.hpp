#pragma once

// How the process ends: the single exit path, the terminate handler and the
// handler that routes the protobuf library's complaints into the log.

#include <string>

#include <google/protobuf/stubs/logging.h>

// Writes the exit line (installing the console output first when no output
// is installed yet) and exits with the status.
[[noreturn]] void cf_exit(int status);

void cf_set_terminate_handler();
// Logs the exception being handled, if any, and ends the process at once
// with its status (125 for anything that is not a std::exception).
[[noreturn]] void cf_terminate_handler();

void cf_set_protobuf_log_handler();
void cf_protobuf_log_handler(google::protobuf::LogLevel level, const char* filename, int line,
                             const std::string& message);
