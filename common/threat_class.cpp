#include "common/threat_class.hpp"

#include <map>
#include <string>

#include "common/enum_text.hpp"
#include "schemas/scan_report.pb.h"

namespace ox::oxs {

namespace {

std::map<int, std::string> make_class_texts()
{
    std::map<int, std::string> texts{{0, "None"}};
    const google::protobuf::EnumDescriptor* type = ox::VirusType_descriptor();
    for (int k = 1; k <= 8; ++k)
        if (const google::protobuf::EnumValueDescriptor* value = type->FindValueByNumber(k))
            texts.emplace(1 << (k - 1), cf_enum_value_lex(value));
    return texts;
}

} // namespace

std::ostream& print_threat_class(std::ostream& out, int bits)
{
    static const std::map<int, std::string> texts = make_class_texts();
    static const std::string unknown = "Unknown";
    const auto found = texts.find(bits);
    return out << (found == texts.end() ? unknown : found->second);
}

} // namespace ox::oxs
