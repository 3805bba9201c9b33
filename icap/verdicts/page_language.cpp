#include "icap/verdicts/page_language.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/xpressive/xpressive_dynamic.hpp>

#include "common/log.hpp"
#include "common/what.hpp"

namespace ic {

namespace {

const std::string fallback = "en";
const std::string template_name = "block_traxd.tpl";

// One item of the field, whole: a language range (its primary subtag
// captured) or "*", then optionally a weight of at most three decimals.
const boost::xpressive::sregex& item_grammar()
{
    static const boost::xpressive::sregex grammar =
        boost::xpressive::sregex::compile("[ \\t]*(?:([A-Za-z]{1,8})(?:-[A-Za-z0-9]{1,8})*|(\\*))"
                                          "(?:[ \\t]*;[ \\t]*[Qq]=(0(?:\\.[0-9]{0,3})?|1(?:\\.0{0,3})?))?[ \\t]*");
    return grammar;
}

struct range_t {
    std::string language;
    // In thousandths, so that equal weights compare equal.
    int weight;
};

int thousandths(const std::string& weight)
{
    if (weight.empty())
        return 1000;
    int value = weight[0] == '1' ? 1000 : 0;
    int scale = 100;
    for (std::size_t i = 2; i < weight.size(); ++i, scale /= 10)
        value += (weight[i] - '0') * scale;
    return value;
}

std::string lower_ascii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The ranges of the field, heaviest first; nothing when an item is
// malformed.
bool parse(const std::string& field, std::vector<range_t>& ranges)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = field.find(',', start);
        const std::string item = field.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        boost::xpressive::smatch match;
        if (!boost::xpressive::regex_match(item, match, item_grammar()))
            return false;
        ranges.push_back(
            {match[1].matched ? lower_ascii(match[1].str()) : match[2].str(), thousandths(match[3].str())});
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const range_t& a, const range_t& b) { return a.weight > b.weight; });
    return true;
}

} // namespace

std::set<std::string> available_languages(const std::string& root)
{
    std::set<std::string> languages;
    try {
        for (const auto& entry : boost::filesystem::directory_iterator(root))
            if (boost::filesystem::is_regular_file(entry.path() / template_name))
                languages.insert(entry.path().filename().string());
    } catch (const boost::filesystem::filesystem_error& e) {
        if (cf_log_threshold <= cf_log_error)
            cf_log(cf_log_error, cf_what(e));
        languages.clear();
    }
    return languages;
}

std::string get_language(const std::string& accept_language, const std::string& root)
{
    if (accept_language.empty())
        return fallback;
    const std::set<std::string> languages = available_languages(root);
    std::vector<range_t> ranges;
    if (!parse(accept_language, ranges)) {
        if (cf_log_threshold <= cf_log_debug)
            cf_log(cf_log_debug, "get_language: bad Accept-Language: " + accept_language);
        return fallback;
    }
    for (const range_t& range : ranges)
        if (range.language != "*" && languages.count(range.language))
            return range.language;
    return fallback;
}

} // namespace ic
