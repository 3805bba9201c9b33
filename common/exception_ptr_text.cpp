#include "common/exception_ptr_text.hpp"

namespace ox::util {

std::string exception_ptr_text(const std::exception_ptr& e)
{
    if (!e)
        return "Unexpected exception";
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unexpected exception";
    }
}

} // namespace ox::util
