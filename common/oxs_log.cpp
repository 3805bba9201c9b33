#include "common/oxs_log.hpp"

#include <iostream>

namespace ox::oxs {

namespace {

const char* level_tag(log_t::level_t level)
{
    switch (level) {
    case log_t::debug:
        return "[DEBUG]";
    case log_t::warning:
        return "[WARNING]";
    default:
        return "[ERROR]";
    }
}

} // namespace

log_t::log_t()
{
    set_default_handler();
}

log_t& log_t::instance()
{
    static log_t the_log;
    return the_log;
}

void log_t::set_default_handler()
{
    handler = [](level_t level, const std::string& text) {
        std::cout << level_tag(level) << ": " << text << std::endl;
    };
}

} // namespace ox::oxs
