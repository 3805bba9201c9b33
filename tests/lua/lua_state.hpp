#pragma once

// Test ground for the Lua support library: an interpreter prepared as the
// runtime host prepares it (without the daemon's modules), a coroutine that
// records what happens to it, and a host operation whose completions the
// test runs when it likes.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include <lua.hpp>

#include "lua/config_module.hpp"
#include "lua/coroutine.hpp"
#include "lua/coroutine_make.hpp"
#include "lua/library.hpp"
#include "lua/orvex_module.hpp"
#include "lua/regex_module.hpp"
#include "lua/value_readers.hpp"

namespace lua_test {

// Completions of the test host operation, run by the test.
inline std::vector<std::function<void()>>& pending()
{
    static std::vector<std::function<void()>> queue;
    return queue;
}

// Runs the completions queued so far (and those they queue); their count.
inline std::size_t run_pending()
{
    std::size_t count = 0;
    while (!pending().empty()) {
        auto queue = std::move(pending());
        pending().clear();
        for (auto& completion : queue) {
            completion();
            ++count;
        }
    }
    return count;
}

inline int host_wait_continuation(lua_State*, int, lua_KContext)
{
    return 1;
}

// host_wait(): suspends the running coroutine; its completion makes it
// return "woken".
inline int host_wait(lua_State* L)
{
    ox::lua::coroutine_t* coroutine = ox::lua::current_coroutine(L);
    pending().push_back(coroutine->wrap([L, coroutine] {
        lua_pushstring(L, "woken");
        coroutine->resume(0);
    }));
    return ox::lua::yield(L, 0, host_wait_continuation);
}

// A coroutine that records its events and outcome.
class recording_coroutine_t : public ox::lua::coroutine_t {
public:
    using coroutine_t::coroutine_t;

    std::vector<std::string> events;
    std::vector<std::string> results;
    std::string error;

    void on_coroutine_finish() override
    {
        events.push_back("finish");
        const int count = lua_gettop(thread());
        for (int i = 1; i <= count; ++i)
            results.push_back(ox::lua::to_display_string(thread(), i));
    }
    void on_coroutine_error() override
    {
        events.push_back("error");
        error = ox::lua::error_text(thread());
    }
    void on_coroutine_yield() override { events.push_back("yield"); }
    void on_coroutine_resume() override { events.push_back("resume"); }
    void on_coroutine_abandon() override { events.push_back("abandon"); }
};

class state_test_t : public testing::Test {
protected:
    state_test_t() : state(ox::lua::new_state()), L(state.get())
    {
        luaL_openlibs(L);
        ox::lua::open_library(L);
        ox::lua::open_coroutine_make(L);
        lua_register(L, "host_wait", host_wait);
    }
    ~state_test_t() override { pending().clear(); }

    // Runs a chunk on the main state; the error text, or "" on success.
    std::string run(const std::string& code)
    {
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK)
            return ox::lua::error_text(L);
        return {};
    }

    // Evaluates an expression on the main state as tostring() shows it.
    std::string eval(const std::string& expression)
    {
        const std::string code = "return " + expression;
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
            return "error: " + ox::lua::error_text(L);
        std::string text = ox::lua::to_display_string(L, -1);
        lua_pop(L, 1);
        return text;
    }

    // A coroutine of the chunk, constructed but not yet resumed.
    std::unique_ptr<recording_coroutine_t> coroutine(const std::string& code)
    {
        if (luaL_loadstring(L, code.c_str()) != LUA_OK)
            throw std::runtime_error(ox::lua::error_text(L));
        return std::make_unique<recording_coroutine_t>(L, -1);
    }

    ox::lua::state_ptr_t state;
    lua_State* L;
};

// Outlives the interpreter, whose timers work on it.
struct event_loop_t {
    boost::asio::io_context io_context;
};

// The interpreter with the script modules that need no outside service.
class modules_test_t : protected event_loop_t, public state_test_t {
protected:
    modules_test_t()
    {
        ox::lua::orvex::register_metatables(L, &io_context);
        ox::lua::orvex::open(L);
        ox::lua::regex::open(L);
        ic::open_config_module(L);
        EXPECT_EQ(run("orvex = require('orvex') regex = require('orvex.regex')"), "");
    }

    // Runs the event loop until it has nothing left or the limit passes.
    void run_loop(std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        io_context.restart();
        io_context.run_for(limit);
    }

    // The error text of an expression, or "no error".
    std::string error_of(const std::string& expression)
    {
        const std::string text = eval("select(2, pcall(function() return " + expression + " end))");
        return eval("pcall(function() return " + expression + " end)") == "true" ? "no error" : text;
    }
};

} // namespace lua_test
