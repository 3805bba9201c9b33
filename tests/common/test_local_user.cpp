// The run-as user record and the hand-over of files to it. The tests run as
// the superuser and give files to the system users "nobody" and "daemon".

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <optional>
#include <vector>

#include <boost/filesystem.hpp>

#include "common/exception.hpp"
#include "common/local_user.hpp"
#include "common/log_factory.hpp"
#include "tests/common/log_capture.hpp"

namespace {

namespace fs = boost::filesystem;
using log_capture::record_t;
using log_capture::recording_log_t;

struct account_t {
    uid_t uid;
    gid_t gid;
};

account_t account(const char* name)
{
    const passwd* entry = getpwnam(name);
    if (entry == nullptr)
        throw std::runtime_error(std::string("no user ") + name);
    return {entry->pw_uid, entry->pw_gid};
}

// An id that the user database does not know.
uid_t unknown_uid()
{
    for (uid_t candidate = 4000000000u;; ++candidate)
        if (getpwuid(candidate) == nullptr)
            return candidate;
}

ox::LocalUser setting(std::optional<std::string> name, std::optional<std::int64_t> uid)
{
    ox::LocalUser user;
    if (name)
        user.set_name(*name);
    if (uid)
        user.set_uid(*uid);
    return user;
}

cf_local_user_t user_named(const char* name)
{
    cf_local_user_t user;
    user.assign(setting(name, std::nullopt));
    return user;
}

struct stat attributes_of(const fs::path& path)
{
    struct stat attributes {};
    if (::lstat(path.c_str(), &attributes) != 0)
        throw std::runtime_error("lstat " + path.string());
    return attributes;
}

std::string error_text(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST(local_user, uid_is_taken_without_lookup)
{
    cf_local_user_t user;
    user.assign(setting("no-such-user-at-all", 1000));
    EXPECT_EQ(user.uid, 1000u);
    EXPECT_FALSE(user.gid_known);
    EXPECT_EQ(user.to_string(), "1000");
}

TEST(local_user, name_gives_both_ids)
{
    for (const char* name : {"daemon", "nobody", "root"}) {
        const auto expected = account(name);
        const auto user = user_named(name);
        EXPECT_EQ(user.uid, expected.uid) << name;
        EXPECT_TRUE(user.gid_known) << name;
        EXPECT_EQ(user.gid(), expected.gid) << name;
        EXPECT_EQ(user.to_string(), std::to_string(expected.uid) + ":" + std::to_string(expected.gid)) << name;
    }
}

TEST(local_user, gid_is_looked_up_once_on_first_need)
{
    const auto nobody = account("nobody");
    cf_local_user_t user;
    user.assign(setting(std::nullopt, nobody.uid));
    EXPECT_EQ(user.to_string(), std::to_string(nobody.uid));
    EXPECT_EQ(user.gid(), nobody.gid);
    EXPECT_TRUE(user.gid_known);
    EXPECT_EQ(user.to_string(), std::to_string(nobody.uid) + ":" + std::to_string(nobody.gid));
    // A new assignment forgets the group.
    user.assign(setting(std::nullopt, 0));
    EXPECT_FALSE(user.gid_known);
    EXPECT_EQ(user.to_string(), "0");
}

TEST(local_user, lookup_failures)
{
    const uid_t unknown = unknown_uid();
    const struct {
        ox::LocalUser setting;
        std::string text;
    } cases[] = {
        {setting("no-such-user-at-all", std::nullopt), "getpwnam(\"no-such-user-at-all\"): No such user"},
        {setting(std::nullopt, std::nullopt), "getpwnam(\"\"): No such user"},
        {setting("", std::nullopt), "getpwnam(\"\"): No such user"},
    };
    for (const auto& c : cases) {
        cf_local_user_t user;
        user.uid = 77;
        EXPECT_EQ(error_text([&] { user.assign(c.setting); }), c.text);
        EXPECT_EQ(user.uid, 77u);
        EXPECT_FALSE(user.gid_known);
    }

    cf_local_user_t user;
    user.assign(setting(std::nullopt, unknown));
    EXPECT_EQ(error_text([&] { user.gid(); }), "getpwuid(" + std::to_string(unknown) + "): No user with such uid");
    EXPECT_FALSE(user.gid_known);
}

// With every descriptor in use the user database cannot be searched: the
// failure carries errno, so that the settings holder can tell it from a
// name the database does not hold. A lookup of an unknown name first loads
// every module of the database; those after the password file then answer
// "not found" instead. "daemon" is a user of the password file that no
// later module makes up.
TEST(local_user, lookup_out_of_descriptors_carries_errno)
{
    const auto expected = account("daemon");
    ASSERT_EQ(getpwnam("no-such-user-at-all"), nullptr);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> taken;
    for (int fd = ::dup(2); fd >= 0; fd = ::dup(2))
        taken.push_back(fd);
    const int dup_error = errno;

    const auto failure = [](const std::function<void()>& f) -> std::optional<cf_exception_t> {
        try {
            f();
        } catch (const cf_exception_t& e) {
            return e;
        } catch (const std::exception&) {
        }
        return std::nullopt;
    };
    cf_local_user_t named;
    const auto by_name = failure([&] { named.assign(setting("daemon", std::nullopt)); });
    cf_local_user_t by_uid;
    by_uid.assign(setting(std::nullopt, expected.uid));
    const auto group = failure([&] { by_uid.gid(); });

    for (int fd : taken)
        ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    const boost::system::error_code out_of_descriptors(EMFILE, boost::system::system_category());
    ASSERT_EQ(dup_error, EMFILE);
    ASSERT_TRUE(by_name.has_value());
    EXPECT_EQ(by_name->code(), out_of_descriptors);
    EXPECT_STREQ(by_name->what(), "getpwnam(\"daemon\"): Too many open files");
    ASSERT_TRUE(group.has_value());
    EXPECT_EQ(group->code(), out_of_descriptors);
    EXPECT_STREQ(group->what(), ("getpwuid(" + std::to_string(expected.uid) + "): Too many open files").c_str());
    EXPECT_FALSE(by_uid.gid_known);
}

// A uid that does not fit the 32-bit user ids must not wrap around: cut to
// 32 bits, 4294967296 would be the superuser. 4294967295 is the "no change"
// value of chown and names nobody either.
TEST(local_user, uid_out_of_range_is_refused)
{
    const struct {
        std::int64_t uid;
        bool accepted;
    } cases[] = {
        {0, true},   {4294967294, true}, {4294967295, false}, {4294967296, false}, {4294967296 + 1000, false},
        {-1, false}, {INT64_MIN, false}, {INT64_MAX, false},
    };
    for (const auto& c : cases) {
        cf_local_user_t user;
        user.uid = 77;
        if (c.accepted) {
            EXPECT_NO_THROW(user.assign(setting(std::nullopt, c.uid))) << c.uid;
            EXPECT_EQ(user.uid, static_cast<uid_t>(c.uid));
        } else {
            EXPECT_EQ(error_text([&] { user.assign(setting("root", c.uid)); }),
                      "Invalid user id " + std::to_string(c.uid));
            EXPECT_EQ(user.uid, 77u) << c.uid;
        }
    }
}

class owned_files : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "giving files away needs the superuser";
        saved_umask = ::umask(022);
        recorder = std::make_shared<recording_log_t>();
        cf_set_log(recorder);
        cf_log_threshold = 0;
        dir = fs::temp_directory_path() / fs::unique_path("owned-%%%%-%%%%");
        fs::create_directory(dir);
        nobody = user_named("nobody");
    }
    void TearDown() override
    {
        if (geteuid() != 0)
            return;
        ::umask(saved_umask);
        cf_log_threshold = 0;
        fs::remove_all(dir);
    }

    mode_t saved_umask = 0;
    std::shared_ptr<recording_log_t> recorder;
    fs::path dir;
    cf_local_user_t nobody;
};

TEST_F(owned_files, new_file_gets_mode_and_owner)
{
    const auto expected = account("nobody");
    for (const mode_t mode : {mode_t(0600), mode_t(0640)}) {
        const auto path = dir / ("log-" + std::to_string(mode));
        cf_create_owned_file(nobody, path, mode);
        const auto attributes = attributes_of(path);
        EXPECT_TRUE(S_ISREG(attributes.st_mode));
        EXPECT_EQ(attributes.st_mode & 07777, mode);
        EXPECT_EQ(attributes.st_uid, expected.uid);
        EXPECT_EQ(attributes.st_gid, expected.gid);
    }
    EXPECT_TRUE(recorder->records.empty());
}

TEST_F(owned_files, group_is_looked_up_for_a_numeric_user)
{
    const auto expected = account("daemon");
    cf_local_user_t user;
    user.assign(setting(std::nullopt, expected.uid));
    cf_create_owned_file(user, dir / "f", 0600);
    EXPECT_EQ(attributes_of(dir / "f").st_gid, expected.gid);

    cf_local_user_t unknown;
    unknown.assign(setting(std::nullopt, unknown_uid()));
    EXPECT_THAT(error_text([&] { cf_create_owned_file(unknown, dir / "g", 0600); }), testing::StartsWith("getpwuid("));
}

TEST_F(owned_files, existing_file_is_left_alone)
{
    const auto path = dir / "existing";
    std::ofstream(path.string()) << "content";
    ::chmod(path.c_str(), 0644);
    cf_create_owned_file(nobody, path, 0600);
    const auto attributes = attributes_of(path);
    EXPECT_EQ(attributes.st_uid, 0u);
    EXPECT_EQ(attributes.st_mode & 07777, 0644u);
    EXPECT_EQ(attributes.st_size, 7);
}

TEST_F(owned_files, file_in_a_missing_directory_throws_open)
{
    const auto path = dir / "missing" / "log";
    try {
        cf_create_owned_file(nobody, path, 0600);
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(e.path1(), path);
        EXPECT_THAT(e.what(), testing::StartsWith("open"));
    }
}

// Without the right to give the file away, the file stays with its creator
// and the failure is only a Debug record.
TEST_F(owned_files, refused_fchown_is_a_debug_record)
{
    fs::permissions(dir, fs::perms(0777));
    const auto path = dir / "a&b\"c";
    const auto daemon = account("daemon");
    const auto result = log_capture::run_in_child([&] {
        cf_local_user_t to_daemon;
        to_daemon.assign(setting(std::nullopt, daemon.uid));
        to_daemon.gid();
        const auto nobody_account = account("nobody");
        if (::setgid(nobody_account.gid) != 0 || ::setuid(nobody_account.uid) != 0)
            throw std::runtime_error("cannot become nobody");
        cf_set_log(cf_make_default_log());
        cf_create_owned_file(to_daemon, path, 0600);
        cf_log_threshold = 1;
        cf_create_owned_file(to_daemon, dir / "quiet", 0600);
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.error_output, "Debug: fchown: Operation not permitted: \"" + dir.string() + "/a&&b&\"c\"\n");
    EXPECT_EQ(attributes_of(path).st_uid, account("nobody").uid);
}

TEST_F(owned_files, chown_to_user)
{
    const auto path = dir / "file";
    std::ofstream(path.string()) << "x";
    cf_chown_to_user(nobody, path);
    EXPECT_EQ(attributes_of(path).st_uid, account("nobody").uid);
    EXPECT_EQ(recorder->records, (std::vector<record_t>{{0, "Ownership taken: \"" + path.string() + "\""}}));

    cf_log_threshold = 1;
    recorder->records.clear();
    cf_chown_to_user(nobody, path);
    EXPECT_TRUE(recorder->records.empty());

    try {
        cf_chown_to_user(nobody, dir / "missing");
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_THAT(e.what(), testing::StartsWith("chown"));
    }
}

TEST_F(owned_files, take_ownership_of_a_tree)
{
    const auto root = dir / "tree";
    fs::create_directories(root / "sub" / "deeper");
    std::ofstream((root / "file").string()) << "x";
    std::ofstream((root / "sub" / "deeper" / "file").string()) << "x";
    const auto outside = dir / "outside";
    std::ofstream(outside.string()) << "x";
    fs::create_symlink(outside, root / "link");
    fs::create_directory_symlink(dir, root / "dirlink");
    ::mkfifo((root / "fifo").c_str(), 0600);

    take_ownership(nobody, root);

    const auto expected = account("nobody");
    for (const auto& path :
         {root, root / "file", root / "sub", root / "sub" / "deeper", root / "sub" / "deeper" / "file"}) {
        const auto attributes = attributes_of(path);
        EXPECT_EQ(attributes.st_uid, expected.uid) << path;
        EXPECT_EQ(attributes.st_gid, expected.gid) << path;
    }
    for (const auto& path : {root / "link", root / "dirlink", root / "fifo", outside, dir})
        EXPECT_EQ(attributes_of(path).st_uid, 0u) << path;

    // A second walk finds nothing foreign and changes nothing.
    recorder->records.clear();
    take_ownership(nobody, root);
    EXPECT_TRUE(recorder->records.empty());
}

TEST_F(owned_files, take_ownership_needs_an_existing_directory)
{
    const auto file = dir / "file";
    std::ofstream(file.string()) << "x";
    const struct {
        fs::path path;
        std::string operation;
        std::string reason;
    } cases[] = {
        {file, "take_ownership", "Not a directory"},
        {dir / "missing", "lstat", "No such file or directory"},
    };
    for (const auto& c : cases) {
        try {
            take_ownership(nobody, c.path);
            ADD_FAILURE() << "no exception for " << c.path;
        } catch (const fs::filesystem_error& e) {
            EXPECT_THAT(e.what(), testing::StartsWith(c.operation)) << c.path;
            EXPECT_THAT(e.what(), testing::HasSubstr(c.reason)) << c.path;
        }
    }
    EXPECT_EQ(attributes_of(file).st_uid, 0u);
}

TEST(quoted_path, escapes_quote_and_ampersand)
{
    EXPECT_EQ(cf_quoted_path("/var/log/traxd.log"), "\"/var/log/traxd.log\"");
    EXPECT_EQ(cf_quoted_path("a\"b&c"), "\"a&\"b&&c\"");
    EXPECT_EQ(cf_quoted_path(""), "\"\"");
}

} // namespace
