#pragma once

// The option tree: named entries, each holding a list of strings, a nested
// tree, both or nothing. Keys match loosely: two keys are one key when they
// agree after lower-casing and dropping every '_' (log_level, LogLevel and
// LOGLEVEL name one entry). On the wire the tree is an ox::LexMap.

#include <memory>
#include <string>
#include <vector>

#include "schemas/lexmap.pb.h"

namespace ox {

// key with every '_' removed and every other byte lower-cased (classic
// locale: only A to Z change).
std::string normalize_key(const std::string& key);

} // namespace ox

// True when the normalised keys are equal; builds neither.
bool cf_lexmap_key_equal(const std::string& a, const std::string& b);
// True when key is not empty and made only of letters, digits and '_'.
bool cf_lexmap_key_valid(const std::string& key);
// "log_level" gives "LogLevel": the first byte and each byte after a '_'
// upper-cased, the '_' dropped.
std::string cf_lexmap_key_to_camel(const std::string& key);

class cf_lexmap_t;

// The content of one entry. A missing list differs from an empty one, and a
// missing tree from an empty one. Copies are deep.
class cf_lexmap_node_t {
public:
    cf_lexmap_node_t();
    explicit cf_lexmap_node_t(std::vector<std::string> values);
    explicit cf_lexmap_node_t(const cf_lexmap_t& map);
    explicit cf_lexmap_node_t(const ox::LexOption& option);
    cf_lexmap_node_t(const cf_lexmap_node_t& other);
    cf_lexmap_node_t(cf_lexmap_node_t&& other) noexcept;
    cf_lexmap_node_t& operator=(const cf_lexmap_node_t& other);
    cf_lexmap_node_t& operator=(cf_lexmap_node_t&& other) noexcept;
    ~cf_lexmap_node_t();

    // The parts, null when absent.
    const std::vector<std::string>* values() const { return values_.get(); }
    const cf_lexmap_t* map() const { return map_.get(); }
    // The parts, created empty first when absent.
    std::vector<std::string>& values();
    cf_lexmap_t& map();

    bool operator==(const cf_lexmap_node_t& other) const;

private:
    std::unique_ptr<std::vector<std::string>> values_;
    std::unique_ptr<cf_lexmap_t> map_;
};

class cf_lexmap_t {
public:
    struct entry_t {
        // As first given, not normalised.
        std::string key;
        cf_lexmap_node_t node;
    };

    cf_lexmap_t() = default;
    explicit cf_lexmap_t(const ox::LexMap& message);

    // The node of the first entry whose key matches loosely, or null.
    const cf_lexmap_node_t* find(const std::string& key) const;
    cf_lexmap_node_t* find(const std::string& key);
    // That node; when there is none, a new empty entry under key.
    cf_lexmap_node_t& get(const std::string& key);
    // Appends without looking for an entry of the same key.
    void add(const std::string& key, cf_lexmap_node_t node);
    void add(const std::string& key, const cf_lexmap_t& map);
    // Removes every entry whose key is byte for byte key.
    void erase(const std::string& key);
    void clear();

    // Replaces the content from the message. Options whose keys match
    // loosely land in one entry: their lists accumulate, a later tree
    // replaces an earlier one.
    void assign(const ox::LexMap& message);

    const std::vector<entry_t>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }

    // Same length, and position by position loosely equal keys and equal
    // nodes.
    bool operator==(const cf_lexmap_t& other) const;

private:
    std::vector<entry_t> entries_;
};

// Appends one option per entry to message; a node holding both a list and a
// tree is written with its list only.
void cf_lexmap_to_proto(const cf_lexmap_t& tree, ox::LexMap& message);

// Writes the tree to the log, one record per leaf ("prefix.key = "value"",
// "key = <nil>", "key = <empty list>", "key = <empty map>"), when level
// passes the threshold.
void cf_log_lexmap(int level, const std::string& prefix, const cf_lexmap_t& tree);
