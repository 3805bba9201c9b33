#pragma once

// The common ground of the end-to-end scenarios: the real daemon under the
// stand-in PilotD, with settings it can apply, listening on a free port of
// 127.0.0.1.

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "standins/icap_client.hpp"
#include "standins/pilotd_standin.hpp"

namespace e2e {

using namespace std::chrono_literals;
using tag_t = ox::TRAXD2PilotdMessage;

inline std::string current_user_name()
{
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr ? entry->pw_name : std::string();
}

// Settings the daemon can apply: the current user (so no switch happens),
// the console log at the debug level, an existing absolute templates
// directory, a hook that lets everything pass and the given listen port on
// 127.0.0.1.
inline ox::TRAXDConfig usable_settings(unsigned port, const std::string& templates_dir)
{
    ox::TRAXDConfig settings;
    settings.set_log_level(ox::LOG_LEVEL_DEBUG);
    settings.mutable_actual_log()->set_type(ox::Log::STDERR);
    settings.mutable_run_as_user()->set_name(current_user_name());
    settings.set_templates_dir(templates_dir);
    settings.mutable_listen_address()->set_address("127.0.0.1");
    settings.mutable_listen_address()->set_port(port);
    settings.mutable_message_hook()->set_buffer("function message_hook(t) return \"pass\" end");
    return settings;
}

// A table's case prints as its name when a test of it fails.
template <class Case>
requires requires(const Case& c)
{
    std::string(c.name);
}
void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

// One OPTIONS query on a connection of its own: the answer head, or
// nothing when nobody listens or no answer comes.
inline std::optional<standin::icap_head_t> ask_options(unsigned port, const std::string& path = "/respmod")
{
    try {
        standin::icap_client_t client(port);
        return client.ask(standin::options_query(port, path));
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

// How the tests start the daemon unless they say otherwise.
inline standin::launch_options_t daemon_options()
{
    standin::launch_options_t options;
    options.binary = TRAXD_BINARY;
    return options;
}

class daemon_test_t : public ::testing::Test {
protected:
    daemon_test_t()
    {
        char name[] = "/tmp/traxd-e2e-XXXXXX";
        if (::mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp");
        templates_dir = name;
        settings = usable_settings(port, templates_dir);
    }

    ~daemon_test_t() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(templates_dir, ignored);
    }

    void TearDown() override
    {
        if (HasFailure())
            std::cerr << "--- the daemon's standard error ---\n" << pilotd.stderr_text() << "---\n";
    }

    // Starts the daemon with `settings` as the scenario; does not wait.
    void start(const standin::launch_options_t& options = daemon_options())
    {
        pilotd.set_config(settings, revision);
        pilotd.start(options);
    }

    // Starts the daemon and waits until it has applied the settings, so
    // that it listens. Returns whether it did.
    bool start_configured(const standin::launch_options_t& options = daemon_options())
    {
        start(options);
        return pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, 0, 20s).has_value();
    }

    // Stops the daemon with SIGTERM and returns its status.
    std::optional<int> stop()
    {
        pilotd.signal(SIGTERM);
        return pilotd.wait_exit();
    }

    standin::pilotd_standin_t pilotd;
    unsigned port = standin::free_port();
    std::string templates_dir;
    ox::TRAXDConfig settings;
    std::uint32_t revision = 7;
};

} // namespace e2e
