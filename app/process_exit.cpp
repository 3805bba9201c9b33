#include "app/process_exit.hpp"

#include <cstdlib>
#include <exception>
#include <new>
#include <string_view>

#include <unistd.h>

#include "common/enum_text.hpp"
#include "common/error_convert.hpp"
#include "common/log.hpp"
#include "common/log_factory.hpp"
#include "common/what.hpp"

namespace {

// Nothing configured where the log goes: the last words go to the console,
// with Debug and Info records held since start-up left out.
void ensure_console_log()
{
    if (cf_has_log())
        return;
    cf_log_threshold = cf_log_notice;
    cf_set_log(cf_make_default_log());
}

// Protobuf warns about every message over its soft size limit, which the
// links raise on purpose; the warning says nothing useful here.
constexpr std::string_view large_message_warning = "Reading dangerously large protocol message.";

} // namespace

void cf_exit(int status)
{
    ensure_console_log();
    if (cf_log_threshold <= cf_log_notice)
        cf_log(cf_log_notice, "Exit with status " + std::to_string(status) + " (" +
                                  cf_proto_error_text(static_cast<ox::ErrorCode>(status)) + ")");
    std::exit(status);
}

void cf_set_terminate_handler()
{
    std::set_terminate(cf_terminate_handler);
}

void cf_terminate_handler()
{
    try {
        ensure_console_log();
        if (const std::exception_ptr current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& e) {
                if (cf_log_threshold <= cf_log_error)
                    cf_log(cf_log_error, cf_what(e));
                ::_exit(cf_to_proto_error(e));
            } catch (...) {
            }
        }
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, "Unexpected exception");
        ::_exit(ox::EC_UNEXPECTED_ERROR);
    } catch (const std::bad_alloc&) {
        cf_log_out_of_memory();
        ::_exit(ox::EC_NO_MEMORY);
    }
}

void cf_set_protobuf_log_handler()
{
    google::protobuf::SetLogHandler(cf_protobuf_log_handler);
}

void cf_protobuf_log_handler(google::protobuf::LogLevel level, const char*, int, const std::string& message)
{
    int mapped = cf_log_error;
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        mapped = cf_log_info;
        break;
    case google::protobuf::LOGLEVEL_WARNING:
        if (std::string_view(message).starts_with(large_message_warning))
            return;
        mapped = cf_log_warning;
        break;
    default:
        break;
    }
    if (cf_log_threshold <= mapped)
        cf_log(mapped, message);
}
