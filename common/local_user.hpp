#pragma once

// The run-as user resolved to numeric ids, and the hand-over of files the
// daemon creates before switching to that user (its log file) and keeps
// writing after.

#include <string>

#include <sys/types.h>

#include <boost/filesystem/path.hpp>

#include "schemas/local_user.pb.h"

class cf_local_user_t {
public:
    // From the setting: its uid when present (the group is then looked up
    // on first need), else getpwnam of its name. Throws std::runtime_error
    // "getpwnam("name"): No such user" when the name is unknown, and for a
    // uid that is not a valid user id (outside 0 to 4294967294), which is
    // never cut down to 32 bits. A lookup that fails with errno set (the
    // database could not be searched: out of descriptors or memory, an I/O
    // error) throws cf_exception_t "getpwnam("name"): <reason>" carrying
    // errno, so that a caller can tell a passing failure from a setting
    // that names nobody.
    void assign(const ox::LocalUser& user);

    // The primary group id, looked up with getpwuid once and kept. Throws
    // std::runtime_error "getpwuid(<uid>): No user with such uid", or
    // cf_exception_t with errno as assign does.
    gid_t gid() const;

    // "uid" or "uid:gid" when the group is known; looks nothing up.
    std::string to_string() const;

    uid_t uid = 0;
    // The group id is a cache filled by gid().
    mutable bool gid_known = false;
    mutable gid_t gid_value = 0;
};

// Creates the file with the mode when it does not exist and gives it to the
// user; an existing file is left alone, whoever owns it. Throws
// boost::filesystem::filesystem_error "open" when the file cannot be
// created. A refused fchown only leaves a Debug record.
void cf_create_owned_file(const cf_local_user_t& user, const boost::filesystem::path& path, mode_t mode);

// chown of the path to the user; throws boost::filesystem::filesystem_error
// "chown" on failure.
void cf_chown_to_user(const cf_local_user_t& user, const boost::filesystem::path& path);

// Gives a directory and every directory and regular file below it to the
// user; symbolic links are neither followed nor changed.
void take_ownership(const cf_local_user_t& user, const boost::filesystem::path& dir);

// A path as it is written in log texts: in double quotes, with '"' and '&'
// preceded by '&'.
std::string cf_quoted_path(const boost::filesystem::path& path);
