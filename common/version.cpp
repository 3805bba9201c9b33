#include "common/version.hpp"

#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/lexical_cast.hpp>

cf_version_t cf_parse_version(const std::string& text)
{
    try {
        std::vector<std::string> components;
        boost::split(components, text, boost::is_any_of("."));
        if (components.size() < 2)
            throw std::invalid_argument("too few components");
        cf_version_t version{};
        version.major = boost::lexical_cast<int>(components[0]);
        version.minor = boost::lexical_cast<int>(components[1]);
        return version;
    } catch (const std::exception&) {
        throw std::runtime_error("Invalid version format: " + text);
    }
}
