#pragma once

#include <string>

#include "common/log.hpp"

// The calls through which the system-log output reaches the system log.
// They point at openlog, syslog and closelog; a test points them at a sink
// of its own so that nothing reaches the machine's log.
struct cf_syslog_calls_t {
    void (*open)(const char* ident, int option, int facility);
    // Logs the text as it stands (no format expansion).
    void (*log)(int priority, const char* text);
    void (*close)();
};

// The calls in use; initially those of the system.
extern cf_syslog_calls_t cf_syslog_calls;
// The system's calls, for restoring cf_syslog_calls.
extern const cf_syslog_calls_t cf_system_syslog_calls;

// Writes each record's text alone with the priority of its level: Debug
// LOG_DEBUG up to Error LOG_ERR, any other level LOG_ERR. The system-log
// connection is process-wide: it is opened by open() and closed with the
// output.
class cf_syslog_log_t : public cf_log_t {
public:
    // A null ident gives no identity.
    cf_syslog_log_t(const char* ident, int facility, cf_log_callback_t line_callback, cf_log_callback_t raw_callback);
    ~cf_syslog_log_t() override;

    void open() override;
    void write(int level, const std::string& text) override;
    void write_raw(const std::string& tag, int number, const std::string& text) override;
    void write_out_of_memory() override;

    int facility() const { return facility_; }
    const std::string& ident() const { return ident_; }

private:
    int facility_;
    // openlog keeps the pointer, so the text lives as long as the output.
    std::string ident_;
};
