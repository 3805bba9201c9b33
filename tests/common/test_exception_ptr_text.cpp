// The text of a stored exception as scripts see it.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "common/exception_ptr_text.hpp"

namespace {

TEST(exception_ptr_text, texts)
{
    const struct {
        std::exception_ptr stored;
        const char* text;
    } cases[] = {
        {std::make_exception_ptr(std::runtime_error("boost::filesystem::x: kept")), "boost::filesystem::x: kept"},
        {std::make_exception_ptr(std::logic_error("")), ""},
        {std::make_exception_ptr(std::bad_alloc()), "std::bad_alloc"},
        {std::make_exception_ptr(42), "Unexpected exception"},
        {std::make_exception_ptr(std::string("not an exception")), "Unexpected exception"},
        {std::exception_ptr(), "Unexpected exception"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ox::util::exception_ptr_text(c.stored), c.text);
}

} // namespace
