#include "common/util_log.hpp"

#include <mutex>
#include <utility>

namespace ox::util {

namespace {

struct hook_t {
    std::mutex mutex;
    log_level_t level = 0;
    logger_t logger = [](log_level_t, const std::string&) {};
};

hook_t hook;

} // namespace

void log(log_level_t level, const std::string& text)
{
    std::unique_lock<std::mutex> lock(hook.mutex);
    if (!hook.logger)
        throw std::bad_function_call();
    hook.logger(level, text);
}

log_level_t get_log_level()
{
    std::unique_lock<std::mutex> lock(hook.mutex);
    return hook.level;
}

log_level_t set_log_level(log_level_t level)
{
    std::unique_lock<std::mutex> lock(hook.mutex);
    return std::exchange(hook.level, level);
}

logger_t set_logger(logger_t logger)
{
    std::unique_lock<std::mutex> lock(hook.mutex);
    return std::exchange(hook.logger, std::move(logger));
}

logger_t get_logger()
{
    std::unique_lock<std::mutex> lock(hook.mutex);
    return hook.logger;
}

} // namespace ox::util
