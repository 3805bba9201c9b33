#include "common/file_log.hpp"

#include <ctime>
#include <mutex>
#include <utility>

#include <unistd.h>

#include <boost/date_time/c_time.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd, cf_log_callback_t line_callback, cf_log_callback_t raw_callback)
    : cf_log_t(std::move(line_callback), std::move(raw_callback)),
      fd_(fd),
      owns_fd_(owns_fd),
      pid_(static_cast<int>(::getpid()))
{
}

cf_file_log_t::~cf_file_log_t()
{
    if (owns_fd_ && fd_ >= 0)
        ::close(fd_);
}

void cf_file_log_t::open() {}

void cf_file_log_t::write(int level, const std::string& text)
{
    const std::string line =
        cf_log_time_stamp() + " [" + std::to_string(pid_) + "] " + cf_format_log_line(level, text) + "\n";
    std::lock_guard<boost::mutex> lock(cf_log_mutex);
    cf_write_string(fd_, line);
}

void cf_file_log_t::write_raw(const std::string& tag, int number, const std::string& text)
{
    const std::string line = cf_log_time_stamp() + " " + cf_format_raw_log_line(tag, number, text) + "\n";
    std::lock_guard<boost::mutex> lock(cf_log_mutex);
    cf_write_string(fd_, line);
}

void cf_file_log_t::write_out_of_memory()
{
    cf_write_out_of_memory();
}

std::string cf_log_time_stamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    // Throws std::runtime_error when localtime_r fails.
    boost::date_time::c_time::localtime(&now, &local);
    return boost::posix_time::to_simple_string(boost::posix_time::ptime_from_tm(local));
}
