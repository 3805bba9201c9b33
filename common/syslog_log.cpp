#include "common/syslog_log.hpp"

#include <utility>

#include <syslog.h>

namespace {

void system_open(const char* ident, int option, int facility)
{
    ::openlog(ident, option, facility);
}

void system_log(int priority, const char* text)
{
    ::syslog(priority, "%s", text);
}

void system_close()
{
    ::closelog();
}

int priority_of(int level)
{
    if (level >= cf_log_debug && level <= cf_log_error)
        return LOG_DEBUG - level;
    return LOG_ERR;
}

} // namespace

constexpr cf_syslog_calls_t cf_system_syslog_calls{system_open, system_log, system_close};
constinit cf_syslog_calls_t cf_syslog_calls = cf_system_syslog_calls;

cf_syslog_log_t::cf_syslog_log_t(const char* ident, int facility, cf_log_callback_t line_callback,
                                 cf_log_callback_t raw_callback)
    : cf_log_t(std::move(line_callback), std::move(raw_callback)), facility_(facility), ident_(ident ? ident : "")
{
}

cf_syslog_log_t::~cf_syslog_log_t()
{
    cf_syslog_calls.close();
}

void cf_syslog_log_t::open()
{
    cf_syslog_calls.open(ident_.empty() ? nullptr : ident_.c_str(), LOG_PID, facility_);
}

void cf_syslog_log_t::write(int level, const std::string& text)
{
    cf_syslog_calls.log(priority_of(level), text.c_str());
}

void cf_syslog_log_t::write_raw(const std::string& tag, int number, const std::string& text)
{
    cf_syslog_calls.log(LOG_ERR, cf_format_tagged_text(tag, number, text).c_str());
}

void cf_syslog_log_t::write_out_of_memory()
{
    cf_syslog_calls.log(LOG_ERR, "Error: Not enough memory");
}
