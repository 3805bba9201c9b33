#include "app/exe_info.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <openssl/evp.h>

#include "common/error_category.hpp"
#include "common/error_convert.hpp"
#include "common/exception.hpp"
#include "common/what.hpp"

namespace {

[[noreturn]] void throw_errno(const char* what)
{
    throw boost::system::system_error(errno, boost::system::system_category(), what);
}

// Closes the descriptor when the digest is done or has failed.
struct file_closer_t {
    int fd;
    ~file_closer_t() { ::close(fd); }
};

struct digest_deleter_t {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string md5_of_open_file(int fd)
{
    const std::unique_ptr<EVP_MD_CTX, digest_deleter_t> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 is not available");
    char block[8192];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("read");
        }
        if (n == 0)
            break;
        EVP_DigestUpdate(context.get(), block, static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context.get(), digest, &size);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

// The user name of `uid`, or the uid in decimal when it has none.
std::string owner_name(uid_t uid)
{
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

} // namespace

std::string cf_file_md5(const std::string& path)
{
    try {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw_errno("open");
        const file_closer_t closer{fd};
        return md5_of_open_file(fd);
    } catch (const std::exception& e) {
        std::ostringstream text;
        text << "MD5: " << cf_what(e) << ": " << boost::filesystem::path(path);
        throw cf_proto_exception_t(cf_to_proto_error(e), text.str());
    }
}

ox::AppExeInfo cf_exe_info(const char* version, const boost::filesystem::path& exe)
{
    const boost::filesystem::path path = boost::filesystem::canonical(exe);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        throw boost::filesystem::filesystem_error("stat", path,
                                                  boost::system::error_code(errno, boost::system::system_category()));
    if (!S_ISREG(status.st_mode))
        throw boost::system::system_error(ox::make_error_code(ox::EC_NOT_A_REGULAR_FILE));

    ox::AppExeInfo info;
    info.set_version(version);
    info.set_install_time(static_cast<std::uint64_t>(status.st_ctime));
    info.set_modification_time(static_cast<std::uint64_t>(status.st_mtime));
    info.set_exe_size(static_cast<std::uint64_t>(status.st_size));
    info.set_exe_md5(cf_file_md5(path.string()));
    info.set_exe_owner(owner_name(status.st_uid));
    return info;
}

ox::AppExeInfo cf_build_exe_info(const char* version, int argc, char* argv[])
{
    if (argc <= 0)
        throw std::runtime_error("Unknown exe path");
    return cf_exe_info(version, argv[0]);
}
