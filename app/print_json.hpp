#pragma once

#include <ostream>

#include <google/protobuf/message.h>

// Writes `message` as one line of JSON with the protobuf library's default
// printing (lowerCamelCase names, 64-bit numbers as strings, bytes in
// base64); when the conversion fails, the JSON of an empty ox::AppExeInfo.
std::ostream& cf_print_json(std::ostream& out, const google::protobuf::Message& message);
