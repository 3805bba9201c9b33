// The policy script comes with the settings: one the Lua runtime can use is
// loaded, and loaded again with every settings answer; one it cannot use
// ends the daemon with 102 after the Error line "Lua: " and the reason.

#include <fstream>

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

struct hook_case_t {
    const char* name;
    std::function<void(ox::TRAXDConfig&, const std::string& directory)> spoil;
    std::string record;
};

class hook_refused_test_t : public daemon_test_t, public ::testing::WithParamInterface<hook_case_t> {};

TEST_P(hook_refused_test_t, ends_with_102_and_the_reason)
{
    GetParam().spoil(settings, templates_dir);
    start();
    EXPECT_EQ(pilotd.wait_exit(), ox::EC_BAD_CONFIG);
    const std::string err = pilotd.stderr_text();
    EXPECT_NE(err.find("Error: Lua: " + GetParam().record), std::string::npos) << err;
    EXPECT_NE(err.find("Notice: Exit with status 102 (Invalid configuration)\n"), std::string::npos) << err;
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

INSTANTIATE_TEST_SUITE_P(
    settings, hook_refused_test_t,
    ::testing::Values(
        hook_case_t{"syntax_error",
                    [](auto& s, auto&) { s.mutable_message_hook()->set_buffer("x = 1\ny = 2\nz = = 3\n"); },
                    "[string \"x = 1...\"]:3: "},
        hook_case_t{"no_message_hook", [](auto& s, auto&) { s.mutable_message_hook()->set_buffer("x = 1"); },
                    "Cannot find function 'message_hook'\n"},
        hook_case_t{"no_chunk", [](auto& s, auto&) { s.clear_message_hook(); }, "No chunk set\n"},
        hook_case_t{"file_that_fails",
                    [](auto& s, const std::string& directory) {
                        write_file(directory + "/hook.lua", "error('refused here', 0)\n");
                        s.mutable_message_hook()->set_file(directory + "/hook.lua");
                    },
                    "refused here\n"},
        hook_case_t{"missing_file",
                    [](auto& s, const std::string& directory) {
                        s.mutable_message_hook()->set_file(directory + "/missing.lua");
                    },
                    "cannot open "}),
    [](const auto& info) { return std::string(info.param.name); });

class hook_settings_test_t : public daemon_test_t {};

TEST_F(hook_settings_test_t, script_from_a_file_is_loaded_and_reloaded)
{
    const std::string path = templates_dir + "/hook.lua";
    write_file(path, "require('orvex').notice('hook loaded')\n"
                     "function message_hook(t) return 'pass' end\n");
    settings.mutable_message_hook()->set_file(path);
    ASSERT_TRUE(start_configured());
    EXPECT_TRUE(pilotd.wait_for_stderr("Notice: Lua: hook loaded\n")) << pilotd.stderr_text();
    EXPECT_TRUE(pilotd.wait_for_stderr("Debug: lua_t::config_changed\n")) << pilotd.stderr_text();

    write_file(path, "require('orvex').notice('hook reloaded')\n"
                     "function message_hook(t) return 'block' end\n");
    const std::size_t from = pilotd.frame_count();
    pilotd.send_config(settings, revision + 1);
    ASSERT_TRUE(pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from).has_value());
    EXPECT_TRUE(pilotd.wait_for_stderr("Notice: Lua: hook reloaded\n")) << pilotd.stderr_text();
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

} // namespace
} // namespace e2e
