#pragma once

#include "common/log.hpp"

// Writes "Name: text" lines to the standard error descriptor: the output of
// the process before and without configuration.
class cf_console_log_t : public cf_log_t {
public:
    cf_console_log_t(cf_log_callback_t line_callback, cf_log_callback_t raw_callback);

    void open() override;
    void write(int level, const std::string& text) override;
    void write_raw(const std::string& tag, int number, const std::string& text) override;
    void write_out_of_memory() override;
};
