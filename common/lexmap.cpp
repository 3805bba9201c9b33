#include "common/lexmap.hpp"

#include <algorithm>
#include <utility>

#include "common/log.hpp"

namespace {

// The classic locale's conversions, independent of the process's locale.
char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

template <class T>
std::unique_ptr<T> copy_of(const std::unique_ptr<T>& p)
{
    return p ? std::make_unique<T>(*p) : nullptr;
}

template <class T>
bool equal_parts(const std::unique_ptr<T>& a, const std::unique_ptr<T>& b)
{
    if (!a || !b)
        return !a && !b;
    return *a == *b;
}

void log_entries(int level, const std::string& prefix, const cf_lexmap_t& tree)
{
    if (tree.empty()) {
        cf_log(level, prefix + "<empty map>");
        return;
    }
    for (const auto& entry : tree.entries()) {
        const std::string name = prefix + entry.key;
        const auto* values = entry.node.values();
        const auto* map = entry.node.map();
        if (values) {
            if (values->empty())
                cf_log(level, name + " = <empty list>");
            for (const auto& item : *values)
                cf_log(level, name + " = \"" + item + "\"");
        }
        if (!map) {
            if (!values)
                cf_log(level, name + " = <nil>");
        } else if (map->empty()) {
            cf_log(level, name + " = <empty map>");
        } else {
            log_entries(level, name + ".", *map);
        }
    }
}

} // namespace

namespace ox {

std::string normalize_key(const std::string& key)
{
    std::string normal;
    normal.reserve(key.size());
    for (char c : key)
        if (c != '_')
            normal += lower(c);
    return normal;
}

} // namespace ox

bool cf_lexmap_key_equal(const std::string& a, const std::string& b)
{
    auto i = a.begin();
    auto j = b.begin();
    for (;;) {
        i = std::find_if(i, a.end(), [](char c) { return c != '_'; });
        j = std::find_if(j, b.end(), [](char c) { return c != '_'; });
        if (i == a.end() || j == b.end())
            return i == a.end() && j == b.end();
        if (lower(*i) != lower(*j))
            return false;
        ++i;
        ++j;
    }
}

bool cf_lexmap_key_valid(const std::string& key)
{
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) { return c == '_' || alnum(c); });
}

std::string cf_lexmap_key_to_camel(const std::string& key)
{
    std::string camel;
    camel.reserve(key.size());
    bool upper_next = true;
    for (char c : key) {
        if (c == '_') {
            upper_next = true;
            continue;
        }
        camel += upper_next ? upper(c) : c;
        upper_next = false;
    }
    return camel;
}

cf_lexmap_node_t::cf_lexmap_node_t() = default;

cf_lexmap_node_t::cf_lexmap_node_t(std::vector<std::string> values)
    : values_(std::make_unique<std::vector<std::string>>(std::move(values)))
{
}

cf_lexmap_node_t::cf_lexmap_node_t(const cf_lexmap_t& map) : map_(std::make_unique<cf_lexmap_t>(map)) {}

cf_lexmap_node_t::cf_lexmap_node_t(const ox::LexOption& option)
{
    if (option.has_value()) {
        values_ = std::make_unique<std::vector<std::string>>();
        values_->reserve(static_cast<std::size_t>(option.value().item_size()));
        values_->assign(option.value().item().begin(), option.value().item().end());
    } else if (option.has_map()) {
        map_ = std::make_unique<cf_lexmap_t>(option.map());
    }
}

cf_lexmap_node_t::cf_lexmap_node_t(const cf_lexmap_node_t& other)
    : values_(copy_of(other.values_)), map_(copy_of(other.map_))
{
}

cf_lexmap_node_t::cf_lexmap_node_t(cf_lexmap_node_t&& other) noexcept = default;

cf_lexmap_node_t& cf_lexmap_node_t::operator=(const cf_lexmap_node_t& other)
{
    if (this != &other) {
        auto values = copy_of(other.values_);
        auto map = copy_of(other.map_);
        values_ = std::move(values);
        map_ = std::move(map);
    }
    return *this;
}

cf_lexmap_node_t& cf_lexmap_node_t::operator=(cf_lexmap_node_t&& other) noexcept = default;

cf_lexmap_node_t::~cf_lexmap_node_t() = default;

std::vector<std::string>& cf_lexmap_node_t::values()
{
    if (!values_)
        values_ = std::make_unique<std::vector<std::string>>();
    return *values_;
}

cf_lexmap_t& cf_lexmap_node_t::map()
{
    if (!map_)
        map_ = std::make_unique<cf_lexmap_t>();
    return *map_;
}

bool cf_lexmap_node_t::operator==(const cf_lexmap_node_t& other) const
{
    return equal_parts(values_, other.values_) && equal_parts(map_, other.map_);
}

cf_lexmap_t::cf_lexmap_t(const ox::LexMap& message)
{
    assign(message);
}

const cf_lexmap_node_t* cf_lexmap_t::find(const std::string& key) const
{
    for (const auto& entry : entries_)
        if (cf_lexmap_key_equal(entry.key, key))
            return &entry.node;
    return nullptr;
}

cf_lexmap_node_t* cf_lexmap_t::find(const std::string& key)
{
    return const_cast<cf_lexmap_node_t*>(std::as_const(*this).find(key));
}

cf_lexmap_node_t& cf_lexmap_t::get(const std::string& key)
{
    if (auto* node = find(key))
        return *node;
    entries_.push_back(entry_t{key, cf_lexmap_node_t()});
    return entries_.back().node;
}

void cf_lexmap_t::add(const std::string& key, cf_lexmap_node_t node)
{
    entries_.push_back(entry_t{key, std::move(node)});
}

void cf_lexmap_t::add(const std::string& key, const cf_lexmap_t& map)
{
    add(key, cf_lexmap_node_t(map));
}

void cf_lexmap_t::erase(const std::string& key)
{
    std::erase_if(entries_, [&key](const entry_t& entry) { return entry.key == key; });
}

void cf_lexmap_t::clear()
{
    entries_.clear();
}

void cf_lexmap_t::assign(const ox::LexMap& message)
{
    clear();
    for (const auto& option : message.option()) {
        auto& node = get(option.key());
        if (option.has_value()) {
            auto& values = node.values();
            values.insert(values.end(), option.value().item().begin(), option.value().item().end());
        } else if (option.has_map()) {
            node.map().assign(option.map());
        }
    }
}

bool cf_lexmap_t::operator==(const cf_lexmap_t& other) const
{
    return std::equal(
        entries_.begin(), entries_.end(), other.entries_.begin(), other.entries_.end(),
        [](const entry_t& a, const entry_t& b) { return cf_lexmap_key_equal(a.key, b.key) && a.node == b.node; });
}

void cf_lexmap_to_proto(const cf_lexmap_t& tree, ox::LexMap& message)
{
    for (const auto& entry : tree.entries()) {
        auto& option = *message.add_option();
        option.set_key(entry.key);
        if (const auto* values = entry.node.values()) {
            auto& value = *option.mutable_value();
            for (const auto& item : *values)
                value.add_item(item);
        } else if (const auto* map = entry.node.map()) {
            cf_lexmap_to_proto(*map, *option.mutable_map());
        }
    }
}

void cf_log_lexmap(int level, const std::string& prefix, const cf_lexmap_t& tree)
{
    if (level < cf_log_threshold)
        return;
    log_entries(level, prefix, tree);
}
