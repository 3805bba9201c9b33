#pragma once

// The log hook of the ox::util part of the library, through which the
// scripting modules log. It holds a level and a function; the application
// points the function at cf_log and keeps the level equal to the logger's
// threshold. Every access and every call of the function is serialised by
// the hook's own mutex, which is not recursive: the installed function must
// not call back into the hook.

#include <functional>
#include <string>

namespace ox::util {

// The logger's level numbers: 0 debug, 1 info, 2 notice, 3 warning, 4 error.
using log_level_t = int;
using logger_t = std::function<void(log_level_t, const std::string&)>;

// Calls the installed function; tests no level (callers compare with
// get_log_level() first). Throws std::bad_function_call when the installed
// function is empty.
void log(log_level_t level, const std::string& text);

log_level_t get_log_level();
// Returns the previous level.
log_level_t set_log_level(log_level_t level);

// Returns the previously installed function, so that a caller can put it
// back; initially a function that ignores its arguments.
logger_t set_logger(logger_t logger);
logger_t get_logger();

} // namespace ox::util
