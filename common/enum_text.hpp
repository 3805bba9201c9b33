#pragma once

// Display texts of the schemas' enumeration values. A value's text is its
// `lex` option when the schema sets one, else its name; a number that the
// enumeration does not define is written in decimal.

#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/generated_enum_reflection.h>

#include "schemas/error.pb.h"

// The `lex` text of a value when the option is present (even when empty),
// else the value's name. `value` must not be null.
std::string cf_enum_value_lex(const google::protobuf::EnumValueDescriptor* value);

// The display text of any number of a generated enumeration type.
template <class E>
std::string cf_enum_text(E value)
{
    const int number = static_cast<int>(value);
    const google::protobuf::EnumDescriptor* type = google::protobuf::GetEnumDescriptor<E>();
    const google::protobuf::EnumValueDescriptor* found = type ? type->FindValueByNumber(number) : nullptr;
    return found ? cf_enum_value_lex(found) : std::to_string(number);
}

std::string cf_proto_error_text(ox::ErrorCode code);

// The first value of `type`, in declaration order, whose display text equals
// `text` ignoring case; a present but empty `lex` counts as absent here.
// Null when none matches.
const google::protobuf::EnumValueDescriptor* cf_enum_value_by_lex(const google::protobuf::EnumDescriptor* type,
                                                                  const std::string& text);
