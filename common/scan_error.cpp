#include "common/scan_error.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "common/error_category.hpp"
#include "common/error_convert.hpp"

namespace {

constexpr std::array<std::uint8_t, 51> make_scan_error_table()
{
    std::array<std::uint8_t, 51> table{};
    table.fill(ox::EC_UNEXPECTED_ERROR);
    table[ox::SE_PATH_NOT_ABSOLUTE] = ox::EC_NOT_ABSOLUTE_PATH;
    table[ox::SE_FILE_NOT_FOUND] = ox::EC_NO_SUCH_ENTRY;
    table[ox::SE_FILE_NOT_REGULAR] = ox::EC_NOT_A_REGULAR_FILE;
    table[ox::SE_FILE_NOT_BLOCK_DEVICE] = ox::EC_NOT_A_DRIVE;
    table[ox::SE_NO_ACCESS] = ox::EC_PERMISSION_DENIED;
    table[ox::SE_READ_ERROR] = ox::EC_IO_ERROR;
    table[ox::SE_WRITE_ERROR] = ox::EC_IO_ERROR;
    for (ox::ScanError unpacking : {ox::SE_UNPACKING_ERROR, ox::SE_PASSWORD_PROTECTED, ox::SE_ARCH_CRC_ERROR,
                                    ox::SE_ARCH_INVALID_HEADER, ox::SE_ARCH_INCOMPLETE})
        table[unpacking] = ox::EC_UNPACKING_ERROR;
    table[ox::SE_CAN_NOT_BE_CURED] = ox::EC_CAN_NOT_BE_CURED;
    for (ox::ScanError limit :
         {ox::SE_PACKER_LEVEL_LIMIT, ox::SE_ARCHIVE_LEVEL_LIMIT, ox::SE_MAIL_LEVEL_LIMIT, ox::SE_CONTAINER_LEVEL_LIMIT,
          ox::SE_COMPRESSION_LIMIT, ox::SE_OBJECT_SIZE_LIMIT, ox::SE_SCAN_TIMEOUT})
        table[limit] = ox::EC_SCAN_LIMIT_REACHED;
    table[ox::SE_NON_SUPPORTED_DISK] = ox::EC_NOT_A_DRIVE;
    return table;
}

constexpr std::array<std::uint8_t, 51> scan_error_table = make_scan_error_table();

} // namespace

ox::ErrorCode cf_scan_error_to_proto(unsigned scan_error)
{
    if (scan_error == 0 || scan_error >= scan_error_table.size())
        return ox::EC_UNEXPECTED_ERROR;
    return static_cast<ox::ErrorCode>(scan_error_table[scan_error]);
}

ox::ScanError cf_to_scan_error(const boost::system::error_code& ec)
{
    static constexpr std::pair<int, ox::ScanError> by_condition[] = {
        {ENAMETOOLONG, ox::SE_NAME_TOO_LONG}, {ENOENT, ox::SE_FILE_NOT_FOUND}, {ENOTDIR, ox::SE_FILE_NOT_FOUND},
        {EACCES, ox::SE_NO_ACCESS},           {EPERM, ox::SE_NO_ACCESS},
    };
    for (const auto& [errno_value, result] : by_condition)
        if (ec == boost::system::error_condition(errno_value, boost::system::generic_category()))
            return result;
    static constexpr std::pair<ox::ErrorCode, ox::ScanError> by_code[] = {
        {ox::EC_NO_SUCH_ENTRY, ox::SE_FILE_NOT_FOUND},      {ox::EC_NOT_ABSOLUTE_PATH, ox::SE_PATH_NOT_ABSOLUTE},
        {ox::EC_NOT_A_DRIVE, ox::SE_FILE_NOT_BLOCK_DEVICE}, {ox::EC_NOT_A_REGULAR_FILE, ox::SE_FILE_NOT_REGULAR},
        {ox::EC_PERMISSION_DENIED, ox::SE_NO_ACCESS},
    };
    for (const auto& [code, result] : by_code)
        if (ec == ox::make_error_code(code))
            return result;
    return ox::SE_UNEXPECTED_ERROR;
}

ox::ScanError cf_to_scan_error(const std::exception& e)
{
    return cf_to_scan_error(cf_to_error_code(e));
}
