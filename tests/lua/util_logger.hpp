#pragma once

// Captures what goes through the process-wide ox::util log function for
// one test, and puts the previous function and level back afterwards.

#include <string>
#include <utility>
#include <vector>

#include "common/util_log.hpp"

namespace lua_test {

struct util_record_t {
    int level;
    std::string text;
    bool operator==(const util_record_t&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const util_record_t& r)
{
    return os << "{" << r.level << ", \"" << r.text << "\"}";
}

class util_logger_t {
public:
    explicit util_logger_t(int level = 0)
        : previous_(ox::util::set_logger([this](ox::util::log_level_t level, const std::string& text) {
              records.push_back({level, text});
          })),
          previous_level_(ox::util::set_log_level(level))
    {
    }
    ~util_logger_t()
    {
        ox::util::set_logger(std::move(previous_));
        ox::util::set_log_level(previous_level_);
    }
    util_logger_t(const util_logger_t&) = delete;
    util_logger_t& operator=(const util_logger_t&) = delete;

    std::vector<util_record_t> records;

private:
    ox::util::logger_t previous_;
    int previous_level_;
};

} // namespace lua_test
