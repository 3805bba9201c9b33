#include "common/async_error.hpp"

#include <string>

namespace orx::async {

namespace {

class result_error_category_t final : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "orx::async::result_error_t"; }

    std::string message(int value) const override
    {
        switch (static_cast<result_error_t>(value)) {
        case result_error_t::cancel:
            return "cancel";
        case result_error_t::timeout:
            return "timeout";
        case result_error_t::shutdown:
            return "shutdown";
        }
        return "unknown";
    }
};

} // namespace

const boost::system::error_category& result_error_category() noexcept
{
    static const result_error_category_t category;
    return category;
}

boost::system::error_code make_error_code(result_error_t value) noexcept
{
    return {static_cast<int>(value), result_error_category()};
}

boost::system::error_condition make_error_condition(result_error_t value) noexcept
{
    return {static_cast<int>(value), result_error_category()};
}

} // namespace orx::async
