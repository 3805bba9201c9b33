#include "common/console_log.hpp"

#include <mutex>
#include <utility>

cf_console_log_t::cf_console_log_t(cf_log_callback_t line_callback, cf_log_callback_t raw_callback)
    : cf_log_t(std::move(line_callback), std::move(raw_callback))
{
}

void cf_console_log_t::open() {}

void cf_console_log_t::write(int level, const std::string& text)
{
    const std::string line = cf_format_log_line(level, text) + "\n";
    std::lock_guard<boost::mutex> lock(cf_log_mutex);
    cf_write_string(2, line);
}

void cf_console_log_t::write_raw(const std::string& tag, int number, const std::string& text)
{
    const std::string line = cf_format_tagged_text(tag, number, text) + "\n";
    std::lock_guard<boost::mutex> lock(cf_log_mutex);
    cf_write_string(2, line);
}

void cf_console_log_t::write_out_of_memory()
{
    cf_write_out_of_memory();
}
