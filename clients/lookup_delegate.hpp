#pragma once

#include <exception>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ox::lua::lookup {

// How the script module orvex.lookup reaches the lookup engine, which
// implements it below the Lua layer. Both operations call their completion
// exactly once and never before they have returned (always later, from the
// event loop); a null exception pointer means success.
class delegate_t {
public:
    virtual ~delegate_t() = default;

    // The strings that the lookup `tag` of the kind `kind` yields; params
    // may name a "user" and a "domain".
    virtual void lookup(std::string kind, std::string tag, std::unordered_map<std::string, std::string> params,
                        std::function<void(std::exception_ptr, std::vector<std::string>)> completion) = 0;
    // Whether `value` is among them.
    virtual void check(std::string kind, std::string tag, std::string value,
                       std::unordered_map<std::string, std::string> params,
                       std::function<void(std::exception_ptr, bool)> completion) = 0;
};

} // namespace ox::lua::lookup
