#pragma once

// Facts about the program's own executable file, for the hidden
// "dump-app-info" option: version, change and modification times, size, MD5
// digest and owner.

#include <string>

#include <boost/filesystem/path.hpp>

#include "schemas/application.pb.h"

// The information of the file argv[0] names; throws std::runtime_error
// "Unknown exe path" when there is no argv[0].
ox::AppExeInfo cf_build_exe_info(const char* version, int argc, char* argv[]);

// The information of `exe`, resolved against the current directory. Throws
// the filesystem library's error when it names no file, and
// EC_NOT_A_REGULAR_FILE when it names something else.
ox::AppExeInfo cf_exe_info(const char* version, const boost::filesystem::path& exe);

// The 16 raw bytes of the MD5 digest of the file's contents. A file that
// cannot be opened or read throws cf_proto_exception_t "MD5: ...".
std::string cf_file_md5(const std::string& path);
