#include "common/log.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <unistd.h>

#include "common/console_log.hpp"

namespace {

enum log_mode_t : int {
    mode_buffering = 0,
    mode_installed = 1,
    mode_exiting = 2,
};

struct held_record_t {
    int level;
    std::string text;
};

cf_log_callback_t ignoring_callback()
{
    return [](const std::string&) {};
}

cf_log_callback_t or_ignoring(cf_log_callback_t callback)
{
    return callback ? std::move(callback) : ignoring_callback();
}

// Writes "Name: text\n" in pieces, so that it needs no memory; the last
// resort when building a line or an output failed.
void write_plain_unallocated(int fd, int level, const std::string& text)
{
    const char* name = cf_log_level_name(level);
    cf_write_all(fd, name, std::strlen(name));
    cf_write_all(fd, ": ", 2);
    cf_write_all(fd, text.data(), text.size());
    cf_write_all(fd, "\n", 1);
}

} // namespace

int cf_log_threshold = 0;

// The order of these definitions is the order of their construction; at exit
// the flush registered last runs first, then the output is released, then
// the held records and last the mutex go.
boost::mutex cf_log_mutex;

namespace {

std::vector<held_record_t> cf_log_buffer;
std::shared_ptr<cf_log_t> cf_log_output;
std::atomic<int> cf_log_mode{mode_buffering};

struct exit_flush_registrar_t {
    exit_flush_registrar_t() { std::atexit(cf_flush_log_at_exit); }
} const exit_flush_registrar;

std::shared_ptr<cf_log_t> installed_output()
{
    std::lock_guard<boost::mutex> lock(cf_log_mutex);
    return cf_log_output;
}

void log_record(int level, const std::string& text)
{
    switch (cf_log_mode.load()) {
    case mode_installed: {
        auto output = installed_output();
        output->write(level, text);
        std::lock_guard<boost::mutex> lock(cf_log_mutex);
        output->line_callback()(cf_format_log_line(level, text));
        break;
    }
    case mode_buffering:
        cf_log_buffer.push_back(held_record_t{level, text});
        break;
    default:
        if (level >= cf_log_threshold)
            cf_write_string(2, cf_format_log_line(level, text) + "\n");
        break;
    }
}

} // namespace

cf_log_t::cf_log_t(cf_log_callback_t line_callback, cf_log_callback_t raw_callback)
    : line_callback_(or_ignoring(std::move(line_callback))), raw_callback_(or_ignoring(std::move(raw_callback)))
{
}

cf_log_t::~cf_log_t() = default;

void cf_log_t::set_line_callback(cf_log_callback_t callback)
{
    line_callback_ = or_ignoring(std::move(callback));
}

void cf_log_t::set_raw_callback(cf_log_callback_t callback)
{
    raw_callback_ = or_ignoring(std::move(callback));
}

void cf_log(int level, const std::string& text)
{
    try {
        log_record(level, text);
    } catch (const std::bad_alloc&) {
        cf_log_out_of_memory();
    } catch (const std::exception&) {
        write_plain_unallocated(2, level, text);
    }
}

void cf_log_raw(const std::string& tag, int number, const std::string& text)
{
    if (cf_log_mode.load() != mode_installed) {
        cf_log(cf_log_error, cf_format_tagged_text(tag, number, text));
        return;
    }
    auto output = installed_output();
    output->write_raw(tag, number, text);
    std::lock_guard<boost::mutex> lock(cf_log_mutex);
    output->raw_callback()(cf_format_raw_log_line(tag, number, text));
}

void cf_set_log(std::shared_ptr<cf_log_t> output)
{
    if (!output) {
        // A configuration that names no output of its own keeps what is
        // there; the process still needs somewhere to write.
        if (cf_has_log())
            return;
        output = std::make_shared<cf_console_log_t>(nullptr, nullptr);
    }
    {
        std::lock_guard<boost::mutex> lock(cf_log_mutex);
        cf_log_output = std::move(output);
        cf_log_output->open();
        if (cf_log_mode.load() == mode_buffering)
            cf_log_mode.store(mode_installed);
    }
    auto held = std::move(cf_log_buffer);
    cf_log_buffer.clear();
    for (const auto& record : held)
        if (record.level >= cf_log_threshold)
            cf_log(record.level, record.text);
}

bool cf_has_log()
{
    return static_cast<bool>(installed_output());
}

void cf_log_out_of_memory()
{
    if (cf_log_mode.load() == mode_installed)
        installed_output()->write_out_of_memory();
    else
        cf_write_out_of_memory();
}

void cf_flush_log_at_exit()
{
    cf_log_mode.store(mode_exiting);
    if (cf_log_buffer.empty())
        return;
    auto held = std::move(cf_log_buffer);
    cf_log_buffer.clear();
    cf_log(cf_log_debug, "Flushing log...");
    for (const auto& record : held)
        cf_log(record.level, record.text);
}

const char* cf_log_level_name(int level)
{
    switch (level) {
    case cf_log_debug:
        return "Debug";
    case cf_log_info:
        return "Info";
    case cf_log_notice:
        return "Notice";
    case cf_log_warning:
        return "Warning";
    case cf_log_error:
        return "Error";
    default:
        return "Unknown";
    }
}

int cf_log_level_from_name(const char* name)
{
    if (name == nullptr)
        return cf_log_error;
    for (int level = cf_log_debug; level < cf_log_error; ++level)
        if (std::strcmp(name, cf_log_level_name(level)) == 0)
            return level;
    return cf_log_error;
}

int cf_log_level_from_proto(unsigned level)
{
    if (level >= 1 && level <= 5)
        return static_cast<int>(level) - 1;
    return cf_log_error;
}

std::string cf_format_log_line(int level, const std::string& text)
{
    std::string line = cf_log_level_name(level);
    line += ": ";
    line += text;
    return line;
}

std::string cf_format_tagged_text(const std::string& tag, int number, const std::string& text)
{
    return tag + "-" + std::to_string(number) + ": " + text;
}

std::string cf_format_raw_log_line(const std::string& tag, int number, const std::string& text)
{
    return "[" + tag + "-" + std::to_string(number) + "] " + text;
}

void cf_write_all(int fd, const char* data, std::size_t length)
{
    std::size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd, data + written, length - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (n == 0)
            return;
        written += static_cast<std::size_t>(n);
    }
}

void cf_write_string(int fd, const std::string& s)
{
    cf_write_all(fd, s.data(), s.size());
}

void cf_write_out_of_memory()
{
    static constexpr char text[] = "Error: Not enough memory";
    cf_write_all(2, text, sizeof text - 1);
    cf_write_all(2, "\n", 1);
}
