#include <gtest/gtest.h>

#include <exception>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>

#include "common/exception_ptr_text.hpp"
#include "hook_fixture.hpp"
#include "lua/lookup_module.hpp"

namespace {

// Records what the module asks and answers later from the loop, as the
// lookup engine does.
class lookup_delegate_t : public ox::lua::lookup::delegate_t {
public:
    explicit lookup_delegate_t(boost::asio::io_context& io_context) : io_context_(io_context) {}

    void lookup(std::string kind, std::string tag, std::unordered_map<std::string, std::string> params,
                std::function<void(std::exception_ptr, std::vector<std::string>)> completion) override
    {
        record(kind, tag, "", params);
        boost::asio::post(io_context_, [this, completion] { completion(failure(), strings); });
    }

    void check(std::string kind, std::string tag, std::string value,
               std::unordered_map<std::string, std::string> params,
               std::function<void(std::exception_ptr, bool)> completion) override
    {
        record(kind, tag, value, params);
        boost::asio::post(io_context_, [this, completion] { completion(failure(), found); });
    }

    // "kind|tag|value|k=v,k=v" of every request, params sorted by key.
    std::vector<std::string> requests;
    std::vector<std::string> strings;
    bool found = false;
    std::string error; // empty: success

private:
    void record(const std::string& kind, const std::string& tag, const std::string& value,
                const std::unordered_map<std::string, std::string>& params)
    {
        std::string text = kind + "|" + tag + "|" + value + "|";
        const std::map<std::string, std::string> sorted(params.begin(), params.end());
        for (const auto& [key, param] : sorted)
            text += (text.back() == '|' ? "" : ",") + key + "=" + param;
        requests.push_back(text);
    }
    std::exception_ptr failure() const
    {
        return error.empty() ? nullptr : std::make_exception_ptr(std::runtime_error(error));
    }

    boost::asio::io_context& io_context_;
};

class LuaLookupModule : public hook_test::fixture_t {
protected:
    // Runs a hook that stores in r the outcome of `call` (pcall's results
    // as text) and passes.
    std::string call(const std::string& expression)
    {
        EXPECT_TRUE(load("lookup = require('orvex.lookup')\n"
                         "orvex = require('orvex')\n"
                         "function message_hook(t)\n"
                         "  local ok, value = pcall(function() return " +
                         expression +
                         " end)\n"
                         "  if type(value) == 'table' and getmetatable(value) == nil then\n"
                         "    value = '{' .. table.concat(value, ',') .. '}'\n"
                         "  end\n"
                         "  r = tostring(ok) .. ' ' .. tostring(value)\n"
                         "  kind = type(value)\n"
                         "  return 'pass'\n"
                         "end"));
        if (use_stand_in)
            ox::lua::lookup::set_delegate(L(), &delegate_stand_in);
        run();
        return eval("r");
    }

    bool use_stand_in = true;
    lookup_delegate_t delegate_stand_in{inventory->io_context};
};

TEST_F(LuaLookupModule, Calls)
{
    struct case_t {
        const char* expression;
        const char* request; // what the delegate received; "" for none
        const char* result;
    };
    const std::vector<case_t> cases = {
        {"lookup.lookup('ldap@groups')", "ldap|groups||", "true {a,b}"},
        {"lookup.lookup('ldap@')", "ldap|||", "true {a,b}"},
        {"lookup.lookup('@groups')", "|groups||", "true {a,b}"},
        {"lookup.lookup('ldap@a@b')", "ldap|a@b||", "true {a,b}"},
        {"lookup.lookup(setmetatable({}, {__tostring = function() return 'sql@t' end}))", "sql|t||", "true {a,b}"},
        {"lookup.lookup('ldap@g', {User = 'Bob', DOMAIN = 'Corp'})", "ldap|g||domain=Corp,user=Bob", "true {a,b}"},
        {"lookup.lookup('ldap@g', {})", "ldap|g||", "true {a,b}"},
        {"lookup.check('bob', 'ldap@admins')", "ldap|admins|bob|", "true true"},
        {"lookup.check(orvex.ip('10.0.0.1'), 'list@hosts', {user = 'u'})", "list|hosts|10.0.0.1|user=u", "true true"},
        {"lookup.check(setmetatable({}, {__tostring = function() return 'v' end}), 'a@b')", "a|b|v|", "true true"},
    };
    delegate_stand_in.strings = {"a", "b"};
    delegate_stand_in.found = true;
    for (const case_t& c : cases) {
        delegate_stand_in.requests.clear();
        EXPECT_EQ(call(c.expression), c.result) << c.expression;
        EXPECT_EQ(delegate_stand_in.requests, std::vector<std::string>{c.request}) << c.expression;
    }
}

TEST_F(LuaLookupModule, Answers)
{
    delegate_stand_in.strings = {};
    EXPECT_EQ(call("lookup.lookup('ldap@g')"), "true {}");
    delegate_stand_in.found = false;
    EXPECT_EQ(call("lookup.check('x', 'ldap@g')"), "true false");
    EXPECT_EQ(eval("kind"), "boolean");

    // A failure is an exception value the script can catch and print.
    delegate_stand_in.error = "SeekD is not available";
    EXPECT_EQ(call("lookup.lookup('ldap@g')"), "false Lookup: SeekD is not available");
    EXPECT_EQ(eval("kind"), "userdata");
    EXPECT_EQ(call("lookup.check('x', 'ldap@g')"), "false Check: SeekD is not available");
    EXPECT_EQ(eval("kind"), "userdata");
}

TEST_F(LuaLookupModule, RefusedArguments)
{
    struct case_t {
        const char* expression;
        const char* error; // part of the error text
    };
    const std::vector<case_t> cases = {
        {"lookup.lookup('ldap')", "bad argument #1 to 'lookup' (at character not found)"},
        {"lookup.lookup(5)", "bad argument #1 to 'lookup' (at character not found)"},
        {"lookup.lookup()", "bad argument #1 to 'lookup' (value expected)"},
        {"lookup.lookup('a@b', 'x')", "bad argument #2 to 'lookup' (table expected, got string)"},
        {"lookup.lookup('a@b', nil)", "bad argument #2 to 'lookup' (table expected, got nil)"},
        {"lookup.lookup('a@b', {user = 5})", "bad argument #2 to 'lookup' (all keys and values must be strings)"},
        {"lookup.lookup('a@b', {'x'})", "bad argument #2 to 'lookup' (all keys and values must be strings)"},
        {"lookup.check('v', 'ldap')", "bad argument #2 to 'check' (at character not found)"},
        {"lookup.check('v', 'a@b', {[true] = 'x'})",
         "bad argument #3 to 'check' (all keys and values must be strings)"},
        {"lookup.check(5, 'a@b')", "Check: first arg must be a string or have __tostring metamethod"},
        {"lookup.check({}, 'a@b')", "Check: first arg must be a string or have __tostring metamethod"},
    };
    for (const case_t& c : cases) {
        const std::string result = call(c.expression);
        EXPECT_EQ(result.rfind("false ", 0), 0u) << c.expression << ": " << result;
        EXPECT_NE(result.find(c.error), std::string::npos) << c.expression << ": " << result;
    }
    EXPECT_TRUE(delegate_stand_in.requests.empty());
}

// An error the script does not catch reaches the hook as the failure
// itself: with unchecked messages let through, the message passes.
TEST_F(LuaLookupModule, UncaughtFailureEndsTheHook)
{
    delegate_stand_in.error = "Invalid argument";
    ASSERT_TRUE(load("lookup = require('orvex.lookup')\n"
                     "function message_hook(t) lookup.lookup('x@y') return 'block' end",
                     true));
    ox::lua::lookup::set_delegate(L(), &delegate_stand_in);
    auto outcome = run();
    ASSERT_EQ(outcome->kind(), "check_error");
    EXPECT_EQ(ox::util::exception_ptr_text(outcome->as<ic::check_error_t>().error), "Lookup: Invalid argument");
}

TEST_F(LuaLookupModule, OutsideAnyCoroutine)
{
    EXPECT_EQ(eval("select(2, pcall(require('orvex.lookup').lookup, 'a@b'))"), "No coroutine is running");
    EXPECT_EQ(eval("select(2, pcall(require('orvex.lookup').check, 'v', 'a@b'))"), "No coroutine is running");
    EXPECT_EQ(eval("pcall(function() require('orvex.lookup').lookup = nil end)"), "false");
}

// The runtime hands the module the application's lookup engine.
TEST_F(LuaLookupModule, ThroughTheLookupEngine)
{
    use_stand_in = false;
    EXPECT_EQ(call("lookup.lookup('nonsense@x')"), "false Lookup: Invalid argument");
    EXPECT_EQ(call("lookup.check('v', '@x')"), "false Check: Invalid argument");
}

} // namespace
