#pragma once

#include <string>

#include "common/log.hpp"

// Writes time-stamped lines to a descriptor, a log file or descriptor 2:
//     2022-May-23 16:40:05 [4711] Notice: text
class cf_file_log_t : public cf_log_t {
public:
    // When owns_fd is set the descriptor is closed with the output.
    cf_file_log_t(int fd, bool owns_fd, cf_log_callback_t line_callback, cf_log_callback_t raw_callback);
    ~cf_file_log_t() override;

    void open() override;
    void write(int level, const std::string& text) override;
    void write_raw(const std::string& tag, int number, const std::string& text) override;
    // Goes to descriptor 2, not to the file.
    void write_out_of_memory() override;

    int fd() const { return fd_; }

private:
    int fd_;
    bool owns_fd_;
    int pid_;
};

// The current local time at whole seconds, as "2022-May-23 16:40:05".
// Throws std::runtime_error when the local time cannot be computed.
std::string cf_log_time_stamp();
