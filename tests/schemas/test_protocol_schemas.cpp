// Checks the descriptors of the protocol and shared-type schemas against a
// table written out by hand, field by field, so that a slip in a .proto file
// (a number, a label, a type, a default, a display text) shows up as a named
// mismatch instead of a subtle wire incompatibility with the suite's services.

#include "schemas/annotation.pb.h"
#include "schemas/config_mode.pb.h"
#include "schemas/connection_match.pb.h"
#include "schemas/dnsxl.pb.h"
#include "schemas/lexmap.pb.h"
#include "schemas/list.pb.h"
#include "schemas/local_user.pb.h"
#include "schemas/network.pb.h"
#include "schemas/pair.pb.h"
#include "schemas/pilotd_traxd_ipc.pb.h"
#include "schemas/protocol.pb.h"
#include "schemas/rules.pb.h"
#include "schemas/seekd_client_ipc.pb.h"
#include "schemas/socket.pb.h"
#include "schemas/tagger_client_ipc.pb.h"
#include "schemas/url_category.pb.h"
#include "schemas/uuid.pb.h"
#include "schemas/vetter_client_ipc.pb.h"

#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using google::protobuf::Descriptor;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;

constexpr const char* req = "required";
constexpr const char* opt = "optional";
constexpr const char* rep = "repeated";

struct file_row {
    const char* name;
    const char* package;
    std::vector<std::string> imports;
    // Every message and enum of the file, nested ones included.
    std::vector<std::string> messages;
    std::vector<std::string> enums;
    // Pulls the file's generated code into the test and gives its descriptor.
    const FileDescriptor* (*anchor)();
};

struct field_row {
    const char* message;
    const char* name;
    int number;
    const char* label;
    // Scalar type name, or the full name of the message or enum type.
    const char* type;
    const char* oneof = nullptr;
    // Text of the explicit default, when the schema declares one.
    const char* default_value = nullptr;
    const char* hint = nullptr;
};

struct enum_row {
    const char* enum_name;
    const char* value;
    int number;
    const char* lex = nullptr;
};

const std::vector<file_row> files = {
    {"pilotd_traxd_ipc.proto",
     "ox",
     {"application.proto", "error.proto", "traxd_appinfo.proto", "traxd_appstat.proto", "traxd_config.proto",
      "incident.proto"},
     {"ox.TRAXD2PilotdMessage", "ox.Pilotd2TRAXDMessage"},
     {"ox.TRAXD2PilotdMessage.MessageTag", "ox.Pilotd2TRAXDMessage.MessageTag"},
     [] { return ox::TRAXD2PilotdMessage::descriptor()->file(); }},
    {"vetter_client_ipc.proto",
     "vr",
     {"application.proto", "error.proto", "scan_report.proto"},
     {"vr.ScanOptions", "vr.ClientMessage", "vr.ServerMessage"},
     {"vr.HashType", "vr.ClientMessage.ClientMessageTag", "vr.ServerMessage.ServerMessageTag"},
     [] { return vr::ScanOptions::descriptor()->file(); }},
    {"tagger_client_ipc.proto",
     "tg",
     {"error.proto", "list.proto", "url_category.proto"},
     {"tg.UrlParameter", "tg.DecodedUrl", "tg.UrlResult", "tg.ClientMessage", "tg.ServerMessage"},
     {"tg.ClientMessage.ClientMessageTag", "tg.ServerMessage.ServerMessageTag"},
     [] { return tg::UrlResult::descriptor()->file(); }},
    {"seekd_client_ipc.proto",
     "sk",
     {"annotation.proto", "error.proto"},
     {"sk.ClientMessage", "sk.ServerMessage"},
     {"sk.LookupType", "sk.ClientMessage.ClientMessageTag", "sk.ServerMessage.ServerMessageTag"},
     [] { return sk::ClientMessage::descriptor()->file(); }},
    {"list.proto",
     "ox",
     {"annotation.proto", "network.proto", "scan_report.proto", "socket.proto", "url_category.proto", "protocol.proto",
      "pair.proto", "connection_match.proto", "dnsxl.proto"},
     {"ox.StringList", "ox.PathList", "ox.IPAddressList", "ox.IPSocketList", "ox.IPNetworkList", "ox.IPList",
      "ox.AnySocketList", "ox.UrlCategoryList", "ox.VirusTypeList", "ox.VirusList", "ox.ProtocolList",
      "ox.StringPairList", "ox.ConnectionMatchList", "ox.DNSxLList"},
     {},
     [] { return ox::StringList::descriptor()->file(); }},
    {"socket.proto",
     "ox",
     {},
     {"ox.IPAddress", "ox.IPSocket", "ox.OptionalIPSocket", "ox.IPSocketAnyPort", "ox.AnySocket"},
     {},
     [] { return ox::IPSocket::descriptor()->file(); }},
    {"network.proto", "ox", {}, {"ox.IPNetwork"}, {}, [] { return ox::IPNetwork::descriptor()->file(); }},
    {"local_user.proto", "ox", {}, {"ox.LocalUser"}, {}, [] { return ox::LocalUser::descriptor()->file(); }},
    {"pair.proto", "ox", {}, {"ox.StringPair"}, {}, [] { return ox::StringPair::descriptor()->file(); }},
    {"protocol.proto", "ox", {}, {}, {"ox.Protocol"}, [] { return ox::Protocol_descriptor()->file(); }},
    {"url_category.proto",
     "ox",
     {"annotation.proto"},
     {},
     {"ox.UrlCategory"},
     [] { return ox::UrlCategory_descriptor()->file(); }},
    {"lexmap.proto",
     "ox",
     {},
     {"ox.LexValue", "ox.LexOption", "ox.LexMap"},
     {},
     [] { return ox::LexMap::descriptor()->file(); }},
    {"rules.proto",
     "ox",
     {"annotation.proto", "list.proto", "protocol.proto", "scan_report.proto", "socket.proto", "dnsxl.proto"},
     // Declaration order of the top-level messages, then the nested ones.
     {"ox.RuleCondition", "ox.RuleMatch", "ox.RuleActionBlock", "ox.RuleActionDiscard", "ox.RuleActionRepack",
      "ox.RuleActionRepackAsMatch", "ox.RuleActionPass", "ox.RuleActionReject", "ox.RuleActionTempfail",
      "ox.RuleActionAddHeader", "ox.RuleActionChangeHeader", "ox.RuleActionAsk", "ox.RuleAction", "ox.Rule",
      "ox.RuleVariable", "ox.RuleSet", "ox.RuleActionChangeHeader.Value",
      "ox.RuleActionChangeHeader.Value.OriginalValue"},
     {"ox.Direction", "ox.Divert"},
     [] { return ox::RuleSet::descriptor()->file(); }},
    {"connection_match.proto",
     "ox",
     {},
     {"ox.ConnectionMatch"},
     {},
     [] { return ox::ConnectionMatch::descriptor()->file(); }},
    {"dnsxl.proto", "ox", {}, {"ox.DNSxL", "ox.DNSxLReport"}, {}, [] { return ox::DNSxL::descriptor()->file(); }},
    {"uuid.proto", "ox", {}, {"ox.UUID"}, {}, [] { return ox::UUID::descriptor()->file(); }},
    {"config_mode.proto",
     "ox",
     {"annotation.proto"},
     {},
     {"ox.ConfigMode"},
     [] { return ox::ConfigMode_descriptor()->file(); }},
};

const std::vector<field_row> fields = {
    // PilotD channel.
    {"ox.TRAXD2PilotdMessage", "tag", 1, req, "ox.TRAXD2PilotdMessage.MessageTag"},
    {"ox.TRAXD2PilotdMessage", "config_revision", 2, opt, "uint32"},
    {"ox.TRAXD2PilotdMessage", "info", 3, opt, "ox.TRAXDAppInfo"},
    {"ox.TRAXD2PilotdMessage", "stat", 4, opt, "ox.TRAXDAppStat"},
    {"ox.TRAXD2PilotdMessage", "incident", 5, rep, "ox.NetIncident"},
    {"ox.TRAXD2PilotdMessage", "app", 6, opt, "ox.Application"},
    {"ox.Pilotd2TRAXDMessage", "tag", 1, req, "ox.Pilotd2TRAXDMessage.MessageTag"},
    {"ox.Pilotd2TRAXDMessage", "config_revision", 2, opt, "uint32"},
    {"ox.Pilotd2TRAXDMessage", "config", 3, opt, "ox.TRAXDConfig"},
    {"ox.Pilotd2TRAXDMessage", "socket_path", 4, opt, "string"},
    {"ox.Pilotd2TRAXDMessage", "appinfo", 5, rep, "ox.AppInfo"},
    {"ox.Pilotd2TRAXDMessage", "app", 6, opt, "ox.Application"},
    {"ox.Pilotd2TRAXDMessage", "control", 20, opt, "ox.ComponentControl"},
    {"ox.Pilotd2TRAXDMessage", "error", 100, opt, "ox.Error"},

    // Vetter.
    {"vr.ScanOptions", "scan_timeout_ms", 1, opt, "uint32", nullptr, "3600000"},
    {"vr.ScanOptions", "cure", 2, opt, "bool", nullptr, "false"},
    {"vr.ScanOptions", "heuristic_analysis", 3, opt, "bool", nullptr, "true"},
    {"vr.ScanOptions", "packer_max_level", 4, opt, "uint32", nullptr, "8"},
    {"vr.ScanOptions", "archive_max_level", 5, opt, "uint32", nullptr, "8"},
    {"vr.ScanOptions", "mail_max_level", 6, opt, "uint32", nullptr, "8"},
    {"vr.ScanOptions", "container_max_level", 7, opt, "uint32", nullptr, "8"},
    {"vr.ScanOptions", "max_compression_ratio", 8, opt, "uint32", nullptr, "500"},
    {"vr.ScanOptions", "list_clean_items", 9, opt, "bool", nullptr, "false"},
    {"vr.ScanOptions", "report_component_info", 10, opt, "bool", nullptr, "false"},
    {"vr.ScanOptions", "max_size_to_extract", 11, opt, "uint64", nullptr, "18446744073709551615"},
    {"vr.ScanOptions", "min_size_to_scan", 12, opt, "uint64", nullptr, "0"},
    {"vr.ScanOptions", "max_size_to_scan", 13, opt, "uint64", nullptr, "18446744073709551615"},
    {"vr.ScanOptions", "threat_hash", 21, rep, "vr.HashType"},
    {"vr.ClientMessage", "tag", 1, req, "vr.ClientMessage.ClientMessageTag"},
    {"vr.ClientMessage", "origin", 2, opt, "ox.Application"},
    {"vr.ClientMessage", "origin_pid", 3, opt, "uint32"},
    {"vr.ClientMessage", "job_id", 4, opt, "uint32"},
    {"vr.ClientMessage", "data", 5, opt, "bytes"},
    {"vr.ClientMessage", "scan_options", 6, opt, "vr.ScanOptions"},
    {"vr.ClientMessage", "flow_control", 7, opt, "bool"},
    {"vr.ClientMessage", "soft_error", 8, opt, "bool"},
    {"vr.ServerMessage", "tag", 1, req, "vr.ServerMessage.ServerMessageTag"},
    {"vr.ServerMessage", "job_id", 2, opt, "uint32"},
    {"vr.ServerMessage", "data", 3, opt, "bytes"},
    {"vr.ServerMessage", "scan_report", 4, opt, "ox.ScanReport"},
    {"vr.ServerMessage", "data_size", 5, opt, "uint64"},
    {"vr.ServerMessage", "window_change", 6, opt, "int32"},
    {"vr.ServerMessage", "sha1", 7, opt, "string"},
    {"vr.ServerMessage", "sha256", 8, opt, "string"},
    {"vr.ServerMessage", "soft", 9, opt, "bool"},
    {"vr.ServerMessage", "error", 100, opt, "ox.Error"},

    // Tagger.
    {"tg.UrlParameter", "name", 1, req, "string"},
    {"tg.UrlParameter", "value", 2, opt, "string"},
    {"tg.DecodedUrl", "path", 1, req, "string"},
    {"tg.DecodedUrl", "host", 2, opt, "string"},
    {"tg.DecodedUrl", "parameters", 3, rep, "tg.UrlParameter"},
    {"tg.UrlResult", "error", 1, req, "ox.ErrorCode"},
    {"tg.UrlResult", "categories", 2, rep, "ox.UrlCategory"},
    {"tg.UrlResult", "piracy_legal_url", 3, opt, "string"},
    {"tg.ClientMessage", "tag", 1, req, "tg.ClientMessage.ClientMessageTag"},
    {"tg.ClientMessage", "serial", 2, opt, "uint32"},
    {"tg.ClientMessage", "raw_url", 3, opt, "string"},
    {"tg.ClientMessage", "decoded_url", 4, opt, "tg.DecodedUrl"},
    {"tg.ClientMessage", "addresses", 5, opt, "ox.IPAddressList"},
    {"tg.ClientMessage", "categories", 6, rep, "ox.UrlCategory"},
    {"tg.ServerMessage", "tag", 1, req, "tg.ServerMessage.ServerMessageTag"},
    {"tg.ServerMessage", "serial", 2, opt, "uint32"},
    {"tg.ServerMessage", "url_result", 3, opt, "tg.UrlResult"},

    // SeekD.
    {"sk.ClientMessage", "tag", 1, req, "sk.ClientMessage.ClientMessageTag"},
    {"sk.ClientMessage", "serial", 2, opt, "uint32"},
    {"sk.ClientMessage", "lookup_type", 3, opt, "sk.LookupType"},
    {"sk.ClientMessage", "lookup_tag", 4, opt, "string"},
    {"sk.ClientMessage", "user", 5, opt, "string"},
    {"sk.ClientMessage", "domain", 6, opt, "string"},
    {"sk.ClientMessage", "check", 7, opt, "string"},
    {"sk.ServerMessage", "tag", 1, req, "sk.ServerMessage.ServerMessageTag"},
    {"sk.ServerMessage", "serial", 2, opt, "uint32"},
    {"sk.ServerMessage", "data", 3, rep, "bytes"},
    {"sk.ServerMessage", "result", 4, opt, "bool"},
    {"sk.ServerMessage", "error", 100, opt, "ox.Error"},

    // Lists.
    {"ox.StringList", "item", 1, rep, "string"},
    {"ox.PathList", "path", 1, rep, "string", nullptr, nullptr, "HINT_ABSPATH"},
    {"ox.IPAddressList", "ip", 1, rep, "ox.IPAddress"},
    {"ox.IPSocketList", "ip", 1, rep, "ox.IPSocket"},
    {"ox.IPNetworkList", "network", 1, rep, "ox.IPNetwork"},
    {"ox.IPList", "net_list", 1, req, "ox.IPNetworkList"},
    {"ox.IPList", "addr_list", 2, req, "ox.IPAddressList"},
    {"ox.AnySocketList", "socket", 1, rep, "ox.AnySocket"},
    {"ox.UrlCategoryList", "item", 1, rep, "ox.UrlCategory"},
    {"ox.VirusTypeList", "item", 1, rep, "ox.VirusType"},
    {"ox.VirusList", "item", 1, rep, "ox.Virus"},
    {"ox.ProtocolList", "item", 1, rep, "ox.Protocol"},
    {"ox.StringPairList", "item", 1, rep, "ox.StringPair"},
    {"ox.ConnectionMatchList", "item", 1, rep, "ox.ConnectionMatch"},
    {"ox.DNSxLList", "item", 1, rep, "ox.DNSxL"},

    // Addresses and sockets.
    {"ox.IPAddress", "address", 1, req, "string"},
    {"ox.IPSocket", "address", 1, req, "string"},
    {"ox.IPSocket", "port", 2, req, "uint32"},
    {"ox.OptionalIPSocket", "socket", 1, opt, "ox.IPSocket"},
    {"ox.IPSocketAnyPort", "address", 1, req, "string"},
    {"ox.IPSocketAnyPort", "port", 2, req, "uint32"},
    {"ox.AnySocket", "local", 1, opt, "string", "type"},
    {"ox.AnySocket", "ip", 2, opt, "ox.IPSocket", "type"},
    {"ox.IPNetwork", "address", 1, req, "string"},
    {"ox.IPNetwork", "mask", 2, req, "uint32"},

    // Small shared types.
    {"ox.LocalUser", "name", 1, opt, "string"},
    {"ox.LocalUser", "uid", 2, opt, "int64"},
    {"ox.StringPair", "first", 1, req, "string"},
    {"ox.StringPair", "second", 2, req, "string"},

    // Option tree.
    {"ox.LexValue", "item", 1, rep, "string"},
    {"ox.LexOption", "key", 1, req, "string"},
    {"ox.LexOption", "value", 2, opt, "ox.LexValue", "data"},
    {"ox.LexOption", "map", 3, opt, "ox.LexMap", "data"},
    {"ox.LexMap", "option", 1, rep, "ox.LexOption"},

    // Rules.
    {"ox.RuleCondition", "negative", 1, opt, "bool", nullptr, "false"},
    {"ox.RuleCondition", "protocol_in_list", 2, opt, "ox.ProtocolList", "condition"},
    {"ox.RuleCondition", "sni_host_in_list", 3, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "sni_host_lookup", 4, opt, "string", "condition"},
    {"ox.RuleCondition", "sni_category_in_list", 5, opt, "ox.UrlCategoryList", "condition"},
    {"ox.RuleCondition", "sni_category_lookup", 6, opt, "string", "condition"},
    {"ox.RuleCondition", "url_host_in_list", 7, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "url_host_lookup", 8, opt, "string", "condition"},
    {"ox.RuleCondition", "url_category_in_list", 9, opt, "ox.UrlCategoryList", "condition"},
    {"ox.RuleCondition", "url_category_lookup", 10, opt, "string", "condition"},
    {"ox.RuleCondition", "threat_category_in_list", 11, opt, "ox.VirusTypeList", "condition"},
    {"ox.RuleCondition", "threat_category_lookup", 12, opt, "string", "condition"},
    {"ox.RuleCondition", "user_in_list", 13, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "user_lookup", 14, opt, "string", "condition"},
    {"ox.RuleCondition", "src_ip_in_list", 15, opt, "ox.IPList", "condition"},
    {"ox.RuleCondition", "src_ip_lookup", 16, opt, "string", "condition"},
    {"ox.RuleCondition", "total_spam_score_gt", 17, opt, "float", "condition"},
    {"ox.RuleCondition", "total_spam_score_lt", 18, opt, "float", "condition"},
    {"ox.RuleCondition", "proc_in_list", 19, opt, "ox.PathList", "condition"},
    {"ox.RuleCondition", "proc_lookup", 20, opt, "string", "condition"},
    {"ox.RuleCondition", "direction", 21, opt, "ox.Direction", "condition"},
    {"ox.RuleCondition", "divert", 22, opt, "ox.Divert", "condition"},
    {"ox.RuleCondition", "content_type_in_list", 23, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "content_type_lookup", 24, opt, "string", "condition"},
    {"ox.RuleCondition", "smtp_mail_from_match", 25, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "smtp_rcpt_to_match", 26, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "smtp_rcpt_to_all_match", 27, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "url_match_list", 28, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "url_match_lookup", 29, opt, "string", "condition"},
    {"ox.RuleCondition", "header_match", 30, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "body_match", 31, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "body_part_header_match", 32, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "attachment_name_match", 33, opt, "ox.StringList", "condition"},
    {"ox.RuleCondition", "connection_match_by_ip", 34, opt, "ox.StringPairList", "condition"},
    {"ox.RuleCondition", "connection_match_by_ip_lookup", 35, opt, "string", "condition"},
    {"ox.RuleCondition", "connection_match_by_sni_host", 36, opt, "ox.StringPairList", "condition"},
    {"ox.RuleCondition", "connection_match_by_sni_host_lookup", 37, opt, "string", "condition"},
    {"ox.RuleCondition", "connection_match_by_url", 38, opt, "ox.StringPairList", "condition"},
    {"ox.RuleCondition", "connection_match_by_url_lookup", 39, opt, "string", "condition"},
    {"ox.RuleCondition", "src_ip_dnsxl_in_list", 40, opt, "ox.DNSxLList", "condition"},
    {"ox.RuleCondition", "url_host_dnsxl_in_list", 41, opt, "ox.DNSxLList", "condition"},
    {"ox.RuleCondition", "list_file", 1000, opt, "string", nullptr, nullptr, "HINT_ABSPATH"},
    {"ox.RuleMatch", "sni_category", 1, opt, "ox.UrlCategoryList", "match"},
    {"ox.RuleMatch", "url_category", 2, opt, "ox.UrlCategoryList", "match"},
    {"ox.RuleMatch", "threat_category", 3, opt, "ox.VirusTypeList", "match"},
    {"ox.RuleActionRepack", "description", 1, opt, "string"},
    {"ox.RuleActionReject", "description", 1, opt, "string"},
    {"ox.RuleActionTempfail", "description", 1, opt, "string"},
    {"ox.RuleActionAddHeader", "name", 1, req, "string"},
    {"ox.RuleActionAddHeader", "value", 2, req, "string"},
    {"ox.RuleActionChangeHeader", "name", 1, req, "string"},
    {"ox.RuleActionChangeHeader", "value_components", 2, rep, "ox.RuleActionChangeHeader.Value"},
    {"ox.RuleActionChangeHeader.Value", "literal", 1, opt, "string", "value"},
    {"ox.RuleActionChangeHeader.Value", "original_value", 2, opt, "ox.RuleActionChangeHeader.Value.OriginalValue",
     "value"},
    {"ox.RuleAction", "_match", 1, opt, "ox.RuleMatch"},
    {"ox.RuleAction", "block_as_match", 2, opt, "ox.RuleActionBlock", "action"},
    {"ox.RuleAction", "block_as_blacklist", 3, opt, "ox.RuleActionBlock", "action"},
    {"ox.RuleAction", "reject", 4, opt, "ox.RuleActionReject", "action"},
    {"ox.RuleAction", "discard", 5, opt, "ox.RuleActionDiscard", "action"},
    {"ox.RuleAction", "tempfail", 6, opt, "ox.RuleActionTempfail", "action"},
    {"ox.RuleAction", "repack", 8, opt, "ox.RuleActionRepack", "action"},
    {"ox.RuleAction", "pass", 9, opt, "ox.RuleActionPass", "action"},
    {"ox.RuleAction", "set_unwrap_ssl", 10, opt, "bool", "action"},
    {"ox.RuleAction", "set_http_templates_dir", 11, opt, "string", "action"},
    {"ox.RuleAction", "set_mail_templates_dir", 12, opt, "string", "action"},
    {"ox.RuleAction", "repack_as_match", 13, opt, "ox.RuleActionRepackAsMatch", "action"},
    {"ox.RuleAction", "add_header", 14, opt, "ox.RuleActionAddHeader", "action"},
    {"ox.RuleAction", "change_header", 15, opt, "ox.RuleActionChangeHeader", "action"},
    {"ox.RuleAction", "ask", 16, opt, "ox.RuleActionAsk", "action"},
    {"ox.Rule", "condition", 1, rep, "ox.RuleCondition"},
    {"ox.Rule", "action", 2, req, "ox.RuleAction"},
    {"ox.RuleVariable", "protocol", 1, opt, "ox.Protocol", "variable"},
    {"ox.RuleVariable", "sni_host", 2, opt, "string", "variable"},
    {"ox.RuleVariable", "url_host", 3, opt, "string", "variable"},
    {"ox.RuleVariable", "sni_category", 4, opt, "ox.UrlCategoryList", "variable"},
    {"ox.RuleVariable", "url_category", 5, opt, "ox.UrlCategoryList", "variable"},
    {"ox.RuleVariable", "scan_report", 6, opt, "ox.ScanReport", "variable"},
    {"ox.RuleVariable", "user_name", 7, opt, "string", "variable"},
    {"ox.RuleVariable", "src_address", 8, opt, "ox.IPSocket", "variable"},
    {"ox.RuleVariable", "dst_address", 9, opt, "ox.IPSocket", "variable"},
    {"ox.RuleVariable", "total_spam_score", 10, opt, "float", "variable"},
    {"ox.RuleVariable", "exe_path", 11, opt, "string", "variable"},
    {"ox.RuleVariable", "direction", 12, opt, "ox.Direction", "variable"},
    {"ox.RuleVariable", "divert", 13, opt, "ox.Divert", "variable"},
    {"ox.RuleVariable", "unwrap_ssl", 14, opt, "bool", "variable"},
    {"ox.RuleVariable", "http_templates_dir", 15, opt, "string", "variable"},
    {"ox.RuleVariable", "mail_templates_dir", 16, opt, "string", "variable"},
    {"ox.RuleVariable", "content_type", 17, opt, "string", "variable"},
    {"ox.RuleVariable", "smtp_mail_from", 18, opt, "string", "variable"},
    {"ox.RuleVariable", "smtp_rcpt_to", 19, opt, "ox.StringList", "variable"},
    {"ox.RuleVariable", "url", 20, opt, "string", "variable"},
    {"ox.RuleVariable", "header", 21, opt, "ox.StringList", "variable"},
    {"ox.RuleVariable", "body", 22, opt, "ox.StringList", "variable"},
    {"ox.RuleVariable", "src_ip_dnsxl_report", 23, opt, "ox.DNSxLReport", "variable"},
    {"ox.RuleVariable", "url_host_dnsxl_report", 24, opt, "ox.DNSxLReport", "variable"},
    {"ox.RuleSet", "rule", 1, rep, "ox.Rule"},
    {"ox.RuleSet", "variable", 2, rep, "ox.RuleVariable"},

    // Connection matches and DNSxL.
    {"ox.ConnectionMatch", "exe_path", 1, opt, "string"},
    {"ox.ConnectionMatch", "address", 2, opt, "string"},
    {"ox.ConnectionMatch", "port", 3, opt, "uint32"},
    {"ox.DNSxL", "zone", 1, req, "string"},
    {"ox.DNSxL", "mask", 2, req, "uint32"},
    {"ox.DNSxL", "value", 3, req, "uint32"},
    {"ox.DNSxLReport", "zone", 1, req, "string"},
    {"ox.DNSxLReport", "resource", 2, req, "string"},
    {"ox.DNSxLReport", "record", 3, rep, "uint32"},

    // Identifiers.
    {"ox.UUID", "uuid", 1, req, "string"},
    {"ox.UUID", "timestamp", 2, req, "uint64"},
};

const std::vector<enum_row> enums = {
    {"ox.TRAXD2PilotdMessage.MessageTag", "GET_CONFIG_REQUEST", 1},
    {"ox.TRAXD2PilotdMessage.MessageTag", "MY_INFO_NOTIFICATION", 2},
    {"ox.TRAXD2PilotdMessage.MessageTag", "MY_STAT_NOTIFICATION", 3},
    {"ox.TRAXD2PilotdMessage.MessageTag", "MY_INCIDENTS_NOTIFICATION", 4},
    {"ox.TRAXD2PilotdMessage.MessageTag", "GET_VETTER_REQUEST", 5},
    {"ox.TRAXD2PilotdMessage.MessageTag", "GET_SEEKD_REQUEST", 7},
    {"ox.TRAXD2PilotdMessage.MessageTag", "GET_TAGGER_REQUEST", 8},
    {"ox.Pilotd2TRAXDMessage.MessageTag", "GET_CONFIG_RESPONSE", 1},
    {"ox.Pilotd2TRAXDMessage.MessageTag", "GET_VETTER_RESPONSE", 2},
    {"ox.Pilotd2TRAXDMessage.MessageTag", "GET_KEEPERD_RESPONSE", 3},
    {"ox.Pilotd2TRAXDMessage.MessageTag", "GET_SEEKD_RESPONSE", 4},
    {"ox.Pilotd2TRAXDMessage.MessageTag", "APPINFO_NOTIFICATION", 5},
    {"ox.Pilotd2TRAXDMessage.MessageTag", "GET_TAGGER_RESPONSE", 6},

    {"vr.HashType", "SHA1", 1},
    {"vr.HashType", "SHA256", 2},
    {"vr.ClientMessage.ClientMessageTag", "HELLO", 1},
    {"vr.ClientMessage.ClientMessageTag", "INIT", 2},
    {"vr.ClientMessage.ClientMessageTag", "DATA_CHUNK", 3},
    {"vr.ClientMessage.ClientMessageTag", "SCAN_REQUEST", 4},
    {"vr.ClientMessage.ClientMessageTag", "GET_DATA_REQUEST", 5},
    {"vr.ClientMessage.ClientMessageTag", "RESET", 6},
    {"vr.ServerMessage.ServerMessageTag", "SCAN_RESPONSE", 1},
    {"vr.ServerMessage.ServerMessageTag", "GET_DATA_RESPONSE", 2},
    {"vr.ServerMessage.ServerMessageTag", "DATA_CHUNK", 3},
    {"vr.ServerMessage.ServerMessageTag", "ALARM", 4},
    {"vr.ServerMessage.ServerMessageTag", "ADJUST_WINDOW", 5},

    {"tg.ClientMessage.ClientMessageTag", "CHECK_URL_REQUEST", 1},
    {"tg.ServerMessage.ServerMessageTag", "CHECK_URL_RESPONSE", 1},

    {"sk.LookupType", "LOOKUP_LDAP", 0, "ldap"},
    {"sk.LookupType", "LOOKUP_AD", 1, "ad"},
    {"sk.LookupType", "LOOKUP_PQ", 20, "pq"},
    {"sk.LookupType", "LOOKUP_SQLITE", 21, "sqlite"},
    {"sk.LookupType", "LOOKUP_MYSQL", 22, "mysql"},
    {"sk.LookupType", "LOOKUP_REDIS", 23, "redis"},
    {"sk.LookupType", "LOOKUP_ALLMATCH", 40, "allmatch"},
    {"sk.LookupType", "LOOKUP_REGEX", 41, "regex"},
    {"sk.LookupType", "LOOKUP_CIDR", 42, "cidr"},
    {"sk.LookupType", "LOOKUP_MASK", 43, "mask"},
    {"sk.ClientMessage.ClientMessageTag", "LOOKUP_REQUEST", 1},
    {"sk.ClientMessage.ClientMessageTag", "CHECK_REQUEST", 2},
    {"sk.ServerMessage.ServerMessageTag", "LOOKUP_RESPONSE", 1},
    {"sk.ServerMessage.ServerMessageTag", "CHECK_RESPONSE", 2},

    {"ox.Protocol", "SMTP", 1},
    {"ox.Protocol", "POP3", 2},
    {"ox.Protocol", "IMAP", 3},
    {"ox.Protocol", "HTTP", 4},
    {"ox.Protocol", "FTP", 5},

    {"ox.UrlCategory", "UC_INFECTION_SOURCE", 1, "Known infection source"},
    {"ox.UrlCategory", "UC_NOT_RECOMMENDED", 2, "Not recommended site"},
    {"ox.UrlCategory", "UC_ADULT_CONTENT", 3, "Adult content"},
    {"ox.UrlCategory", "UC_VIOLENCE", 4, "Violence"},
    {"ox.UrlCategory", "UC_WEAPONS", 5, "Weapons"},
    {"ox.UrlCategory", "UC_GAMBLING", 6, "Gambling"},
    {"ox.UrlCategory", "UC_DRUGS", 7, "Drugs"},
    {"ox.UrlCategory", "UC_OBSCENE_LANGUAGE", 8, "Obscene language"},
    {"ox.UrlCategory", "UC_CHATS", 9, "Chats"},
    {"ox.UrlCategory", "UC_TERRORISM", 10, "Terrorism"},
    {"ox.UrlCategory", "UC_FREE_EMAIL", 11, "Free email service"},
    {"ox.UrlCategory", "UC_SOCIAL_NETWORKS", 12, "Social networks"},
    {"ox.UrlCategory", "UC_OWNERS_NOTICE", 13, "Copyright owner's notice"},
    {"ox.UrlCategory", "UC_ONLINE_GAMES", 14, "Online games"},
    {"ox.UrlCategory", "UC_ANONYMIZERS", 15, "Anonymizers"},
    {"ox.UrlCategory", "UC_CRYPTOCURRENCY_MINING_POOLS", 16, "Cryptocurrency mining pools"},
    {"ox.UrlCategory", "UC_JOBS", 17, "Jobs"},
    {"ox.UrlCategory", "UC_BLACK_LIST", 20, "Black list"},

    {"ox.Direction", "D_REQUEST", 1, "request"},
    {"ox.Direction", "D_RESPONSE", 2, "response"},
    {"ox.Divert", "D_INPUT", 1, "input"},
    {"ox.Divert", "D_OUTPUT", 2, "output"},
    {"ox.Divert", "D_FORWARD", 3, "forward"},

    {"ox.ConfigMode", "CONFIG_MODE_SPECIFIED", 0, "Specified configuration"},
    {"ox.ConfigMode", "CONFIG_MODE_FALLBACK", 1, "Fallback configuration"},
};

std::string type_text(const FieldDescriptor& f)
{
    if (f.message_type() != nullptr) {
        return f.message_type()->full_name();
    }
    if (f.enum_type() != nullptr) {
        return f.enum_type()->full_name();
    }
    return f.type_name();
}

std::string label_text(const FieldDescriptor& f)
{
    if (f.is_required()) {
        return req;
    }
    return f.is_repeated() ? rep : opt;
}

std::string default_text(const FieldDescriptor& f)
{
    switch (f.cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
        return std::to_string(f.default_value_int32());
    case FieldDescriptor::CPPTYPE_INT64:
        return std::to_string(f.default_value_int64());
    case FieldDescriptor::CPPTYPE_UINT32:
        return std::to_string(f.default_value_uint32());
    case FieldDescriptor::CPPTYPE_UINT64:
        return std::to_string(f.default_value_uint64());
    case FieldDescriptor::CPPTYPE_FLOAT:
        return std::to_string(f.default_value_float());
    case FieldDescriptor::CPPTYPE_DOUBLE:
        return std::to_string(f.default_value_double());
    case FieldDescriptor::CPPTYPE_BOOL:
        return f.default_value_bool() ? "true" : "false";
    case FieldDescriptor::CPPTYPE_STRING:
        return f.default_value_string();
    case FieldDescriptor::CPPTYPE_ENUM:
        return f.default_value_enum()->name();
    case FieldDescriptor::CPPTYPE_MESSAGE:
        break;
    }
    return "";
}

// Every message and enum of a file, nested ones included.
void collect(const Descriptor& d, std::set<std::string>& messages, std::set<std::string>& enums)
{
    messages.insert(d.full_name());
    for (int i = 0; i < d.nested_type_count(); ++i) {
        collect(*d.nested_type(i), messages, enums);
    }
    for (int i = 0; i < d.enum_type_count(); ++i) {
        enums.insert(d.enum_type(i)->full_name());
    }
}

const Descriptor* message_named(const std::string& name)
{
    return google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(name);
}

const EnumDescriptor* enum_named(const std::string& name)
{
    return google::protobuf::DescriptorPool::generated_pool()->FindEnumTypeByName(name);
}

TEST(protocol_schemas, files_hold_their_packages_imports_and_types)
{
    for (const auto& row : files) {
        SCOPED_TRACE(row.name);
        const FileDescriptor* file = row.anchor();
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->name(), row.name);
        EXPECT_EQ(file->package(), row.package);
        EXPECT_EQ(file->syntax(), FileDescriptor::SYNTAX_PROTO2);

        std::vector<std::string> imports;
        for (int i = 0; i < file->dependency_count(); ++i) {
            imports.push_back(file->dependency(i)->name());
        }
        EXPECT_EQ(imports, row.imports);

        std::set<std::string> messages;
        std::set<std::string> found_enums;
        for (int i = 0; i < file->message_type_count(); ++i) {
            collect(*file->message_type(i), messages, found_enums);
        }
        for (int i = 0; i < file->enum_type_count(); ++i) {
            found_enums.insert(file->enum_type(i)->full_name());
        }
        EXPECT_EQ(messages, std::set<std::string>(row.messages.begin(), row.messages.end()));
        EXPECT_EQ(found_enums, std::set<std::string>(row.enums.begin(), row.enums.end()));
        EXPECT_EQ(file->extension_count(), 0);
        EXPECT_EQ(file->service_count(), 0);
    }
}

TEST(protocol_schemas, rule_messages_keep_their_declaration_order)
{
    const FileDescriptor* file = ox::RuleSet::descriptor()->file();
    const auto& expected = std::find_if(files.begin(), files.end(), [](const file_row& r) {
                               return std::string(r.name) == "rules.proto";
                           })->messages;
    ASSERT_GE(file->message_type_count(), 16);
    for (int i = 0; i < file->message_type_count(); ++i) {
        EXPECT_EQ(file->message_type(i)->full_name(), expected[i]) << "position " << i;
    }
    ASSERT_EQ(file->enum_type_count(), 2);
    EXPECT_EQ(file->enum_type(0)->name(), "Direction");
    EXPECT_EQ(file->enum_type(1)->name(), "Divert");

    // The oneof of a condition stands between `negative` and `list_file`.
    const Descriptor* condition = ox::RuleCondition::descriptor();
    for (int i = 1; i < condition->field_count(); ++i) {
        EXPECT_LT(condition->field(i - 1)->number(), condition->field(i)->number());
    }
}

TEST(protocol_schemas, every_field_matches_the_table)
{
    std::map<std::string, std::set<int>> listed;
    for (const auto& row : fields) {
        SCOPED_TRACE(std::string(row.message) + "." + row.name);
        listed[row.message].insert(row.number);
        const Descriptor* message = message_named(row.message);
        ASSERT_NE(message, nullptr) << "no message " << row.message;
        const FieldDescriptor* f = message->FindFieldByNumber(row.number);
        ASSERT_NE(f, nullptr) << "no field number " << row.number;
        EXPECT_EQ(f->name(), row.name);
        EXPECT_EQ(label_text(*f), row.label);
        EXPECT_EQ(type_text(*f), row.type);
        EXPECT_FALSE(f->is_packed());
        EXPECT_FALSE(f->is_map());
        EXPECT_FALSE(f->is_extension());

        const auto* oneof = f->containing_oneof();
        EXPECT_EQ(oneof != nullptr ? oneof->name() : std::string("-"), row.oneof != nullptr ? row.oneof : "-");

        EXPECT_EQ(f->has_default_value(), row.default_value != nullptr);
        if (row.default_value != nullptr) {
            EXPECT_EQ(default_text(*f), row.default_value);
        }

        const auto& options = f->options();
        EXPECT_EQ(options.HasExtension(ox::hint), row.hint != nullptr);
        if (row.hint != nullptr) {
            EXPECT_EQ(ox::LexHint_Name(options.GetExtension(ox::hint)), row.hint);
        }
    }

    // Nothing in the descriptors that the table lacks.
    for (const auto& file : files) {
        for (const auto& name : file.messages) {
            SCOPED_TRACE(name);
            const Descriptor* message = message_named(name);
            ASSERT_NE(message, nullptr);
            for (int i = 0; i < message->field_count(); ++i) {
                EXPECT_TRUE(listed[name].count(message->field(i)->number()) == 1)
                    << "field " << message->field(i)->name() << " = " << message->field(i)->number()
                    << " is not in the table";
            }
            EXPECT_EQ(message->extension_range_count(), 0);
            EXPECT_EQ(message->reserved_range_count(), 0);
            EXPECT_EQ(message->reserved_name_count(), 0);
            EXPECT_EQ(message->extension_count(), 0);
            EXPECT_FALSE(message->options().HasExtension(ox::app));
            EXPECT_FALSE(message->options().HasExtension(ox::ini_section));
        }
    }
}

TEST(protocol_schemas, every_enum_value_matches_the_table)
{
    std::map<std::string, std::set<int>> listed;
    for (const auto& row : enums) {
        SCOPED_TRACE(std::string(row.enum_name) + "." + row.value);
        listed[row.enum_name].insert(row.number);
        const EnumDescriptor* e = enum_named(row.enum_name);
        ASSERT_NE(e, nullptr) << "no enum " << row.enum_name;
        const auto* v = e->FindValueByNumber(row.number);
        ASSERT_NE(v, nullptr) << "no value number " << row.number;
        EXPECT_EQ(v->name(), row.value);
        const auto& options = v->options();
        EXPECT_EQ(options.HasExtension(ox::lex), row.lex != nullptr);
        if (row.lex != nullptr) {
            EXPECT_EQ(options.GetExtension(ox::lex), row.lex);
        }
    }

    for (const auto& file : files) {
        for (const auto& name : file.enums) {
            SCOPED_TRACE(name);
            const EnumDescriptor* e = enum_named(name);
            ASSERT_NE(e, nullptr);
            for (int i = 0; i < e->value_count(); ++i) {
                EXPECT_TRUE(listed[name].count(e->value(i)->number()) == 1)
                    << "value " << e->value(i)->name() << " = " << e->value(i)->number() << " is not in the table";
            }
            EXPECT_FALSE(e->options().has_allow_alias() && e->options().allow_alias());
        }
    }
}

TEST(protocol_schemas, enum_fields_without_a_default_read_as_the_first_value)
{
    const struct {
        const EnumDescriptor* e;
        int first;
    } cases[] = {
        {sk::LookupType_descriptor(), sk::LOOKUP_LDAP},
        {ox::ConfigMode_descriptor(), ox::CONFIG_MODE_SPECIFIED},
        {ox::Direction_descriptor(), ox::D_REQUEST},
        {ox::Divert_descriptor(), ox::D_INPUT},
        {ox::UrlCategory_descriptor(), ox::UC_INFECTION_SOURCE},
        {ox::Protocol_descriptor(), ox::SMTP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.e->full_name());
        EXPECT_EQ(c.e->value(0)->number(), c.first);
    }
    EXPECT_EQ(ox::RuleCondition::default_instance().direction(), ox::D_REQUEST);
    EXPECT_EQ(ox::RuleVariable::default_instance().divert(), ox::D_INPUT);
    EXPECT_EQ(sk::ClientMessage::default_instance().lookup_type(), sk::LOOKUP_LDAP);
}

TEST(protocol_schemas, validity_tests_accept_exactly_the_listed_numbers)
{
    const struct {
        const char* name;
        bool (*is_valid)(int);
        std::set<int> valid;
    } cases[] = {
        {"ox.UrlCategory", ox::UrlCategory_IsValid, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 20}},
        {"ox.Protocol", ox::Protocol_IsValid, {1, 2, 3, 4, 5}},
        {"ox.Direction", ox::Direction_IsValid, {1, 2}},
        {"ox.Divert", ox::Divert_IsValid, {1, 2, 3}},
        {"ox.ConfigMode", ox::ConfigMode_IsValid, {0, 1}},
        {"sk.LookupType", sk::LookupType_IsValid, {0, 1, 20, 21, 22, 23, 40, 41, 42, 43}},
        {"vr.HashType", vr::HashType_IsValid, {1, 2}},
        {"ox.TRAXD2PilotdMessage.MessageTag", ox::TRAXD2PilotdMessage_MessageTag_IsValid, {1, 2, 3, 4, 5, 7, 8}},
        {"ox.Pilotd2TRAXDMessage.MessageTag", ox::Pilotd2TRAXDMessage_MessageTag_IsValid, {1, 2, 3, 4, 5, 6}},
        {"vr.ServerMessage.ServerMessageTag", vr::ServerMessage_ServerMessageTag_IsValid, {1, 2, 3, 4, 5}},
        {"tg.ServerMessage.ServerMessageTag", tg::ServerMessage_ServerMessageTag_IsValid, {1}},
        {"sk.ServerMessage.ServerMessageTag", sk::ServerMessage_ServerMessageTag_IsValid, {1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int n = -1; n <= 64; ++n) {
            EXPECT_EQ(c.is_valid(n), c.valid.count(n) == 1) << n;
        }
    }
}

TEST(protocol_schemas, the_lookup_kind_shown_as_mysql_is_22)
{
    const EnumDescriptor* kinds = sk::LookupType_descriptor();
    int found = -1;
    for (int i = 0; i < kinds->value_count(); ++i) {
        if (kinds->value(i)->options().GetExtension(ox::lex) == "mysql") {
            found = kinds->value(i)->number();
        }
    }
    EXPECT_EQ(found, 22);
    EXPECT_EQ(found, sk::LOOKUP_MYSQL);
}

} // namespace
