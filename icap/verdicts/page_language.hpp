#pragma once

#include <set>
#include <string>

namespace ic {

// The languages a block page exists in: the names of the subdirectories of
// root that hold a regular file "block_traxd.tpl" (links followed). A
// directory that cannot be listed or tested gives an Error record and the
// empty set.
std::set<std::string> available_languages(const std::string& root);

// The language of the block page for an Accept-Language value: the primary
// subtag of the heaviest range (earlier first among equal weights) that has
// a page under root, the wildcard never counting; "en" when none has, when
// the value is empty, and when any of its items is malformed (a Debug
// record).
std::string get_language(const std::string& accept_language, const std::string& root);

} // namespace ic
