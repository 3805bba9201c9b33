#pragma once

// The log sink of the ox::oxs part of the library (URLs and reports). Its
// fields are set from the event-loop thread only; it has no lock.

#include <functional>
#include <string>

namespace ox::oxs {

class log_t {
public:
    // 0 debug, 1 warning, 2 error.
    using level_t = int;
    using handler_t = std::function<void(level_t, const std::string&)>;

    static constexpr level_t debug = 0;
    static constexpr level_t warning = 1;
    static constexpr level_t error = 2;

    // The one instance, made on first use.
    static log_t& instance();

    // Writes "[DEBUG]", "[WARNING]" or "[ERROR]", ": " and the text as one
    // line of the standard output.
    void set_default_handler();

    // The lowest level to pass on.
    level_t level = debug;
    handler_t handler;

private:
    log_t();
};

} // namespace ox::oxs
