#pragma once

#include <exception>
#include <string>

namespace ox::util {

// The what() text of the stored exception, unchanged, when it derives from
// std::exception; else, and for an empty pointer, "Unexpected exception".
std::string exception_ptr_text(const std::exception_ptr& e);

} // namespace ox::util
