#include "common/enum_text.hpp"

#include <locale>

#include "schemas/annotation.pb.h"

std::string cf_enum_value_lex(const google::protobuf::EnumValueDescriptor* value)
{
    const google::protobuf::EnumValueOptions& options = value->options();
    if (options.HasExtension(ox::lex))
        return options.GetExtension(ox::lex);
    return value->name();
}

std::string cf_proto_error_text(ox::ErrorCode code)
{
    return cf_enum_text(code);
}

namespace {

bool equal_ignoring_case(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    const std::locale locale;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(a[i], locale) != std::toupper(b[i], locale))
            return false;
    return true;
}

} // namespace

const google::protobuf::EnumValueDescriptor* cf_enum_value_by_lex(const google::protobuf::EnumDescriptor* type,
                                                                  const std::string& text)
{
    for (int i = 0; i < type->value_count(); ++i) {
        const google::protobuf::EnumValueDescriptor* value = type->value(i);
        const std::string& lex = value->options().GetExtension(ox::lex);
        if (equal_ignoring_case(lex.empty() ? value->name() : lex, text))
            return value;
    }
    return nullptr;
}
