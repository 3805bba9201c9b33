#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error_category.hpp"
#include "common/exception.hpp"
#include "common/what.hpp"

namespace {

TEST(what, leading_boost_qualifiers_are_dropped)
{
    struct case_t {
        const char* text;
        const char* expected;
    };
    const case_t cases[] = {
        {"boost::word", "word"},
        {"boost::one::two::rest of it", "rest of it"},
        {"boost::one::", ""},
        {"boost::", ""},
        {" boost::one::rest", " boost::one::rest"},
        {"call boost::one::rest", "call boost::one::rest"},
        {"boost::a_1::b2::c: boost::d::e", "c: boost::d::e"},
        {"boost::filesystem::directory_iterator::construct: No such file", "opendir: No such file"},
        {"boost::filesystem::directory_iterator::increment: No such file", "increment: No such file"},
        {"boost::filesystem::directory_iterator::constructed", "constructed"},
        {"boost::filesystem::construct: x", "construct: x"},
        {"plain text", "plain text"},
        {"", ""},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_STREQ(cf_what(std::runtime_error(c.text)), c.expected);
    }
}

TEST(what, plain_texts_point_into_the_exception)
{
    const std::runtime_error e("boost::asio::read: broken");
    EXPECT_EQ(cf_what(e), e.what() + std::string("boost::asio::").size());
}

TEST(what, rewritten_texts_of_one_line_stay_apart)
{
    const std::runtime_error first("boost::filesystem::directory_iterator::construct: first");
    const std::runtime_error second("boost::filesystem::directory_iterator::construct: second");
    const char* a = cf_what(first);
    const char* b = cf_what(second);
    EXPECT_STREQ(a, "opendir: first");
    EXPECT_STREQ(b, "opendir: second");
}

class derived_bad_alloc_t : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "derived"; }
};

TEST(what, lack_of_memory)
{
    EXPECT_STREQ(cf_what(std::bad_alloc()), "Not enough memory");
    EXPECT_STREQ(cf_what(derived_bad_alloc_t()), "derived");
}

TEST(what, system_errors_carry_category_and_value)
{
    struct case_t {
        const char* name;
        boost::system::system_error error;
        std::string expected;
    };
    const boost::system::error_code pipe(EPIPE, boost::system::system_category());
    const case_t cases[] = {
        {"send refused",
         {ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE), "async_send_message"},
         "async_send_message: Invalid IPC message size [ox.Error:7]"},
        {"no context", boost::system::system_error(ox::make_error_code(ox::EC_PROTOCOL_VIOLATION)),
         "Protocol violation [ox.Error:12]"},
        {"system category", {pipe, "write"}, "write: " + pipe.message() + " [system:32]"},
        {"qualified context", {pipe, "boost::asio::write"}, "write: " + pipe.message() + " [system:32]"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cf_what(c.error), c.expected);
    }
}

// The code goes right after the message, before the paths that the file
// system library appends.
TEST(what, file_system_errors_read_as_logged)
{
    const boost::system::error_code missing(ENOENT, boost::system::system_category());
    const boost::system::error_code cross(EXDEV, boost::system::system_category());
    try {
        boost::filesystem::directory_iterator it("/nonexistent-directory-of-this-test");
        FAIL() << "the directory exists";
    } catch (const boost::filesystem::filesystem_error& e) {
        EXPECT_EQ(cf_what(e), "opendir: " + missing.message() + " [system:2]: \"/nonexistent-directory-of-this-test\"");
    }
    struct case_t {
        const char* name;
        boost::filesystem::filesystem_error error;
        std::string expected;
    };
    const case_t cases[] = {
        {"one path",
         {"Cannot create log", "/var/log/x.log", missing},
         "Cannot create log: " + missing.message() + " [system:2]: \"/var/log/x.log\""},
        {"two paths",
         {"boost::filesystem::rename", "/a", "/b", cross},
         "rename: " + cross.message() + " [system:18]: \"/a\", \"/b\""},
        {"no path",
         {"take_ownership", ox::make_error_code(ox::EC_NOT_A_DIRECTORY)},
         "take_ownership: Not a directory [ox.Error:25]"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cf_what(c.error), c.expected);
    }
}

TEST(what, stored_exceptions)
{
    struct case_t {
        const char* name;
        std::exception_ptr thrown;
        std::string expected;
    };
    const case_t cases[] = {
        {"empty", std::exception_ptr(), "Success"},
        {"bare ErrorCode", std::make_exception_ptr(ox::EC_BAD_CONFIG), "ErrorCode: Invalid configuration"},
        {"bare undefined ErrorCode", std::make_exception_ptr(static_cast<ox::ErrorCode>(14)), "ErrorCode: 14"},
        {"int", std::make_exception_ptr(7), "Unexpected exception"},
        {"bad_alloc", std::make_exception_ptr(std::bad_alloc()), "Not enough memory"},
        {"qualified", std::make_exception_ptr(std::runtime_error("boost::x::y")), "y"},
        {"proto exception", std::make_exception_ptr(cf_proto_exception_t(ox::EC_BAD_CONFIG, "bad port")), "bad port"},
        {"system error",
         std::make_exception_ptr(boost::system::system_error(ox::make_error_code(ox::EC_LINK_DISCONNECTED), "read")),
         "read: Link disconnected [ox.Error:6]"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cf_what(c.thrown), c.expected);
    }
}

} // namespace
