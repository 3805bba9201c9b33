#include "app/print_json.hpp"

#include <string>

#include <google/protobuf/util/json_util.h>

#include "schemas/application.pb.h"

std::ostream& cf_print_json(std::ostream& out, const google::protobuf::Message& message)
{
    std::string text;
    try {
        if (!google::protobuf::util::MessageToJsonString(message, &text).ok())
            text.clear();
    } catch (const std::exception&) {
        text.clear();
    }
    if (text.empty())
        google::protobuf::util::MessageToJsonString(ox::AppExeInfo(), &text);
    return out << text;
}
