#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/core/noncopyable.hpp>
#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index_container.hpp>
#include <boost/optional.hpp>
#include <boost/signals2/connection.hpp>

#include "clients/lookup_delegate.hpp"
#include "common/async_result.hpp"
#include "schemas/seekd_client_ipc.pb.h"

namespace ic {

class inventory_t;
class seekd_connection_t;

// The SeekD lookup type a script names by its kind ("ldap", "MySQL", ...):
// the enumeration's display texts, ASCII case ignored. Any other name
// throws boost::system::system_error EC_INVALID_ARGUMENT.
sk::LookupType lookup_type_from_name(const std::string& name);

// Answers the lookups and checks of policy scripts through SeekD and keeps
// every successful answer for a minute (at least 60 seconds, until the
// first tick after that), so that a question repeated meanwhile is answered
// without asking again. Failures are never kept; a settings change empties
// the cache.
class lookup_engine_t : public ox::lua::lookup::delegate_t, private boost::noncopyable {
public:
    using clock_type = std::chrono::steady_clock;
    using now_t = std::function<clock_type::time_point()>;
    using params_t = std::unordered_map<std::string, std::string>;
    using lookup_completion_t = std::function<void(std::exception_ptr, std::vector<std::string>)>;
    using check_completion_t = std::function<void(std::exception_ptr, bool)>;

    // The identity of a question. A lookup and a check never share one: only
    // a check has a value.
    struct key_t {
        sk::LookupType kind;
        std::string tag;
        std::string user;
        std::string domain;
        boost::optional<std::string> value;

        bool operator==(const key_t& other) const;
    };

    struct key_hash {
        std::size_t operator()(const key_t& key) const;
    };

    struct entry_t {
        key_t key;
        // The strings of a lookup's answer; empty for a check.
        std::vector<std::string> data;
        // The answer of a check; false for a lookup.
        bool result;
        clock_type::time_point time;
    };

    using cache_t = boost::multi_index_container<
        entry_t,
        boost::multi_index::indexed_by<
            boost::multi_index::hashed_unique<boost::multi_index::member<entry_t, key_t, &entry_t::key>, key_hash>,
            boost::multi_index::ordered_non_unique<
                boost::multi_index::member<entry_t, clock_type::time_point, &entry_t::time>>>>;

    // Connects on_tick to the application's tick, then clear_cache to the
    // settings change. `now` is the clock of the cache's ages.
    explicit lookup_engine_t(inventory_t& inventory, now_t now = clock_type::now);

    void lookup(std::string kind, std::string tag, params_t params, lookup_completion_t completion) override;
    void check(std::string kind, std::string tag, std::string value, params_t params,
               check_completion_t completion) override;

    // Drops the answers kept for more than 60 seconds.
    void on_tick();
    void clear_cache();

private:
    // Questions in flight hold the engine weakly: a SeekD connection may
    // fail its requests only when it goes, which can be after the engine
    // (when the event loop's last handlers are destroyed). Their answers
    // then still reach the callers, and are not kept.
    using guard_t = std::weak_ptr<lookup_engine_t*>;

    static key_t make_key(const std::string& kind, const std::string& tag, const params_t& params,
                          boost::optional<std::string> value);
    static void with_lookup_connection(const guard_t& engine, seekd_connection_t* connection, const key_t& key,
                                       const lookup_completion_t& completion);
    static void with_check_connection(const guard_t& engine, seekd_connection_t* connection, const key_t& key,
                                      const check_completion_t& completion);
    static void on_lookup_answer(const guard_t& engine, const orx::async::result_handle_t& answer, const key_t& key,
                                 const lookup_completion_t& completion);
    static void on_check_answer(const guard_t& engine, const orx::async::result_handle_t& answer, const key_t& key,
                                const check_completion_t& completion);
    // The error of an answer that carries no value of the kind asked for;
    // logged unless the connection went with the request pending.
    static boost::system::error_code answer_error(const orx::async::result_handle_t& answer, bool has_value);
    void insert(const key_t& key, std::vector<std::string> data, bool result);

    inventory_t& inventory_;
    now_t now_;
    boost::signals2::scoped_connection tick_slot_;
    boost::signals2::scoped_connection settings_slot_;
    cache_t cache_;
    // Goes first.
    std::shared_ptr<lookup_engine_t*> alive_ = std::make_shared<lookup_engine_t*>(this);
};

} // namespace ic
