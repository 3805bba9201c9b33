#pragma once

// An application object in the test process whose Lua runtime runs the
// hooks of transactions the test builds, with a check engine stand-in as
// the transactions' delegate.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "app/core/config_holder.hpp"
#include "app/inventory_fixture.hpp"
#include "icap/verdicts/verdict.hpp"
#include "lua/context.hpp"
#include "lua/lua.hpp"
#include "lua/value_readers.hpp"

namespace hook_test {

// The URL check and body scan are not the hook's business; a test that
// reaches them fails.
class delegate_t : public ic::context::delegate_t {
public:
    void check_url(ic::context::context_t*, ic::context::url_check_callback_t&&) override
    {
        ADD_FAILURE() << "URL check asked for";
    }
    void check_body(ic::context::body_getter_t&&, ic::context::body_check_callback_t&&) override
    {
        ADD_FAILURE() << "body scan asked for";
    }
};

// One transaction's outcome.
struct outcome_t {
    bool done = false;
    std::shared_ptr<ic::verdict_t> verdict;
    std::optional<ic::context::context_t> context;

    // "allowed", "protocol_error", "blocked_url", "threat_found",
    // "check_error"; "none" before the verdict.
    std::string kind() const
    {
        const ic::verdict_t* v = verdict.get();
        if (v == nullptr)
            return "none";
        if (dynamic_cast<const ic::allowed_t*>(v))
            return "allowed";
        if (dynamic_cast<const ic::protocol_error_t*>(v))
            return "protocol_error";
        if (dynamic_cast<const ic::blocked_url_t*>(v))
            return "blocked_url";
        if (dynamic_cast<const ic::threat_found_t*>(v))
            return "threat_found";
        if (dynamic_cast<const ic::check_error_t*>(v))
            return "check_error";
        return typeid(*v).name();
    }
    template <class T>
    const T& as() const
    {
        return dynamic_cast<const T&>(*verdict);
    }
};

// The ICAP fields and encapsulated heads of a transaction.
struct query_t {
    std::vector<std::pair<std::string, std::string>> icap_fields;
    std::string request_head;
    std::string response_head;
};

inline const char* const simple_request = "GET http://www.example.com/index.html HTTP/1.1\r\n"
                                          "Host: www.example.com\r\n\r\n";

class fixture_t : public test_inventory::fixture_t {
protected:
    // Applies the settings with this script as the hook; false when they
    // were refused.
    bool load(const std::string& script, bool block_unchecked = false)
    {
        auto config = settings();
        config.mutable_message_hook()->set_buffer(script);
        config.set_block_unchecked(block_unchecked);
        return apply(config);
    }

    bool apply(const ox::TRAXDConfig& config)
    {
        try {
            inventory->config_holder->apply(config);
            return true;
        } catch (ox::ErrorCode) {
            return false;
        }
    }

    ic::context::context_t make_context(const query_t& query = {{}, simple_request, ""})
    {
        io::http::param_map_t fields;
        for (const auto& [name, value] : query.icap_fields)
            fields.add(name, value);
        return ic::context::context_t(std::make_shared<const io::http::param_map_t>(std::move(fields)),
                                      orx::buffer_t(query.request_head), orx::buffer_t(query.response_head), {},
                                      &delegate);
    }

    // Starts the hook of a transaction; the outcome fills in as the loop
    // runs.
    std::shared_ptr<outcome_t> start(ic::context::context_t context)
    {
        auto outcome = std::make_shared<outcome_t>();
        inventory->lua->run_hook(std::move(context), [outcome](ic::context::context_t context,
                                                               const std::shared_ptr<ic::verdict_t>& verdict) {
            outcome->done = true;
            outcome->verdict = verdict;
            outcome->context.emplace(std::move(context));
        });
        return outcome;
    }

    // Runs a transaction to its verdict.
    std::shared_ptr<outcome_t> run(ic::context::context_t context)
    {
        auto outcome = start(std::move(context));
        EXPECT_TRUE(run_until([&] { return outcome->done; }));
        return outcome;
    }
    std::shared_ptr<outcome_t> run(const query_t& query = {{}, simple_request, ""}) { return run(make_context(query)); }

    lua_State* L() const { return inventory->lua->state(); }

    // Evaluates an expression on the interpreter as tostring() shows it.
    std::string eval(const std::string& expression)
    {
        const std::string code = "return " + expression;
        if (luaL_loadstring(L(), code.c_str()) != LUA_OK || lua_pcall(L(), 0, 1, 0) != LUA_OK)
            return "error: " + ox::lua::error_text(L());
        std::string text = ox::lua::to_display_string(L(), -1);
        lua_pop(L(), 1);
        return text;
    }

    // The records at the level whose text contains `part`.
    std::vector<std::string> records_with(int level, const std::string& part) const
    {
        std::vector<std::string> found;
        for (const auto& record : log->records)
            if (record.level == level && record.text.find(part) != std::string::npos)
                found.push_back(record.text);
        return found;
    }

    delegate_t delegate;
};

} // namespace hook_test
