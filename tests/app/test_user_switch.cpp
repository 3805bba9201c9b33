// The switch to the run-as user, done for real in a child process (it needs
// root and cannot be undone).

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "app/core/need_restart.hpp"
#include "common/log_capture.hpp"
#include "pilotd_peer.hpp"

namespace {

// Child exit statuses.
constexpr int ok = 0;
constexpr int wrong_identity = 10;
constexpr int kept_foreign_group = 11;
constexpr int refused = 13;
constexpr int needs_restart = 14;

ox::TRAXDConfig settings_for(const std::function<void(ox::LocalUser&)>& user)
{
    auto config = test_pilotd::usable_config();
    config.mutable_run_as_user()->Clear();
    user(*config.mutable_run_as_user());
    return config;
}

// Applies the settings in a fresh application object; the status tells how
// that went, then check() may look at the process.
int apply_in_child(const std::vector<ox::TRAXDConfig>& steps, const std::function<int()>& check)
{
    test_pilotd::peer_t pilotd;
    ic::inventory_t inventory(pilotd.daemon_end());
    pilotd.release_daemon_end();
    for (const auto& step : steps) {
        try {
            inventory.config_holder->apply(step);
        } catch (ox::ErrorCode code) {
            return code == ox::EC_BAD_CONFIG ? refused : 99;
        } catch (const ic::need_restart_t&) {
            return needs_restart;
        }
    }
    return check();
}

class user_switch_test : public testing::Test {
protected:
    void SetUp() override
    {
        if (::getuid() != 0)
            GTEST_SKIP() << "switching users needs root";
    }

    static int run(
        const std::vector<ox::TRAXDConfig>& steps, const std::function<int()>& check = [] { return ok; })
    {
        const auto result = log_capture::run_in_child([&] {
            // Root's own supplementary group, as a daemon started from a
            // root shell has it; the switch must not carry it over.
            const gid_t root_group = 0;
            if (::setgroups(1, &root_group) != 0)
                std::_Exit(98);
            std::_Exit(apply_in_child(steps, check));
        });
        return result.exit_status;
    }
};

const passwd& nobody()
{
    static const passwd entry = *::getpwnam("nobody");
    return entry;
}

int is_nobody_without_root_groups()
{
    if (::getuid() != nobody().pw_uid || ::getgid() != nobody().pw_gid || ::geteuid() != nobody().pw_uid)
        return wrong_identity;
    std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
    ::getgroups(static_cast<int>(groups.size()), groups.data());
    for (const gid_t group : groups)
        if (group == 0)
            return kept_foreign_group;
    return ok;
}

TEST_F(user_switch_test, by_name_takes_the_users_ids_and_drops_roots_groups)
{
    EXPECT_EQ(
        run({settings_for([](auto& u) { u.set_name("nobody"); })}, [] { return is_nobody_without_root_groups(); }), ok);
}

TEST_F(user_switch_test, by_uid_looks_the_group_up)
{
    EXPECT_EQ(run({settings_for([](auto& u) { u.set_uid(nobody().pw_uid); })},
                  [] { return is_nobody_without_root_groups(); }),
              ok);
}

TEST_F(user_switch_test, same_user_again_changes_nothing)
{
    const auto config = settings_for([](auto& u) { u.set_name("nobody"); });
    EXPECT_EQ(run({config, config}, [] { return is_nobody_without_root_groups(); }), ok);
}

TEST_F(user_switch_test, another_user_after_the_switch_needs_a_restart)
{
    EXPECT_EQ(
        run({settings_for([](auto& u) { u.set_name("nobody"); }), settings_for([](auto& u) { u.set_name("daemon"); })}),
        needs_restart);
}

TEST_F(user_switch_test, uid_without_account_is_refused)
{
    EXPECT_EQ(run({settings_for([](auto& u) { u.set_uid(54321); })}), refused);
}

TEST_F(user_switch_test, current_user_does_not_count_as_a_switch)
{
    EXPECT_EQ(run({settings_for([](auto& u) { u.set_uid(0); }), settings_for([](auto& u) { u.set_name("nobody"); })},
                  [] { return is_nobody_without_root_groups(); }),
              ok);
}

} // namespace
