#include "icap/verdicts/category_bits.hpp"

#include <cstdlib>
#include <map>
#include <string>

namespace ic {

namespace {

constexpr int last_url_category = ox::UC_JOBS;
constexpr int last_threat_type = ox::SE_HACKTOOL;

// Only ASCII letters change, whatever the global locale.
std::string lower_ascii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The script name of a value: its enum name less the prefix, lower-cased.
template <typename enum_t>
std::string script_name(int value)
{
    return lower_ascii(google::protobuf::GetEnumDescriptor<enum_t>()->FindValueByNumber(value)->name().substr(3));
}

template <typename enum_t>
std::map<std::string, std::uint32_t> make_names(int first, int last, std::uint32_t (*to_bit)(enum_t))
{
    std::map<std::string, std::uint32_t> names;
    for (int value = first; value <= last; ++value)
        names.emplace(script_name<enum_t>(value), to_bit(static_cast<enum_t>(value)));
    return names;
}

std::uint32_t find_name(const std::map<std::string, std::uint32_t>& names, const std::string& name)
{
    const auto found = names.find(lower_ascii(name));
    return found == names.end() ? 0 : found->second;
}

} // namespace

std::uint32_t url_category_to_bit(ox::UrlCategory category)
{
    const int value = category;
    if (value >= ox::UC_INFECTION_SOURCE && value <= last_url_category)
        return std::uint32_t{1} << (value - 1);
    if (value == ox::UC_BLACK_LIST)
        return black_list_bit;
    std::abort();
}

ox::UrlCategory bit_to_url_category(std::uint32_t bit)
{
    if (bit == black_list_bit || bit == unspecified_bit)
        return ox::UC_BLACK_LIST;
    for (int value = ox::UC_INFECTION_SOURCE; value <= last_url_category; ++value)
        if (bit == std::uint32_t{1} << (value - 1))
            return static_cast<ox::UrlCategory>(value);
    std::abort();
}

std::uint32_t threat_category_to_bit(ox::VirusType type)
{
    const int value = type;
    if (value >= ox::SE_KNOWN_VIRUS && value <= last_threat_type)
        return std::uint32_t{1} << (value - 1);
    std::abort();
}

std::uint32_t url_categories_to_bits(const google::protobuf::RepeatedField<int>& categories)
{
    std::uint32_t bits = 0;
    for (const int category : categories)
        bits |= url_category_to_bit(static_cast<ox::UrlCategory>(category));
    return bits;
}

std::uint32_t url_category_name_to_bit(const std::string& name)
{
    static const auto names =
        make_names<ox::UrlCategory>(ox::UC_INFECTION_SOURCE, last_url_category, url_category_to_bit);
    return find_name(names, name);
}

std::uint32_t threat_category_name_to_bit(const std::string& name)
{
    static const auto names = make_names<ox::VirusType>(ox::SE_KNOWN_VIRUS, last_threat_type, threat_category_to_bit);
    return find_name(names, name);
}

std::string url_category_name(ox::UrlCategory category)
{
    const int value = category;
    return value >= ox::UC_INFECTION_SOURCE && value <= last_url_category ? script_name<ox::UrlCategory>(value)
                                                                          : std::string();
}

std::string threat_category_name(ox::VirusType type)
{
    const int value = type;
    return value >= ox::SE_KNOWN_VIRUS && value <= last_threat_type ? script_name<ox::VirusType>(value) : std::string();
}

} // namespace ic
