#include "common/log_factory.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <syslog.h>

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

#include "common/console_log.hpp"
#include "common/file_log.hpp"
#include "common/syslog_log.hpp"

namespace {

constexpr const char* extra_pipe_variable = "COM_ORVEX_ADD_LOG_PIPE";

int open_log_file(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0)
        return fd;
    // The file may exist where we may write but not create, e.g. in a
    // directory owned by another user; the first reason is the one to tell.
    const int first_error = errno;
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    if (fd >= 0)
        return fd;
    throw boost::filesystem::filesystem_error("Cannot create log", path,
                                              boost::system::error_code(first_error, boost::system::system_category()));
}

} // namespace

std::shared_ptr<cf_log_t> cf_make_default_log()
{
    return std::make_shared<cf_console_log_t>(nullptr, nullptr);
}

cf_log_callback_t make_default_callback()
{
    const char* value = std::getenv(extra_pipe_variable);
    if (value == nullptr)
        return [](const std::string&) {};
    int fd = 0;
    if (!cf_parse_fd(value, fd)) {
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, "Log Factory: Wrong environment variable COM_ORVEX_ADD_LOG_PIPE");
        return [](const std::string&) {};
    }
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "Log Factory: Additional log - " + std::to_string(fd));
    // The logger calls this under cf_log_mutex, so lines do not interleave.
    return [fd](const std::string& line) {
        cf_write_string(fd, line);
        cf_write_all(fd, "\n", 1);
    };
}

std::shared_ptr<cf_log_t> cf_make_log(const ox::Log& settings, cf_log_callback_t line_callback,
                                      cf_log_callback_t raw_callback)
{
    const bool made_line_callback = !line_callback;
    if (made_line_callback)
        line_callback = make_default_callback();
    if (!raw_callback)
        raw_callback = line_callback;

    switch (settings.type()) {
    case ox::Log::SYSLOG:
        return std::make_shared<cf_syslog_log_t>(
            settings.has_ident() && !settings.ident().empty() ? settings.ident().c_str() : nullptr,
            cf_syslog_facility(settings.facility()), std::move(line_callback), std::move(raw_callback));
    case ox::Log::FILE:
        return std::make_shared<cf_file_log_t>(open_log_file(settings.path()), true, std::move(line_callback),
                                               std::move(raw_callback));
    case ox::Log::STDERR:
        // The extra descriptor would only repeat what the console shows.
        if (made_line_callback)
            line_callback = nullptr;
        if (settings.show_timestamp())
            return std::make_shared<cf_file_log_t>(2, false, std::move(line_callback), nullptr);
        return std::make_shared<cf_console_log_t>(std::move(line_callback), nullptr);
    default:
        return nullptr;
    }
}

bool cf_parse_fd(const char* text, int& fd)
{
    if (text == nullptr || *text == '\0')
        return false;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    if (*text == '\0')
        return false;
    const unsigned long long limit = negative ? 2147483648ULL : 2147483647ULL;
    unsigned long long value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        value = value * 10 + static_cast<unsigned long long>(*text - '0');
        if (value > limit)
            return false;
    }
    fd = negative ? static_cast<int>(-static_cast<long long>(value)) : static_cast<int>(value);
    return true;
}

int cf_syslog_facility(int facility)
{
    switch (facility) {
    case ox::Log::USER:
        return LOG_USER;
    case ox::Log::MAIL:
        return LOG_MAIL;
    case ox::Log::LOCAL0:
        return LOG_LOCAL0;
    case ox::Log::LOCAL1:
        return LOG_LOCAL1;
    case ox::Log::LOCAL2:
        return LOG_LOCAL2;
    case ox::Log::LOCAL3:
        return LOG_LOCAL3;
    case ox::Log::LOCAL4:
        return LOG_LOCAL4;
    case ox::Log::LOCAL5:
        return LOG_LOCAL5;
    case ox::Log::LOCAL6:
        return LOG_LOCAL6;
    case ox::Log::LOCAL7:
        return LOG_LOCAL7;
    default:
        return LOG_DAEMON;
    }
}
