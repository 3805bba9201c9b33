// Applying the settings PilotD sends: what is refused, what is taken.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/system/error_code.hpp>

#include "app/core/config_holder.hpp"
#include "common/error_convert.hpp"
#include "common/exception.hpp"
#include "common/oxs_log.hpp"
#include "common/util_log.hpp"
#include "inventory_fixture.hpp"

namespace {

using config_change_t = std::function<void(ox::TRAXDConfig&)>;

struct refusal_t {
    const char* name;
    config_change_t change;
    // The Error record, or its beginning when prefix is set.
    std::string record;
    bool prefix;
};

class refused_settings_test : public test_inventory::fixture_t, public testing::WithParamInterface<refusal_t> {};

TEST_P(refused_settings_test, throws_bad_config_after_an_error_record)
{
    const auto& c = GetParam();
    auto config = settings();
    c.change(config);
    int changes = 0;
    inventory->config_holder->changed.connect([&] { ++changes; });
    try {
        inventory->config_holder->apply(config);
        FAIL() << "accepted";
    } catch (ox::ErrorCode code) {
        EXPECT_EQ(code, ox::EC_BAD_CONFIG);
    }
    EXPECT_EQ(changes, 0);
    ASSERT_FALSE(log->records.empty());
    const auto& last = log->records.back();
    EXPECT_EQ(last.level, cf_log_error);
    if (c.prefix)
        EXPECT_EQ(last.text.rfind(c.record, 0), 0u) << last.text;
    else
        EXPECT_EQ(last.text, c.record);
}

INSTANTIATE_TEST_SUITE_P(
    cases, refused_settings_test,
    testing::Values(
        refusal_t{"no_user", [](auto& c) { c.clear_run_as_user(); }, "getpwnam(\"\"): No such user", false},
        refusal_t{"unknown_user",
                  [](auto& c) {
                      c.mutable_run_as_user()->Clear();
                      c.mutable_run_as_user()->set_name("no-such-user-here");
                  },
                  "getpwnam(\"no-such-user-here\"): No such user", false},
        refusal_t{"no_templates_dir", [](auto& c) { c.clear_templates_dir(); }, "Bad TemplatesDir: \"\"", false},
        refusal_t{"relative_templates_dir", [](auto& c) { c.set_templates_dir("templates"); },
                  "Bad TemplatesDir: \"templates\"", false},
        refusal_t{"no_listen_address", [](auto& c) { c.clear_listen_address(); }, "Bad ListenAddress: ", true},
        refusal_t{"host_name_as_address", [](auto& c) { c.mutable_listen_address()->set_address("localhost"); },
                  "Bad ListenAddress: ", true},
        refusal_t{"port_above_65535", [](auto& c) { c.mutable_listen_address()->set_port(66880); },
                  "Bad ListenAddress: port 66880 is out of range", false},
        refusal_t{"first_port_too_large", [](auto& c) { c.mutable_listen_address()->set_port(65536); },
                  "Bad ListenAddress: port 65536 is out of range", false},
        refusal_t{"log_file_out_of_reach",
                  [](auto& c) {
                      c.mutable_actual_log()->set_type(ox::Log::FILE);
                      c.mutable_actual_log()->set_path("/nonexistent-dir/traxd.log");
                  },
                  "Cannot create log", true}),
    [](const auto& info) { return std::string(info.param.name); });

struct threshold_case_t {
    const char* name;
    std::optional<ox::LogLevel> level;
    int threshold;
    ox::oxs::log_t::level_t oxs_level;
};

class threshold_test : public test_inventory::fixture_t, public testing::WithParamInterface<threshold_case_t> {};

TEST_P(threshold_test, follows_the_log_level)
{
    const auto& c = GetParam();
    auto config = settings();
    if (c.level)
        config.set_log_level(*c.level);
    inventory->config_holder->apply(config);
    EXPECT_EQ(cf_log_threshold, c.threshold);
    EXPECT_EQ(ox::oxs::log_t::instance().level, c.oxs_level);
    EXPECT_EQ(ox::util::get_log_level(), c.threshold);
}

INSTANTIATE_TEST_SUITE_P(cases, threshold_test,
                         testing::Values(threshold_case_t{"absent_means_debug", std::nullopt, 0, ox::oxs::log_t::debug},
                                         threshold_case_t{"debug", ox::LOG_LEVEL_DEBUG, 0, ox::oxs::log_t::debug},
                                         threshold_case_t{"info", ox::LOG_LEVEL_INFO, 1, ox::oxs::log_t::warning},
                                         threshold_case_t{"notice", ox::LOG_LEVEL_NOTICE, 2, ox::oxs::log_t::warning},
                                         threshold_case_t{"warning", ox::LOG_LEVEL_WARNING, 3, ox::oxs::log_t::warning},
                                         threshold_case_t{"error", ox::LOG_LEVEL_ERROR, 4, ox::oxs::log_t::error}),
                         [](const auto& info) { return std::string(info.param.name); });

using config_holder_test = test_inventory::fixture_t;

TEST_F(config_holder_test, starts_empty_and_listening_nowhere)
{
    const auto& holder = *inventory->config_holder;
    EXPECT_EQ(holder.listen_endpoint, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::any(), 0));
    EXPECT_FALSE(holder.run_as_user);
    EXPECT_FALSE(holder.config.has_templates_dir());
}

TEST_F(config_holder_test, ipv6_any_address_is_taken)
{
    const unsigned port = test_pilotd::free_port();
    inventory->config_holder->apply(settings("::", port));
    EXPECT_EQ(inventory->config_holder->listen_endpoint,
              boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v6::any(), static_cast<unsigned short>(port)));
}

TEST_F(config_holder_test, every_apply_emits_changed_and_replaces_the_settings)
{
    int changes = 0;
    inventory->config_holder->changed.connect([&] { ++changes; });
    auto config = settings();
    inventory->config_holder->apply(config);
    config.set_use_204(true);
    inventory->config_holder->apply(config);
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(inventory->config_holder->config.use_204());
    ASSERT_TRUE(inventory->config_holder->run_as_user);
    EXPECT_EQ(inventory->config_holder->run_as_user->uid, ::getuid());
    EXPECT_FALSE(inventory->user_switched);
}

// A holder whose user lookups fail with `failure` once it is set, as the
// user database would: errno 0 for a name it does not hold, else the
// reason it could not be searched.
class user_lookup_fixture_t : public test_inventory::fixture_t {
protected:
    ic::config_holder_t::user_lookup_t failing_lookup()
    {
        return [this](const ox::LocalUser& setting) {
            if (!failure) {
                cf_local_user_t user;
                user.assign(setting);
                return user;
            }
            const std::string call = "getpwnam(\"" + setting.name() + "\")";
            if (*failure == 0)
                throw std::runtime_error(call + ": No such user");
            throw cf_exception_t(boost::system::error_code(*failure, boost::system::system_category()),
                                 call + ": " + std::strerror(*failure));
        };
    }

    static ox::TRAXDConfig named(const std::string& name)
    {
        auto config = settings();
        config.mutable_run_as_user()->Clear();
        config.mutable_run_as_user()->set_name(name);
        return config;
    }

    std::optional<int> failure;
    ic::config_holder_t holder{*inventory, failing_lookup()};
};

// The user database failing for want of resources says nothing about the
// setting: a reload keeps the user the daemon has and applies the rest; a
// name the database does not hold is still refused.
struct lookup_failure_t {
    const char* name;
    int error;
    bool keeps_user;
};

class user_lookup_failure_test : public user_lookup_fixture_t, public testing::WithParamInterface<lookup_failure_t> {};

TEST_P(user_lookup_failure_test, on_reload)
{
    const auto& c = GetParam();
    holder.apply(settings());
    const cf_local_user_t current = *holder.run_as_user;
    int changes = 0;
    holder.changed.connect([&] { ++changes; });
    failure = c.error;
    auto config = named("traxd");
    config.set_use_204(true);
    const std::string failed =
        "getpwnam(\"traxd\"): " + std::string(c.error != 0 ? std::strerror(c.error) : "No such user");

    if (c.keeps_user) {
        EXPECT_NO_THROW(holder.apply(config));
        EXPECT_EQ(changes, 1);
        EXPECT_TRUE(holder.config.use_204());
        ASSERT_TRUE(holder.run_as_user);
        EXPECT_EQ(holder.run_as_user->uid, current.uid);
        EXPECT_TRUE(logged(cf_log_error, failed + "; keeping run-as user " + current.to_string()));
    } else {
        try {
            holder.apply(config);
            ADD_FAILURE() << "accepted";
        } catch (ox::ErrorCode code) {
            EXPECT_EQ(code, ox::EC_BAD_CONFIG);
        }
        EXPECT_EQ(changes, 0);
        ASSERT_FALSE(log->records.empty());
        EXPECT_EQ(log->records.back().level, cf_log_error);
        EXPECT_EQ(log->records.back().text, failed);
    }
}

INSTANTIATE_TEST_SUITE_P(cases, user_lookup_failure_test,
                         testing::Values(lookup_failure_t{"out_of_descriptors", EMFILE, true},
                                         lookup_failure_t{"system_out_of_descriptors", ENFILE, true},
                                         lookup_failure_t{"out_of_memory", ENOMEM, true},
                                         lookup_failure_t{"io_error", EIO, true},
                                         lookup_failure_t{"no_such_user", 0, false},
                                         lookup_failure_t{"not_found_with_errno", ENOENT, false}),
                         [](const auto& info) { return std::string(info.param.name); });

using first_user_lookup_test = user_lookup_fixture_t;

// Before the first user there is none to keep, and going on as the
// start-up user would be worse than stopping: the failure ends the process
// with its own status, not as an invalid setting.
TEST_F(first_user_lookup_test, failing_for_want_of_resources_passes_through)
{
    const struct {
        int error;
        ox::ErrorCode status;
    } cases[] = {{EMFILE, ox::EC_UNEXPECTED_ERROR}, {ENOMEM, ox::EC_NO_MEMORY}};
    for (const auto& c : cases) {
        failure = c.error;
        ic::config_holder_t fresh(*inventory, failing_lookup());
        try {
            fresh.apply(named("traxd"));
            ADD_FAILURE() << "accepted with errno " << c.error;
        } catch (const cf_exception_t& e) {
            EXPECT_EQ(cf_to_proto_error(e), c.status) << c.error;
        }
        EXPECT_FALSE(fresh.run_as_user);
    }
}

} // namespace
