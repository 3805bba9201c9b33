// The executable information dump: its fields, its failures and its JSON.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "app/exe_info.hpp"
#include "app/print_json.hpp"
#include "common/error_category.hpp"
#include "common/exception.hpp"

namespace {

namespace fs = boost::filesystem;

// A fresh directory with one file "exe" holding "abc", removed afterwards.
class exe_info_test : public testing::Test {
protected:
    exe_info_test()
    {
        fs::create_directories(dir);
        std::ofstream(exe.string()) << "abc";
    }
    ~exe_info_test() override
    {
        fs::current_path(start);
        fs::remove_all(dir);
    }

    const fs::path start = fs::current_path();
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("traxd-exe-%%%%-%%%%");
    const fs::path exe = dir / "exe";
};

const std::string md5_of_abc = "\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72";

TEST_F(exe_info_test, fills_every_field_from_the_file)
{
    struct stat status {};
    ASSERT_EQ(::stat(exe.c_str(), &status), 0);
    // Relative to the current directory, through a link: the file itself.
    fs::create_symlink(exe, dir / "link");
    fs::current_path(dir);
    const ox::AppExeInfo info = cf_exe_info("1.2.3", "link");
    EXPECT_EQ(info.version(), "1.2.3");
    EXPECT_EQ(info.exe_size(), 3u);
    EXPECT_EQ(info.install_time(), static_cast<std::uint64_t>(status.st_ctime));
    EXPECT_EQ(info.modification_time(), static_cast<std::uint64_t>(status.st_mtime));
    EXPECT_EQ(info.exe_md5(), md5_of_abc);
    EXPECT_FALSE(info.exe_owner().empty());
}

TEST_F(exe_info_test, an_owner_without_a_name_is_its_uid)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "giving a file away needs root";
    ASSERT_EQ(::chown(exe.c_str(), 54321, 54321), 0);
    EXPECT_EQ(cf_exe_info("v", exe).exe_owner(), "54321");
}

TEST_F(exe_info_test, failures)
{
    // No argv[0].
    char* no_arguments[] = {nullptr};
    try {
        cf_build_exe_info("v", 0, no_arguments);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unknown exe path");
    }
    // A bare program name, started through the search path from a directory
    // that does not hold it.
    fs::current_path(dir);
    char bare[] = "orvex-traxd";
    char* bare_arguments[] = {bare, nullptr};
    EXPECT_THROW(cf_build_exe_info("v", 1, bare_arguments), fs::filesystem_error);
    // A directory is no executable.
    try {
        cf_exe_info("v", dir);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), ox::make_error_code(ox::EC_NOT_A_REGULAR_FILE));
    }
}

TEST_F(exe_info_test, digest_failures_name_the_file)
{
    EXPECT_EQ(cf_file_md5(exe.string()), md5_of_abc);
    const struct {
        const char* name;
        std::string path;
        std::string text;
    } cases[] = {
        {"missing", (dir / "none").string(),
         "MD5: open: No such file or directory [system:2]: \"" + (dir / "none").string() + "\""},
        {"directory", dir.string(), "MD5: read: Is a directory [system:21]: \"" + dir.string() + "\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            cf_file_md5(c.path);
            ADD_FAILURE() << "no exception";
        } catch (const cf_proto_exception_t& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }
}

TEST(print_json, default_printing_and_the_empty_message)
{
    ox::AppExeInfo info;
    info.set_version("11.1");
    info.set_install_time(7);
    info.set_exe_md5("\x01\x02");
    info.set_exe_owner("root");
    std::ostringstream out;
    cf_print_json(out, info);
    EXPECT_EQ(out.str(), R"({"version":"11.1","installTime":"7","exeMd5":"AQI=","exeOwner":"cm9vdA=="})");
    std::ostringstream empty;
    cf_print_json(empty, ox::AppExeInfo());
    EXPECT_EQ(empty.str(), "{}");
}

} // namespace
