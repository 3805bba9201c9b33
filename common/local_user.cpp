#include "common/local_user.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>

#include "common/error_category.hpp"
#include "common/exception.hpp"
#include "common/log.hpp"

namespace {

// (uid_t)-1 means "leave unchanged" to chown, so it names no user.
constexpr std::int64_t max_uid = 4294967294;

boost::system::error_code system_error_code(int error)
{
    return boost::system::error_code(error, boost::system::system_category());
}

// Why a lookup found nothing: errno when the database could not be
// searched, 0 when it holds no such entry. glibc clears errno when the last
// module of the user database says "not found", and a module after the
// password file (systemd's) says so when it cannot reach its service, as
// when the process is out of descriptors; so a "not found" while no
// descriptor can be opened is taken as the failure it is.
int lookup_error(int error)
{
    if (error != 0)
        return error;
    const int probe = ::eventfd(0, EFD_CLOEXEC);
    if (probe < 0)
        return errno;
    ::close(probe);
    return 0;
}

[[noreturn]] void throw_lookup_failure(int error, const std::string& call, const char* no_entry)
{
    error = lookup_error(error);
    if (error != 0)
        throw cf_exception_t(system_error_code(error), call + ": " + std::strerror(error));
    throw std::runtime_error(call + ": " + no_entry);
}

struct stat lstat_or_throw(const boost::filesystem::path& path)
{
    struct stat attributes {};
    if (::lstat(path.c_str(), &attributes) != 0)
        throw boost::filesystem::filesystem_error("lstat", path, system_error_code(errno));
    return attributes;
}

void hand_over_if_foreign(const cf_local_user_t& user, const boost::filesystem::path& path,
                          const struct stat& attributes)
{
    if (!S_ISDIR(attributes.st_mode) && !S_ISREG(attributes.st_mode))
        return;
    if (attributes.st_uid != user.uid || attributes.st_gid != user.gid())
        cf_chown_to_user(user, path);
}

class descriptor_t {
public:
    explicit descriptor_t(int fd) : fd_(fd) {}
    ~descriptor_t() { ::close(fd_); }
    descriptor_t(const descriptor_t&) = delete;
    descriptor_t& operator=(const descriptor_t&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

void cf_local_user_t::assign(const ox::LocalUser& user)
{
    gid_known = false;
    if (user.has_uid()) {
        const std::int64_t id = user.uid();
        if (id < 0 || id > max_uid)
            throw std::runtime_error("Invalid user id " + std::to_string(id));
        uid = static_cast<uid_t>(id);
        return;
    }
    errno = 0;
    const passwd* entry = ::getpwnam(user.name().c_str());
    if (entry == nullptr)
        throw_lookup_failure(errno, "getpwnam(\"" + user.name() + "\")", "No such user");
    uid = entry->pw_uid;
    gid_value = entry->pw_gid;
    gid_known = true;
}

gid_t cf_local_user_t::gid() const
{
    if (gid_known)
        return gid_value;
    errno = 0;
    const passwd* entry = ::getpwuid(uid);
    if (entry == nullptr)
        throw_lookup_failure(errno, "getpwuid(" + std::to_string(uid) + ")", "No user with such uid");
    gid_value = entry->pw_gid;
    gid_known = true;
    return gid_value;
}

std::string cf_local_user_t::to_string() const
{
    std::string text = std::to_string(uid);
    if (gid_known)
        text += ":" + std::to_string(gid_value);
    return text;
}

void cf_create_owned_file(const cf_local_user_t& user, const boost::filesystem::path& path, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0) {
        if (errno == EEXIST)
            return;
        throw boost::filesystem::filesystem_error("open", path, system_error_code(errno));
    }
    const descriptor_t file(fd);
    if (::fchown(file.get(), user.uid, user.gid()) != 0) {
        const int error = errno;
        if (cf_log_threshold <= cf_log_debug)
            cf_log(cf_log_debug, std::string("fchown: ") + std::strerror(error) + ": " + cf_quoted_path(path));
    }
}

void cf_chown_to_user(const cf_local_user_t& user, const boost::filesystem::path& path)
{
    if (::chown(path.c_str(), user.uid, user.gid()) != 0)
        throw boost::filesystem::filesystem_error("chown", path, system_error_code(errno));
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "Ownership taken: " + cf_quoted_path(path));
}

void take_ownership(const cf_local_user_t& user, const boost::filesystem::path& dir)
{
    const struct stat attributes = lstat_or_throw(dir);
    if (!S_ISDIR(attributes.st_mode))
        throw boost::filesystem::filesystem_error("take_ownership", dir, ox::make_error_code(ox::EC_NOT_A_DIRECTORY));
    for (boost::filesystem::recursive_directory_iterator it(dir), end; it != end; ++it)
        hand_over_if_foreign(user, it->path(), lstat_or_throw(it->path()));
    hand_over_if_foreign(user, dir, attributes);
}

std::string cf_quoted_path(const boost::filesystem::path& path)
{
    std::ostringstream text;
    text << path;
    return text.str();
}
