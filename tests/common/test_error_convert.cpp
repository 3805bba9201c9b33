#include <cerrno>
#include <new>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error_category.hpp"
#include "common/error_convert.hpp"
#include "common/exception.hpp"

namespace {

boost::system::error_code system_code(int value)
{
    return {value, boost::system::system_category()};
}

TEST(error_convert, error_code_to_error_code_value)
{
    struct case_t {
        const char* name;
        boost::system::error_code ec;
        ox::ErrorCode expected;
    };
    const case_t cases[] = {
        {"success", {}, ox::EC_OK},
        {"EACCES", system_code(EACCES), ox::EC_PERMISSION_DENIED},
        {"EPERM", system_code(EPERM), ox::EC_PERMISSION_DENIED},
        {"ENOENT", system_code(ENOENT), ox::EC_NO_SUCH_ENTRY},
        {"ENOTDIR", system_code(ENOTDIR), ox::EC_NOT_A_DIRECTORY},
        {"EROFS", system_code(EROFS), ox::EC_READ_ONLY_FS},
        {"EINVAL", system_code(EINVAL), ox::EC_INVALID_ARGUMENT},
        {"EEXIST", system_code(EEXIST), ox::EC_FILE_EXISTS},
        {"EADDRINUSE", system_code(EADDRINUSE), ox::EC_NAME_ALREADY_IN_USE},
        {"EXDEV", system_code(EXDEV), ox::EC_CROSS_DEVICE_LINK},
        {"ENOMEM", system_code(ENOMEM), ox::EC_NO_MEMORY},
        {"EPIPE", system_code(EPIPE), ox::EC_UNEXPECTED_ERROR},
        {"generic EACCES", {EACCES, boost::system::generic_category()}, ox::EC_PERMISSION_DENIED},
        {"asio access_denied", boost::asio::error::access_denied, ox::EC_PERMISSION_DENIED},
        // Codes of other categories match only through a declared equivalence:
        // the end of stream is 2 like ENOENT, a cancellation is ECANCELED.
        {"asio eof", boost::asio::error::eof, ox::EC_UNEXPECTED_ERROR},
        {"asio operation_aborted", boost::asio::error::operation_aborted, ox::EC_UNEXPECTED_ERROR},
        {"ox.Error 88", ox::EC_APP_SUSPENDED, ox::EC_APP_SUSPENDED},
        {"ox.Error 0", ox::EC_OK, ox::EC_OK},
        {"ox.Error 14 (no value)", {14, ox::cf_proto_error_category()}, ox::EC_UNEXPECTED_ERROR},
        {"ox.Error 126 (no value)", {126, ox::cf_proto_error_category()}, ox::EC_UNEXPECTED_ERROR},
        // An "ox.Error" number that happens to equal an errno is not that errno.
        {"ox.Error 13 is not EACCES", ox::EC_UNKNOWN_STATE, ox::EC_UNKNOWN_STATE},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cf_to_proto_error(c.ec), c.expected);
    }
}

class derived_bad_alloc_t : public std::bad_alloc {};

TEST(error_convert, exit_status_of_an_exception)
{
    struct case_t {
        const char* name;
        std::exception_ptr thrown;
        ox::ErrorCode expected;
    };
    const case_t cases[] = {
        {"bad_alloc", std::make_exception_ptr(std::bad_alloc()), ox::EC_NO_MEMORY},
        {"derived bad_alloc", std::make_exception_ptr(derived_bad_alloc_t()), ox::EC_NO_MEMORY},
        {"runtime_error", std::make_exception_ptr(std::runtime_error("x")), ox::EC_UNEXPECTED_ERROR},
        {"proto exception", std::make_exception_ptr(cf_proto_exception_t(ox::EC_BAD_CONFIG, "bad")), ox::EC_BAD_CONFIG},
        {"system_error EACCES", std::make_exception_ptr(boost::system::system_error(system_code(EACCES), "open")),
         ox::EC_PERMISSION_DENIED},
        {"cf_exception_t ENOENT", std::make_exception_ptr(cf_exception_t(system_code(ENOENT), "stat")),
         ox::EC_NO_SUCH_ENTRY},
        {"cf_exception_t of ox.Error", std::make_exception_ptr(cf_exception_t(ox::EC_NO_VETTER, "scan")),
         ox::EC_NO_VETTER},
        {"bare ErrorCode", std::make_exception_ptr(ox::EC_APP_TERMINATED), ox::EC_UNEXPECTED_ERROR},
        {"int", std::make_exception_ptr(7), ox::EC_UNEXPECTED_ERROR},
        {"empty", std::exception_ptr(), ox::EC_OK},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cf_to_proto_error(c.thrown), c.expected);
        if (!c.thrown)
            continue;
        try {
            std::rethrow_exception(c.thrown);
        } catch (const std::exception& e) {
            EXPECT_EQ(cf_to_proto_error(e), c.expected);
        } catch (...) {
        }
    }
}

TEST(error_convert, to_error_code_keeps_the_carried_code)
{
    const boost::system::error_code pipe = system_code(EPIPE);
    EXPECT_EQ(cf_to_error_code(boost::system::system_error(pipe, "write")), pipe);
    EXPECT_EQ(cf_to_error_code(cf_exception_t(pipe, "write")), pipe);
    EXPECT_EQ(cf_to_error_code(cf_proto_exception_t(ox::EC_NO_TAGGER, "t")), ox::make_error_code(ox::EC_NO_TAGGER));
    EXPECT_EQ(cf_to_error_code(std::bad_alloc()), ox::make_error_code(ox::EC_NO_MEMORY));
    EXPECT_EQ(cf_to_error_code(std::logic_error("l")), ox::make_error_code(ox::EC_UNEXPECTED_ERROR));
    EXPECT_EQ(cf_to_error_code(std::exception_ptr()), ox::make_error_code(ox::EC_OK));
    // The settings holder tells a failure that needs a restart by EACCES.
    EXPECT_TRUE(cf_to_error_code(cf_exception_t(system_code(EACCES), "setuid")) ==
                boost::system::errc::permission_denied);
}

TEST(error_convert, error_text_prefers_a_present_what)
{
    ox::Error error;
    error.set_code(ox::EC_NO_SUCH_ENTRY);
    EXPECT_EQ(cf_error_text(error), "No such file or directory");
    error.set_what("");
    EXPECT_EQ(cf_error_text(error), "");
    error.set_what("gone");
    EXPECT_EQ(cf_error_text(error), "gone");
}

TEST(error_convert, proto_exception_from_an_error_message)
{
    ox::Error error;
    error.set_code(ox::EC_NOT_INSTALLED);
    const cf_proto_exception_t without_what(error);
    EXPECT_EQ(without_what.code(), ox::EC_NOT_INSTALLED);
    EXPECT_STREQ(without_what.what(), "Component is not installed");
    error.set_what("no such service");
    EXPECT_STREQ(cf_proto_exception_t(error).what(), "no such service");
}

TEST(error_convert, fill_error_from_each_form)
{
    ox::Error error;
    cf_fill_error(error, cf_proto_exception_t(ox::EC_BAD_CONFIG, "listen address"));
    EXPECT_EQ(error.code(), ox::EC_BAD_CONFIG);
    EXPECT_EQ(error.what(), "listen address");

    cf_fill_error(error, std::make_exception_ptr(ox::EC_APP_SUSPENDED));
    EXPECT_EQ(error.code(), ox::EC_UNEXPECTED_ERROR);
    EXPECT_EQ(error.what(), "ErrorCode: Process suspended by the administrator");

    cf_fill_error(error, system_code(ENOENT));
    EXPECT_EQ(error.code(), ox::EC_NO_SUCH_ENTRY);
    EXPECT_EQ(error.what(), system_code(ENOENT).message());
}

TEST(error_convert, make_exception_ptr_only_for_failures)
{
    EXPECT_FALSE(cf_make_exception_ptr(boost::system::error_code()));
    EXPECT_FALSE(cf_make_exception_ptr(ox::make_error_code(ox::EC_OK)));
    EXPECT_FALSE(cf_make_exception_ptr(ox::make_error_code(ox::EC_OK), "lookup"));

    const std::exception_ptr plain = cf_make_exception_ptr(ox::make_error_code(ox::EC_NO_SEEKD));
    ASSERT_TRUE(plain);
    try {
        std::rethrow_exception(plain);
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), ox::make_error_code(ox::EC_NO_SEEKD));
        EXPECT_STREQ(e.what(), "SeekD is not available");
    }
    try {
        std::rethrow_exception(cf_make_exception_ptr(ox::make_error_code(ox::EC_NO_SEEKD), "lookup"));
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ(e.what(), "lookup: SeekD is not available");
    }

    ox::Error error;
    EXPECT_FALSE(cf_make_exception_ptr(error));
    error.set_code(ox::EC_OK);
    EXPECT_FALSE(cf_make_exception_ptr(error));
    error.set_code(ox::EC_INVALID_ARGUMENT);
    const std::exception_ptr proto = cf_make_exception_ptr(error);
    ASSERT_TRUE(proto);
    EXPECT_EQ(cf_to_proto_error(proto), ox::EC_INVALID_ARGUMENT);
}

} // namespace
