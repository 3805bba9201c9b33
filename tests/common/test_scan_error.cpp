#include <cerrno>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include "common/error_category.hpp"
#include "common/exception.hpp"
#include "common/scan_error.hpp"

namespace {

TEST(scan_error, scan_error_to_error_code)
{
    struct case_t {
        unsigned scan_error;
        ox::ErrorCode expected;
    };
    const case_t cases[] = {
        {0, ox::EC_UNEXPECTED_ERROR},
        {1, ox::EC_NOT_ABSOLUTE_PATH},
        {2, ox::EC_NO_SUCH_ENTRY},
        {3, ox::EC_NOT_A_REGULAR_FILE},
        {4, ox::EC_NOT_A_DRIVE},
        {5, ox::EC_UNEXPECTED_ERROR},
        {6, ox::EC_PERMISSION_DENIED},
        {7, ox::EC_IO_ERROR},
        {8, ox::EC_IO_ERROR},
        {9, ox::EC_UNEXPECTED_ERROR},
        {10, ox::EC_UNEXPECTED_ERROR},
        {11, ox::EC_UNEXPECTED_ERROR},
        {20, ox::EC_UNPACKING_ERROR},
        {21, ox::EC_UNPACKING_ERROR},
        {22, ox::EC_UNPACKING_ERROR},
        {23, ox::EC_UNPACKING_ERROR},
        {24, ox::EC_UNEXPECTED_ERROR},
        {25, ox::EC_UNPACKING_ERROR},
        {26, ox::EC_CAN_NOT_BE_CURED},
        {30, ox::EC_SCAN_LIMIT_REACHED},
        {31, ox::EC_SCAN_LIMIT_REACHED},
        {32, ox::EC_SCAN_LIMIT_REACHED},
        {33, ox::EC_SCAN_LIMIT_REACHED},
        {34, ox::EC_SCAN_LIMIT_REACHED},
        {35, ox::EC_UNEXPECTED_ERROR},
        {36, ox::EC_UNEXPECTED_ERROR},
        {37, ox::EC_SCAN_LIMIT_REACHED},
        {40, ox::EC_SCAN_LIMIT_REACHED},
        {41, ox::EC_UNEXPECTED_ERROR},
        {44, ox::EC_UNEXPECTED_ERROR},
        {49, ox::EC_UNEXPECTED_ERROR},
        {50, ox::EC_NOT_A_DRIVE},
        {51, ox::EC_UNEXPECTED_ERROR},
        {100, ox::EC_UNEXPECTED_ERROR},
        {4294967295u, ox::EC_UNEXPECTED_ERROR},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.scan_error);
        EXPECT_EQ(cf_scan_error_to_proto(c.scan_error), c.expected);
    }
}

TEST(scan_error, error_code_to_scan_error)
{
    const auto system = [](int value) { return boost::system::error_code(value, boost::system::system_category()); };
    struct case_t {
        const char* name;
        boost::system::error_code ec;
        ox::ScanError expected;
    };
    const case_t cases[] = {
        {"ENAMETOOLONG", system(ENAMETOOLONG), ox::SE_NAME_TOO_LONG},
        {"ENOENT", system(ENOENT), ox::SE_FILE_NOT_FOUND},
        {"ENOTDIR", system(ENOTDIR), ox::SE_FILE_NOT_FOUND},
        {"EACCES", system(EACCES), ox::SE_NO_ACCESS},
        {"EPERM", system(EPERM), ox::SE_NO_ACCESS},
        {"EIO", system(EIO), ox::SE_UNEXPECTED_ERROR},
        {"generic ENOENT", {ENOENT, boost::system::generic_category()}, ox::SE_FILE_NOT_FOUND},
        // The end of stream is 2 in its own category, which is not ENOENT.
        {"asio eof", boost::asio::error::eof, ox::SE_UNEXPECTED_ERROR},
        {"EC_NO_SUCH_ENTRY", ox::EC_NO_SUCH_ENTRY, ox::SE_FILE_NOT_FOUND},
        {"EC_NOT_ABSOLUTE_PATH", ox::EC_NOT_ABSOLUTE_PATH, ox::SE_PATH_NOT_ABSOLUTE},
        {"EC_NOT_A_DRIVE", ox::EC_NOT_A_DRIVE, ox::SE_FILE_NOT_BLOCK_DEVICE},
        {"EC_NOT_A_REGULAR_FILE", ox::EC_NOT_A_REGULAR_FILE, ox::SE_FILE_NOT_REGULAR},
        {"EC_PERMISSION_DENIED", ox::EC_PERMISSION_DENIED, ox::SE_NO_ACCESS},
        {"EC_NO_MEMORY", ox::EC_NO_MEMORY, ox::SE_UNEXPECTED_ERROR},
        // ox.Error 2 and 13 are not ENOENT and EACCES, though the numbers agree.
        {"EC_ALREADY_IN_PROGRESS", ox::EC_ALREADY_IN_PROGRESS, ox::SE_UNEXPECTED_ERROR},
        {"EC_UNKNOWN_STATE", ox::EC_UNKNOWN_STATE, ox::SE_UNEXPECTED_ERROR},
        {"success", {}, ox::SE_UNEXPECTED_ERROR},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cf_to_scan_error(c.ec), c.expected);
    }
}

TEST(scan_error, exception_to_scan_error)
{
    EXPECT_EQ(cf_to_scan_error(cf_proto_exception_t(ox::EC_NOT_A_REGULAR_FILE, "f")), ox::SE_FILE_NOT_REGULAR);
    EXPECT_EQ(cf_to_scan_error(std::runtime_error("r")), ox::SE_UNEXPECTED_ERROR);
}

} // namespace
