#include "clients/lookup_engine.hpp"

#include <map>
#include <utility>

#include <boost/any.hpp>
#include <boost/asio/post.hpp>
#include <boost/container_hash/hash.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/repeated_field.h>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "clients/seekd_connection.hpp"
#include "common/async_error.hpp"
#include "common/enum_text.hpp"
#include "common/error_category.hpp"
#include "common/exception.hpp"
#include "common/lexmap.hpp"
#include "common/log.hpp"

namespace ic {

namespace {

constexpr auto cache_lifetime = std::chrono::seconds(60);

std::string ascii_lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void log_size(const char* prefix, std::size_t size)
{
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, prefix + std::to_string(size) + " result(s) in cache");
}

} // namespace

sk::LookupType lookup_type_from_name(const std::string& name)
{
    static const std::map<std::string, sk::LookupType> types = [] {
        std::map<std::string, sk::LookupType> map;
        const google::protobuf::EnumDescriptor* type = sk::LookupType_descriptor();
        for (int i = 0; i < type->value_count(); ++i) {
            const google::protobuf::EnumValueDescriptor* value = type->value(i);
            map.emplace(ascii_lower(cf_enum_value_lex(value)), static_cast<sk::LookupType>(value->number()));
        }
        return map;
    }();
    const auto found = types.find(ascii_lower(name));
    if (found == types.end())
        throw boost::system::system_error(ox::make_error_code(ox::EC_INVALID_ARGUMENT));
    return found->second;
}

bool lookup_engine_t::key_t::operator==(const key_t& other) const
{
    return kind == other.kind && tag == other.tag && user == other.user && domain == other.domain &&
           value == other.value;
}

std::size_t lookup_engine_t::key_hash::operator()(const key_t& key) const
{
    std::size_t seed = 0;
    boost::hash_combine(seed, static_cast<int>(key.kind));
    boost::hash_combine(seed, key.tag);
    boost::hash_combine(seed, key.user);
    boost::hash_combine(seed, key.domain);
    if (key.value)
        boost::hash_combine(seed, *key.value);
    return seed;
}

lookup_engine_t::lookup_engine_t(inventory_t& inventory, now_t now) : inventory_(inventory), now_(std::move(now))
{
    cache_.max_load_factor(1.0f);
    tick_slot_ = inventory.tick.connect([this] { on_tick(); });
    settings_slot_ = inventory.config_holder->changed.connect([this] { clear_cache(); });
}

lookup_engine_t::key_t lookup_engine_t::make_key(const std::string& kind, const std::string& tag,
                                                 const params_t& params, boost::optional<std::string> value)
{
    const auto param = [&params](const char* name) {
        const auto found = params.find(name);
        return found == params.end() ? std::string() : found->second;
    };
    return key_t{lookup_type_from_name(kind), ox::normalize_key(tag), param("user"), param("domain"), std::move(value)};
}

void lookup_engine_t::lookup(std::string kind, std::string tag, params_t params, lookup_completion_t completion)
{
    key_t key;
    try {
        key = make_key(kind, tag, params, boost::none);
    } catch (const boost::system::system_error&) {
        boost::asio::post(inventory_.io_context,
                          [completion, error = std::current_exception()] { completion(error, {}); });
        return;
    }
    if (const auto found = cache_.find(key); found != cache_.end()) {
        boost::asio::post(inventory_.io_context, [completion, data = found->data] { completion(nullptr, data); });
        return;
    }
    inventory_.get_seekd_connection([engine = guard_t(alive_), key, completion](seekd_connection_t* connection) {
        with_lookup_connection(engine, connection, key, completion);
    });
}

void lookup_engine_t::check(std::string kind, std::string tag, std::string value, params_t params,
                            check_completion_t completion)
{
    key_t key;
    try {
        key = make_key(kind, tag, params, std::move(value));
    } catch (const boost::system::system_error&) {
        boost::asio::post(inventory_.io_context,
                          [completion, error = std::current_exception()] { completion(error, false); });
        return;
    }
    if (const auto found = cache_.find(key); found != cache_.end()) {
        boost::asio::post(inventory_.io_context, [completion, result = found->result] { completion(nullptr, result); });
        return;
    }
    inventory_.get_seekd_connection([engine = guard_t(alive_), key, completion](seekd_connection_t* connection) {
        with_check_connection(engine, connection, key, completion);
    });
}

void lookup_engine_t::with_lookup_connection(const guard_t& engine, seekd_connection_t* connection, const key_t& key,
                                             const lookup_completion_t& completion)
{
    if (!connection) {
        completion(cf_make_exception_ptr(ox::make_error_code(ox::EC_NO_SEEKD)), {});
        return;
    }
    try {
        connection->lookup(key.kind, key.tag, key.user, key.domain,
                           [engine, key, completion](const orx::async::result_handle_t& answer) {
                               on_lookup_answer(engine, answer, key, completion);
                           });
    } catch (const boost::system::system_error&) {
        // A question too large for the link is the script's failure, not
        // the event loop's.
        completion(std::current_exception(), {});
    }
}

void lookup_engine_t::with_check_connection(const guard_t& engine, seekd_connection_t* connection, const key_t& key,
                                            const check_completion_t& completion)
{
    if (!connection) {
        completion(cf_make_exception_ptr(ox::make_error_code(ox::EC_NO_SEEKD)), false);
        return;
    }
    try {
        connection->check(key.kind, key.tag, key.user, key.domain, *key.value,
                          [engine, key, completion](const orx::async::result_handle_t& answer) {
                              on_check_answer(engine, answer, key, completion);
                          });
    } catch (const boost::system::system_error&) {
        completion(std::current_exception(), false);
    }
}

boost::system::error_code lookup_engine_t::answer_error(const orx::async::result_handle_t& answer, bool has_value)
{
    boost::system::error_code error = answer.error();
    // SeekD answered with the reply of the other kind.
    if (!error && !has_value)
        error = ox::make_error_code(ox::EC_PROTOCOL_VIOLATION);
    if (error && error != orx::async::make_error_code(orx::async::result_error_t::shutdown) &&
        cf_log_threshold <= cf_log_error)
        cf_log(cf_log_error, "SeekD: " + error.message());
    return error;
}

void lookup_engine_t::on_lookup_answer(const guard_t& engine, const orx::async::result_handle_t& answer,
                                       const key_t& key, const lookup_completion_t& completion)
{
    const auto* strings = boost::any_cast<google::protobuf::RepeatedPtrField<std::string>>(&answer.value());
    if (const auto error = answer_error(answer, strings != nullptr)) {
        completion(cf_make_exception_ptr(error), {});
        return;
    }
    std::vector<std::string> data(strings->begin(), strings->end());
    if (const auto alive = engine.lock())
        (*alive)->insert(key, data, false);
    completion(nullptr, std::move(data));
}

void lookup_engine_t::on_check_answer(const guard_t& engine, const orx::async::result_handle_t& answer,
                                      const key_t& key, const check_completion_t& completion)
{
    const auto* result = boost::any_cast<bool>(&answer.value());
    if (const auto error = answer_error(answer, result != nullptr)) {
        completion(cf_make_exception_ptr(error), false);
        return;
    }
    if (const auto alive = engine.lock())
        (*alive)->insert(key, {}, *result);
    completion(nullptr, *result);
}

void lookup_engine_t::insert(const key_t& key, std::vector<std::string> data, bool result)
{
    // Of two identical questions answered in turn, the first answer stays,
    // with its age.
    cache_.insert(entry_t{key, std::move(data), result, now_()});
    log_size("lookup_engine_t: ", cache_.size());
}

void lookup_engine_t::on_tick()
{
    auto& by_time = cache_.get<1>();
    const auto first_kept = by_time.lower_bound(now_() - cache_lifetime);
    if (first_kept == by_time.begin())
        return;
    by_time.erase(by_time.begin(), first_kept);
    log_size("lookup_engine_t::on_tick: ", cache_.size());
}

void lookup_engine_t::clear_cache()
{
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "lookup_engine_t: clear cache");
    cache_.clear();
}

} // namespace ic
