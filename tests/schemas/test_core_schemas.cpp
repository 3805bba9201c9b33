// Checks the generated descriptors of the core schema files against tables
// written down independently of the .proto sources: every message, field,
// enum value, extension and option, so that a slip in either shows here.

#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "schemas/annotation.pb.h"
#include "schemas/application.pb.h"
#include "schemas/config_mode.pb.h"
#include "schemas/connection_match.pb.h"
#include "schemas/dnsxl.pb.h"
#include "schemas/error.pb.h"
#include "schemas/incident.pb.h"
#include "schemas/lexmap.pb.h"
#include "schemas/list.pb.h"
#include "schemas/local_user.pb.h"
#include "schemas/log.pb.h"
#include "schemas/lua_chunk.pb.h"
#include "schemas/network.pb.h"
#include "schemas/pair.pb.h"
#include "schemas/pilotd_traxd_ipc.pb.h"
#include "schemas/protocol.pb.h"
#include "schemas/root_appinfo.pb.h"
#include "schemas/rules.pb.h"
#include "schemas/scan_report.pb.h"
#include "schemas/seekd_client_ipc.pb.h"
#include "schemas/socket.pb.h"
#include "schemas/tagger_client_ipc.pb.h"
#include "schemas/traxd_appinfo.pb.h"
#include "schemas/traxd_appstat.pb.h"
#include "schemas/traxd_config.pb.h"
#include "schemas/url_category.pb.h"
#include "schemas/uuid.pb.h"
#include "schemas/vetter_client_ipc.pb.h"

namespace {

namespace gp = google::protobuf;
using gp::FieldDescriptor;

// ---------------------------------------------------------------------------
// Expected shape
// ---------------------------------------------------------------------------

// Every schema file with its package and its imports in file order. `core`
// marks the files whose messages and enums the tables below describe whole.
// Each row names one generated type of the file, which also makes sure the
// file's generated code is linked in and registered.
struct file_spec {
    std::string_view name;
    std::string_view package;
    std::string_view imports; // space separated, in order
    bool core;
    const gp::FileDescriptor* (*file)();
};

constexpr file_spec files[] = {
    {"annotation.proto", "ox", "google/protobuf/descriptor.proto", true,
     [] { return ox::LexHint_descriptor()->file(); }},
    {"error.proto", "ox", "annotation.proto", true, [] { return ox::Error::descriptor()->file(); }},
    {"application.proto", "ox", "annotation.proto error.proto", true, [] { return ox::AppInfo::descriptor()->file(); }},
    {"root_appinfo.proto", "ox", "application.proto config_mode.proto uuid.proto", true,
     [] { return ox::RootAppInfo::descriptor()->file(); }},
    {"log.proto", "ox", "annotation.proto", true, [] { return ox::Log::descriptor()->file(); }},
    {"scan_report.proto", "ox", "annotation.proto", true, [] { return ox::ScanReport::descriptor()->file(); }},
    {"incident.proto", "ox",
     "annotation.proto application.proto protocol.proto scan_report.proto socket.proto "
     "url_category.proto",
     true, [] { return ox::NetIncident::descriptor()->file(); }},
    {"traxd_config.proto", "ox",
     "annotation.proto application.proto list.proto local_user.proto log.proto lua_chunk.proto "
     "rules.proto socket.proto",
     true, [] { return ox::TRAXDConfig::descriptor()->file(); }},
    {"lua_chunk.proto", "ox", "", true, [] { return ox::LuaChunk::descriptor()->file(); }},
    {"traxd_appinfo.proto", "ox", "application.proto error.proto", true,
     [] { return ox::TRAXDAppInfo::descriptor()->file(); }},
    {"traxd_appstat.proto", "ox", "application.proto", true, [] { return ox::TRAXDAppStat::descriptor()->file(); }},
    {"pilotd_traxd_ipc.proto", "ox",
     "application.proto error.proto traxd_appinfo.proto traxd_appstat.proto traxd_config.proto "
     "incident.proto",
     false, [] { return ox::TRAXD2PilotdMessage::descriptor()->file(); }},
    {"vetter_client_ipc.proto", "vr", "application.proto error.proto scan_report.proto", false,
     [] { return vr::ClientMessage::descriptor()->file(); }},
    {"tagger_client_ipc.proto", "tg", "error.proto list.proto url_category.proto", false,
     [] { return tg::ClientMessage::descriptor()->file(); }},
    {"seekd_client_ipc.proto", "sk", "annotation.proto error.proto", false,
     [] { return sk::ClientMessage::descriptor()->file(); }},
    {"list.proto", "ox",
     "annotation.proto network.proto scan_report.proto socket.proto url_category.proto "
     "protocol.proto pair.proto connection_match.proto dnsxl.proto",
     false, [] { return ox::StringList::descriptor()->file(); }},
    {"socket.proto", "ox", "", false, [] { return ox::IPSocket::descriptor()->file(); }},
    {"network.proto", "ox", "", false, [] { return ox::IPNetwork::descriptor()->file(); }},
    {"local_user.proto", "ox", "", false, [] { return ox::LocalUser::descriptor()->file(); }},
    {"pair.proto", "ox", "", false, [] { return ox::StringPair::descriptor()->file(); }},
    {"protocol.proto", "ox", "", false, [] { return ox::Protocol_descriptor()->file(); }},
    {"url_category.proto", "ox", "annotation.proto", false, [] { return ox::UrlCategory_descriptor()->file(); }},
    {"lexmap.proto", "ox", "", false, [] { return ox::LexMap::descriptor()->file(); }},
    {"rules.proto", "ox", "annotation.proto list.proto protocol.proto scan_report.proto socket.proto dnsxl.proto",
     false, [] { return ox::RuleSet::descriptor()->file(); }},
    {"connection_match.proto", "ox", "", false, [] { return ox::ConnectionMatch::descriptor()->file(); }},
    {"dnsxl.proto", "ox", "", false, [] { return ox::DNSxL::descriptor()->file(); }},
    {"uuid.proto", "ox", "", false, [] { return ox::UUID::descriptor()->file(); }},
    {"config_mode.proto", "ox", "annotation.proto", false, [] { return ox::ConfigMode_descriptor()->file(); }},
};

// Messages of the core files, nested ones included. Extension ranges are
// written "first-last" (inclusive); reserved numbers space separated.
struct message_spec {
    std::string_view name;
    std::string_view file;
    std::string_view extension_ranges = {};
    std::string_view reserved = {};
    int app = 0;                       // `app` message option, 0 when not set
    std::string_view ini_section = {}; // `ini_section` message option
};

constexpr message_spec messages[] = {
    {"ox.Error", "error.proto"},
    {"ox.AppInfo", "application.proto", "1-999"},
    {"ox.AppStat", "application.proto", "1-999"},
    {"ox.ComponentControl", "application.proto"},
    {"ox.AppConfig", "application.proto", "1-999"},
    {"ox.AppExeInfo", "application.proto"},
    {"ox.InstalledApp", "root_appinfo.proto"},
    {"ox.RootAppInfo", "root_appinfo.proto"},
    {"ox.Log", "log.proto"},
    {"ox.Archive", "scan_report.proto"},
    {"ox.Virus", "scan_report.proto"},
    {"ox.ScanReport", "scan_report.proto"},
    {"ox.Connection", "incident.proto"},
    {"ox.ConnectionBlock", "incident.proto"},
    {"ox.HttpBlock", "incident.proto"},
    {"ox.MailIncident", "incident.proto"},
    {"ox.MailIncident.Viruses", "incident.proto"},
    {"ox.MailIncident.UrlCategories", "incident.proto"},
    {"ox.MailIncident.Spam", "incident.proto"},
    {"ox.MailIncident.Other", "incident.proto"},
    {"ox.NetIncident", "incident.proto"},
    {"ox.TRAXDConfig", "traxd_config.proto", {}, "1001 1004", 21, "TRAXD"},
    {"ox.LuaChunk", "lua_chunk.proto"},
    {"ox.TRAXDAppInfo", "traxd_appinfo.proto"},
    {"ox.TRAXDConnectionStat", "traxd_appstat.proto"},
    {"ox.TRAXDRequestStat", "traxd_appstat.proto"},
    {"ox.TRAXDAppStat", "traxd_appstat.proto"},
};

enum class lab { opt, req, rep };

// One field. `type` is the scalar type name, "enum <full name>" or the full
// name of a message. `def` is the default: empty for the zero of a scalar or
// for a message or repeated field, the value name for an enum field (its
// enum's first value unless declared), and "=<text>" when the schema declares
// the default itself.
struct field_spec {
    std::string_view message;
    std::string_view name;
    int number;
    lab label;
    std::string_view type;
    std::string_view def = {};
    std::string_view oneof = {};
    std::string_view hint = {};
};

constexpr auto O = lab::opt;
constexpr auto R = lab::req;
constexpr auto P = lab::rep;

constexpr field_spec fields[] = {
    // error.proto
    {"ox.Error", "code", 1, R, "enum ox.ErrorCode", "EC_OK"},
    {"ox.Error", "what", 2, O, "string"},

    // application.proto
    {"ox.AppInfo", "app", 1000, R, "enum ox.Application", "APP_PILOTD"},
    {"ox.AppInfo", "pid", 1001, R, "int32"},
    {"ox.AppInfo", "config_revision", 1002, O, "uint32"},
    {"ox.AppInfo", "switch_on_time", 1100, O, "uint64"},
    {"ox.AppInfo", "switch_off_time", 1101, O, "uint64"},
    {"ox.AppInfo", "exit_time", 1102, O, "uint64"},
    {"ox.AppInfo", "exit_code", 1103, O, "enum ox.ErrorCode", "EC_OK"},
    {"ox.AppInfo", "suspended", 1110, O, "bool"},
    {"ox.AppInfo", "suspend_time", 1111, O, "uint64"},
    {"ox.AppInfo", "resume_time", 1112, O, "uint64"},
    {"ox.AppStat", "app", 1000, R, "enum ox.Application", "APP_PILOTD"},
    {"ox.AppStat", "pid", 1001, R, "int32"},
    {"ox.AppConfig", "app", 1000, R, "enum ox.Application", "APP_PILOTD"},
    {"ox.ComponentControl", "app", 1, R, "enum ox.Application", "APP_PILOTD"},
    {"ox.ComponentControl", "suspended", 2, R, "bool"},
    {"ox.AppExeInfo", "version", 1, O, "string"},
    {"ox.AppExeInfo", "install_time", 2, O, "uint64"},
    {"ox.AppExeInfo", "modification_time", 3, O, "uint64"},
    {"ox.AppExeInfo", "exe_size", 4, O, "uint64"},
    {"ox.AppExeInfo", "exe_md5", 5, O, "bytes"},
    {"ox.AppExeInfo", "exe_owner", 6, O, "bytes"},

    // root_appinfo.proto
    {"ox.InstalledApp", "app", 1, R, "enum ox.Application", "APP_PILOTD"},
    {"ox.InstalledApp", "exe_path", 2, R, "string"},
    {"ox.InstalledApp", "install_time", 3, R, "uint64"},
    {"ox.InstalledApp", "ini_section", 4, R, "string"},
    {"ox.InstalledApp", "version", 5, O, "string"},
    {"ox.InstalledApp", "exe_size", 6, O, "uint64"},
    {"ox.InstalledApp", "exe_md5", 7, O, "bytes"},
    {"ox.InstalledApp", "exe_owner", 8, O, "bytes"},
    {"ox.InstalledApp", "modification_time", 9, O, "uint64"},
    {"ox.RootAppInfo", "installed_app", 1, P, "ox.InstalledApp"},
    {"ox.RootAppInfo", "runlist", 2, P, "enum ox.Application"},
    {"ox.RootAppInfo", "uuid", 3, O, "ox.UUID"},
    {"ox.RootAppInfo", "config_mode", 10, R, "enum ox.ConfigMode", "CONFIG_MODE_SPECIFIED"},

    // log.proto
    {"ox.Log", "type", 1, R, "enum ox.Log.LogType", "SYSLOG"},
    {"ox.Log", "facility", 2, O, "enum ox.Log.LogFacility", "DAEMON"},
    {"ox.Log", "ident", 3, O, "string"},
    {"ox.Log", "path", 10, O, "string"},
    {"ox.Log", "show_timestamp", 20, O, "bool"},

    // scan_report.proto
    {"ox.Archive", "type", 1, R, "enum ox.ArchiveType", "SE_ARCHIVE"},
    {"ox.Archive", "name", 2, R, "string"},
    {"ox.Virus", "type", 1, R, "enum ox.VirusType", "SE_KNOWN_VIRUS"},
    {"ox.Virus", "name", 2, R, "string"},
    {"ox.ScanReport", "object", 1, R, "bytes"},
    {"ox.ScanReport", "size", 2, O, "uint64"},
    {"ox.ScanReport", "packer", 3, P, "string"},
    {"ox.ScanReport", "archive", 4, O, "ox.Archive"},
    {"ox.ScanReport", "compressed_size", 5, O, "uint64"},
    {"ox.ScanReport", "virus", 6, P, "ox.Virus"},
    {"ox.ScanReport", "error", 7, O, "enum ox.ScanError", "SE_PATH_NOT_ABSOLUTE"},
    {"ox.ScanReport", "cured", 8, O, "bool", "=false"},
    {"ox.ScanReport", "cured_by_deletion", 9, O, "bool", "=false"},
    {"ox.ScanReport", "boot", 10, O, "bool", "=false"},
    {"ox.ScanReport", "heuristic_analysis", 11, O, "bool"},
    {"ox.ScanReport", "scan_timeout_ms", 12, O, "uint32"},
    {"ox.ScanReport", "compression_ratio", 13, O, "uint32"},
    {"ox.ScanReport", "core_fingerprint", 14, O, "bytes"},
    {"ox.ScanReport", "new_path", 15, O, "bytes"},
    {"ox.ScanReport", "cloud", 16, O, "bool"},
    {"ox.ScanReport", "item", 20, P, "ox.ScanReport"},
    {"ox.ScanReport", "log", 21, P, "bytes"},
    {"ox.ScanReport", "user_time", 22, O, "double"},
    {"ox.ScanReport", "system_time", 23, O, "double"},
    {"ox.ScanReport", "packer_type", 50, P, "uint32"},
    {"ox.ScanReport", "archive_type", 51, O, "uint32"},
    {"ox.ScanReport", "se_version", 70, O, "string"},
    {"ox.ScanReport", "core_engine_version", 71, O, "string"},
    {"ox.ScanReport", "virus_records", 72, O, "uint64"},
    {"ox.ScanReport", "base_stamp", 73, O, "uint64"},

    // incident.proto
    {"ox.NetIncident", "origin", 1, R, "enum ox.Application", "APP_PILOTD"},
    {"ox.NetIncident", "origin_pid", 2, R, "int32"},
    {"ox.NetIncident", "origin_label", 3, O, "string"},
    {"ox.NetIncident", "connection", 4, O, "ox.Connection"},
    {"ox.NetIncident", "connection_block", 10, O, "ox.ConnectionBlock", {}, "incident"},
    {"ox.NetIncident", "http_block", 11, O, "ox.HttpBlock", {}, "incident"},
    {"ox.NetIncident", "mail_incident", 12, O, "ox.MailIncident", {}, "incident"},
    {"ox.Connection", "divert", 1, O, "enum ox.Connection.Divert", "INPUT"},
    {"ox.Connection", "src_endpoint", 2, O, "ox.IPSocket"},
    {"ox.Connection", "dst_endpoint", 3, O, "ox.IPSocket"},
    {"ox.Connection", "sni_host", 4, O, "string"},
    {"ox.Connection", "protocol", 5, O, "enum ox.Protocol", "SMTP"},
    {"ox.Connection", "exe_path", 6, O, "string"},
    {"ox.Connection", "user", 7, O, "string"},
    {"ox.HttpBlock", "url", 1, R, "string"},
    {"ox.HttpBlock", "direction", 2, R, "enum ox.HttpBlock.Direction", "REQUEST"},
    {"ox.HttpBlock", "bytes_passed_over", 3, R, "uint64"},
    {"ox.HttpBlock", "category", 10, O, "enum ox.UrlCategory", "UC_INFECTION_SOURCE", "reason"},
    {"ox.HttpBlock", "report", 11, O, "ox.ScanReport", {}, "reason"},
    {"ox.MailIncident", "socket", 1, O, "ox.IPSocket"},
    {"ox.MailIncident", "mail_from", 2, O, "string"},
    {"ox.MailIncident", "rcpt_to", 3, P, "string"},
    {"ox.MailIncident", "viruses", 5, O, "ox.MailIncident.Viruses", {}, "reason"},
    {"ox.MailIncident", "url_categories", 6, O, "ox.MailIncident.UrlCategories", {}, "reason"},
    {"ox.MailIncident", "spam", 7, O, "ox.MailIncident.Spam", {}, "reason"},
    {"ox.MailIncident", "other", 8, O, "ox.MailIncident.Other", {}, "reason"},
    {"ox.MailIncident", "message_id", 9, O, "string"},
    {"ox.MailIncident", "action", 20, O, "enum ox.MailIncident.Action", "REPACKED"},
    {"ox.MailIncident.Viruses", "scan_report", 1, P, "ox.ScanReport"},
    {"ox.MailIncident.UrlCategories", "url_category", 1, P, "enum ox.UrlCategory"},

    // traxd_config.proto
    {"ox.TRAXDConfig", "log_level", 1, O, "enum ox.LogLevel", "LOG_LEVEL_DEBUG"},
    {"ox.TRAXDConfig", "log", 2, O, "ox.Log"},
    {"ox.TRAXDConfig", "exe_path", 3, O, "string", {}, {}, "HINT_ABSPATH"},
    {"ox.TRAXDConfig", "start", 4, O, "bool"},
    {"ox.TRAXDConfig", "run_as_user", 5, O, "ox.LocalUser"},
    {"ox.TRAXDConfig", "debug_dump_icap", 9, O, "bool"},
    {"ox.TRAXDConfig", "listen_address", 10, O, "ox.IPSocket"},
    {"ox.TRAXDConfig", "templates_dir", 11, O, "string", {}, {}, "HINT_ABSPATH"},
    {"ox.TRAXDConfig", "whitelist", 15, O, "ox.StringList"},
    {"ox.TRAXDConfig", "blacklist", 16, O, "ox.StringList"},
    {"ox.TRAXDConfig", "adlist", 17, O, "ox.StringList"},
    {"ox.TRAXDConfig", "block_infection_source", 22, O, "bool"},
    {"ox.TRAXDConfig", "block_not_recommended", 23, O, "bool"},
    {"ox.TRAXDConfig", "block_adult_content", 24, O, "bool"},
    {"ox.TRAXDConfig", "block_violence", 25, O, "bool"},
    {"ox.TRAXDConfig", "block_weapons", 26, O, "bool"},
    {"ox.TRAXDConfig", "block_gambling", 27, O, "bool"},
    {"ox.TRAXDConfig", "block_drugs", 28, O, "bool"},
    {"ox.TRAXDConfig", "block_obscene_language", 29, O, "bool"},
    {"ox.TRAXDConfig", "block_chats", 30, O, "bool"},
    {"ox.TRAXDConfig", "block_terrorism", 31, O, "bool"},
    {"ox.TRAXDConfig", "block_free_email", 32, O, "bool"},
    {"ox.TRAXDConfig", "block_social_networks", 33, O, "bool"},
    {"ox.TRAXDConfig", "block_due_to_copyright_notice", 34, O, "bool"},
    {"ox.TRAXDConfig", "block_online_games", 35, O, "bool"},
    {"ox.TRAXDConfig", "block_anonymizers", 36, O, "bool"},
    {"ox.TRAXDConfig", "block_cryptocurrency_mining_pools", 37, O, "bool"},
    {"ox.TRAXDConfig", "block_jobs", 38, O, "bool"},
    {"ox.TRAXDConfig", "block_known_virus", 41, O, "bool"},
    {"ox.TRAXDConfig", "block_suspicious", 42, O, "bool"},
    {"ox.TRAXDConfig", "block_adware", 43, O, "bool"},
    {"ox.TRAXDConfig", "block_dialers", 44, O, "bool"},
    {"ox.TRAXDConfig", "block_jokes", 45, O, "bool"},
    {"ox.TRAXDConfig", "block_riskware", 46, O, "bool"},
    {"ox.TRAXDConfig", "block_hacktools", 47, O, "bool"},
    {"ox.TRAXDConfig", "scan_timeout", 50, O, "uint32", {}, {}, "HINT_TIME"},
    {"ox.TRAXDConfig", "heuristic_analysis", 51, O, "bool", {}, {}, "HINT_ONOFF"},
    {"ox.TRAXDConfig", "packer_max_level", 52, O, "uint32"},
    {"ox.TRAXDConfig", "archive_max_level", 53, O, "uint32"},
    {"ox.TRAXDConfig", "mail_max_level", 54, O, "uint32"},
    {"ox.TRAXDConfig", "container_max_level", 55, O, "uint32"},
    {"ox.TRAXDConfig", "max_compression_ratio", 56, O, "uint32"},
    {"ox.TRAXDConfig", "rule_set0", 70, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "rule_set1", 71, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "rule_set2", 72, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "rule_set3", 73, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "rule_set4", 74, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "rule_set5", 75, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "rule_set6", 76, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "block_unchecked", 80, O, "bool"},
    {"ox.TRAXDConfig", "use_preview", 100, O, "bool"},
    {"ox.TRAXDConfig", "use_204", 101, O, "bool"},
    {"ox.TRAXDConfig", "allow_early_response", 102, O, "bool"},
    {"ox.TRAXDConfig", "message_hook", 120, O, "ox.LuaChunk"},
    {"ox.TRAXDConfig", "actual_log", 1000, O, "ox.Log"},
    {"ox.TRAXDConfig", "rule", 1003, O, "ox.RuleSet"},
    {"ox.TRAXDConfig", "lua_package_path", 1050, O, "string"},
    {"ox.TRAXDConfig", "lua_package_c_path", 1051, O, "string"},

    // lua_chunk.proto
    {"ox.LuaChunk", "buffer", 1, O, "bytes", {}, "chunk"},
    {"ox.LuaChunk", "file", 2, O, "string", {}, "chunk"},

    // traxd_appinfo.proto
    {"ox.TRAXDAppInfo", "scan_state", 1, R, "enum ox.ErrorCode", "EC_OK"},
    {"ox.TRAXDAppInfo", "oxs_state", 2, R, "enum ox.ErrorCode", "EC_OK"},

    // traxd_appstat.proto
    {"ox.TRAXDConnectionStat", "base", 1, R, "uint64"},
    {"ox.TRAXDConnectionStat", "in", 2, R, "uint64"},
    {"ox.TRAXDConnectionStat", "out", 3, R, "uint64"},
    {"ox.TRAXDRequestStat", "options", 1, R, "uint64"},
    {"ox.TRAXDRequestStat", "reqmod", 2, R, "uint64"},
    {"ox.TRAXDRequestStat", "respmod", 3, R, "uint64"},
    {"ox.TRAXDRequestStat", "bad", 4, R, "uint64"},
    {"ox.TRAXDAppStat", "connections", 1, R, "ox.TRAXDConnectionStat"},
    {"ox.TRAXDAppStat", "requests", 2, R, "ox.TRAXDRequestStat"},
};

// Enums of the core files. The first row of each enum in `values` is the
// value the enum must list first (the default of its fields).
struct enum_spec {
    std::string_view name;
    std::string_view file;
};

constexpr enum_spec enums[] = {
    {"ox.LexHint", "annotation.proto"},           {"ox.ErrorCode", "error.proto"},
    {"ox.Application", "application.proto"},      {"ox.Log.LogType", "log.proto"},
    {"ox.Log.LogFacility", "log.proto"},          {"ox.LogLevel", "log.proto"},
    {"ox.ArchiveType", "scan_report.proto"},      {"ox.VirusType", "scan_report.proto"},
    {"ox.ScanError", "scan_report.proto"},        {"ox.Connection.Divert", "incident.proto"},
    {"ox.HttpBlock.Direction", "incident.proto"}, {"ox.MailIncident.Action", "incident.proto"},
};

// A value name ending in "*" stands for any name with that prefix (values
// whose names are not fixed); a `lex` of "*" for any non-empty display
// text; an empty `lex` means the value carries no `lex` option.
struct value_spec {
    std::string_view enum_name;
    std::string_view name;
    int number;
    std::string_view lex = {};
};

constexpr std::string_view any_text = "*";

constexpr value_spec values[] = {
    {"ox.LexHint", "HINT_NONE", 0},
    {"ox.LexHint", "HINT_MAP", 1},
    {"ox.LexHint", "HINT_MAPS", 2},
    {"ox.LexHint", "HINT_MAP_TAG", 3},
    {"ox.LexHint", "HINT_NODIFF", 4},
    {"ox.LexHint", "HINT_ABSPATH", 10},
    {"ox.LexHint", "HINT_ABSPATHNONEMPTY", 11},
    {"ox.LexHint", "HINT_TIME", 12},
    {"ox.LexHint", "HINT_SIZE", 13},
    {"ox.LexHint", "HINT_ONOFF", 14},
    {"ox.LexHint", "HINT_DEPRECATED", 15},
    {"ox.LexHint", "HINT_OPTTIME", 16},

    {"ox.ErrorCode", "EC_OK", 0, "Success"},
    {"ox.ErrorCode", "EC_MONITOR_IPC_ERROR", 1, "Error on monitor channel"},
    {"ox.ErrorCode", "EC_ALREADY_IN_PROGRESS", 2, "Operation is already in progress"},
    {"ox.ErrorCode", "EC_IN_PENDING_STATE", 3, "Operation is in pending state"},
    {"ox.ErrorCode", "EC_INTERRUPTED_BY_USER", 4, "Interrupted by user"},
    {"ox.ErrorCode", "EC_CANCELED", 5, "Operation canceled"},
    {"ox.ErrorCode", "EC_LINK_DISCONNECTED", 6, "Link disconnected"},
    {"ox.ErrorCode", "EC_BAD_MESSAGE_SIZE", 7, "Invalid IPC message size"},
    {"ox.ErrorCode", "EC_BAD_MESSAGE_FORMAT", 8, "Invalid IPC message format"},
    {"ox.ErrorCode", "EC_NOT_READY", 9, "Not ready"},
    {"ox.ErrorCode", "EC_NOT_INSTALLED", 10, "Component is not installed"},
    {"ox.ErrorCode", "EC_UNEXPECTED_MESSAGE", 11, "Unexpected IPC message"},
    {"ox.ErrorCode", "EC_PROTOCOL_VIOLATION", 12, "Protocol violation"},
    {"ox.ErrorCode", "EC_UNKNOWN_STATE", 13, "Subsystem state is unknown"},
    {"ox.ErrorCode", "EC_NOT_ABSOLUTE_PATH", 20, "Path must be absolute"},
    {"ox.ErrorCode", "EC_NO_MEMORY", 21, "Not enough memory"},
    {"ox.ErrorCode", "EC_IO_ERROR", 22, "IO error"},
    {"ox.ErrorCode", "EC_NO_SUCH_ENTRY", 23, "No such file or directory"},
    {"ox.ErrorCode", "EC_PERMISSION_DENIED", 24, "Permission denied"},
    {"ox.ErrorCode", "EC_NOT_A_DIRECTORY", 25, "Not a directory"},
    {"ox.ErrorCode", "EC_DATA_CORRUPTED", 26, "Data file corrupted"},
    {"ox.ErrorCode", "EC_FILE_EXISTS", 27, "File already exists"},
    {"ox.ErrorCode", "EC_READ_ONLY_FS", 28, "Read-only file system"},
    {"ox.ErrorCode", "EC_NETWORK_ERROR", 29, "Network error"},
    {"ox.ErrorCode", "EC_NOT_A_DRIVE", 30, "Not a drive"},
    {"ox.ErrorCode", "EC_UNEXPECTED_EOF", 31, "Unexpected EOF"},
    {"ox.ErrorCode", "EC_FILE_WAS_CHANGED", 32, "File was changed"},
    {"ox.ErrorCode", "EC_NOT_A_REGULAR_FILE", 33, "Not a regular file"},
    {"ox.ErrorCode", "EC_NAME_ALREADY_IN_USE", 34, "Name already in use"},
    {"ox.ErrorCode", "EC_HOST_OFFLINE", 35, "Host is offline"},
    {"ox.ErrorCode", "EC_LIMIT_REACHED", 36, "Resource limit reached"},
    {"ox.ErrorCode", "EC_CROSS_DEVICE_LINK", 37, "Mounting points are different"},
    {"ox.ErrorCode", "EC_UNPACKING_ERROR", 38, "Unpacking error"},
    {"ox.ErrorCode", "EC_BASE_CORRUPTED", 40, "Virus base corrupted"},
    {"ox.ErrorCode", "EC_OLD_BASE_VERSION", 41, "Non-supported virus database version"},
    {"ox.ErrorCode", "EC_EMPTY_BASE", 42, "Empty virus database"},
    {"ox.ErrorCode", "EC_CAN_NOT_BE_CURED", 43, "Object cannot be cured"},
    {"ox.ErrorCode", "EC_INVALID_BASE_SET", 44, "Non-supported virus database combination"},
    {"ox.ErrorCode", "EC_SCAN_LIMIT_REACHED", 45, "Scan limit reached"},
    {"ox.ErrorCode", "EC_AUTH_FAILED", 47, "Authentication failed"},
    {"ox.ErrorCode", "EC_NOT_AUTHORIZED", 48, "Authorization failed"},
    {"ox.ErrorCode", "EC_INVALID_TOKEN", 49, "Access token is invalid"},
    {"ox.ErrorCode", "EC_DB_COMMON_ERROR", 50, "DBMS general error"},
    {"ox.ErrorCode", "EC_DB_OPEN_ERROR", 51, "Cannot open database"},
    {"ox.ErrorCode", "EC_DB_CONN_CLOSED", 52, "Connection closed by DBMS"},
    {"ox.ErrorCode", "EC_INVALID_ARGUMENT", 60, "Invalid argument"},
    {"ox.ErrorCode", "EC_INVALID_OPERATION", 61, "Invalid operation"},
    {"ox.ErrorCode", "EC_ROOT_ONLY", 62, "Superuser privileges required"},
    {"ox.ErrorCode", "EC_STANDALONE_MODE_ONLY", 63, "Not allowed in central protection mode"},
    {"ox.ErrorCode", "EC_NON_SUPPORTED_OS", 64, "Non-supported OS"},
    {"ox.ErrorCode", "EC_NOT_IMPLEMENTED", 65, "Feature not implemented"},
    {"ox.ErrorCode", "EC_UNKNOWN_OPTION", 66, "Unknown option"},
    {"ox.ErrorCode", "EC_UNKNOWN_SECTION", 67, "Unknown section"},
    {"ox.ErrorCode", "EC_INVALID_OPTION_VALUE", 68, "Invalid option value"},
    {"ox.ErrorCode", "EC_INVALID_STATE", 69, "Invalid state"},
    {"ox.ErrorCode", "EC_NOT_LIST_OPTION", 70, "Only one value allowed"},
    {"ox.ErrorCode", "EC_INVALID_TAG", 71, "Tag value is invalid"},
    {"ox.ErrorCode", "EC_RECORD_NOT_FOUND", 80, "Record not found"},
    {"ox.ErrorCode", "EC_RECORD_BUSY", 81, "Record is in process now"},
    {"ox.ErrorCode", "EC_QUARANTINED_FILE", 82, "File has already been quarantined"},
    {"ox.ErrorCode", "EC_NO_ZONE_IN_CLOUD", 83, "Update zone is not provided by cloud"},
    {"ox.ErrorCode", "EC_NO_ZONE_ON_DISK", 84, "Update zone is not provided on disk"},
    {"ox.ErrorCode", "EC_*", 85, any_text},
    {"ox.ErrorCode", "EC_APP_SUSPENDED", 88, "Process suspended by the administrator"},
    {"ox.ErrorCode", "EC_BACKUP_FAILED", 89, "Cannot backup before update"},
    {"ox.ErrorCode", "EC_*", 90, any_text},
    {"ox.ErrorCode", "EC_BAD_LST_FILE", 91, "Invalid LST file"},
    {"ox.ErrorCode", "EC_BAD_LZMA_FILE", 92, "Invalid compressed file"},
    {"ox.ErrorCode", "EC_PROXY_AUTH_ERROR", 93, "Proxy authentication error"},
    {"ox.ErrorCode", "EC_NO_UPDATE_SERVERS", 94, "No update servers available"},
    {"ox.ErrorCode", "EC_RESERVED_95", 95},
    {"ox.ErrorCode", "EC_RESERVED_96", 96},
    {"ox.ErrorCode", "EC_NETWORK_TIMEDOUT", 97, "Network operation timed out"},
    {"ox.ErrorCode", "EC_BAD_CHECKSUM", 98, "Invalid checksum"},
    {"ox.ErrorCode", "EC_RESERVED_99", 99},
    {"ox.ErrorCode", "EC_RESERVED_100", 100},
    {"ox.ErrorCode", "EC_RESERVED_101", 101},
    {"ox.ErrorCode", "EC_BAD_CONFIG", 102, "Invalid configuration"},
    {"ox.ErrorCode", "EC_BAD_EXECUTABLE", 104, "Invalid executable file"},
    {"ox.ErrorCode", "EC_NO_CORE_ENGINE", 105, "Core engine is not available"},
    {"ox.ErrorCode", "EC_NO_VIRUS_BASES", 106, "No virus databases"},
    {"ox.ErrorCode", "EC_APP_TERMINATED", 107, "Process terminated by signal"},
    {"ox.ErrorCode", "EC_APP_CRASHED", 108, "Unexpected process termination"},
    {"ox.ErrorCode", "EC_INCOMPATIBLE", 109, "Incompatible software detected"},
    {"ox.ErrorCode", "EC_*", 110, any_text},
    {"ox.ErrorCode", "EC_*", 111, any_text},
    {"ox.ErrorCode", "EC_NO_OXS_BASES", 112, "No web resource databases"},
    {"ox.ErrorCode", "EC_NO_KERNEL_MODULE", 113, "Kernel module is not available"},
    {"ox.ErrorCode", "EC_*", 114, any_text},
    {"ox.ErrorCode", "EC_NO_SEEKD", 115, "SeekD is not available"},
    {"ox.ErrorCode", "EC_NO_TAGGER", 116, "Tagger is not available"},
    {"ox.ErrorCode", "EC_*", 117, any_text},
    {"ox.ErrorCode", "EC_*", 118, any_text},
    {"ox.ErrorCode", "EC_*", 119, any_text},
    {"ox.ErrorCode", "EC_*", 120, any_text},
    {"ox.ErrorCode", "EC_*", 121, any_text},
    {"ox.ErrorCode", "EC_*", 122, any_text},
    {"ox.ErrorCode", "EC_NO_VETTER", 123, "Vetter is not available"},
    {"ox.ErrorCode", "EC_*", 124, any_text},
    {"ox.ErrorCode", "EC_UNEXPECTED_ERROR", 125, "Unexpected error"},

    {"ox.Application", "APP_PILOTD", 1, "PilotD"},
    {"ox.Application", "APP_*", 2, any_text},
    {"ox.Application", "APP_*", 3, any_text},
    {"ox.Application", "APP_*", 4, any_text},
    {"ox.Application", "APP_*", 5, any_text},
    {"ox.Application", "APP_VETTER", 6, "Vetter"},
    {"ox.Application", "APP_*", 7, any_text},
    {"ox.Application", "APP_*", 8, any_text},
    {"ox.Application", "APP_*", 9, any_text},
    {"ox.Application", "APP_*", 10, any_text},
    {"ox.Application", "APP_*", 20, any_text},
    {"ox.Application", "APP_TRAXD", 21, "TRAXD"},
    {"ox.Application", "APP_*", 40, any_text},
    {"ox.Application", "APP_*", 41, any_text},
    {"ox.Application", "APP_*", 42, any_text},
    {"ox.Application", "APP_SEEKD", 43, "SeekD"},
    {"ox.Application", "APP_*", 44, any_text},
    {"ox.Application", "APP_TAGGER", 45, "Tagger"},
    {"ox.Application", "APP_*", 46, any_text},
    {"ox.Application", "APP_*", 50, any_text},
    {"ox.Application", "APP_*", 52, any_text},
    {"ox.Application", "APP_*", 60, any_text},
    {"ox.Application", "APP_GENERIC", 99},
    {"ox.Application", "APP_*", 100, any_text},
    {"ox.Application", "APP_*", 102, any_text},
    {"ox.Application", "APP_*", 103, any_text},
    {"ox.Application", "APP_*", 104, any_text},
    {"ox.Application", "APP_*", 200, any_text},
    {"ox.Application", "APP_*", 201, any_text},
    {"ox.Application", "APP_*", 202, any_text},
    {"ox.Application", "APP_*", 203, any_text},
    {"ox.Application", "APP_*", 205, any_text},
    {"ox.Application", "APP_*", 206, any_text},
    {"ox.Application", "APP_*", 300, any_text},
    {"ox.Application", "APP_*", 400, any_text},
    {"ox.Application", "APP_*", 500, any_text},

    {"ox.Log.LogType", "SYSLOG", 1, "Syslog"},
    {"ox.Log.LogType", "FILE", 2, "File"},
    {"ox.Log.LogType", "STDERR", 3, "Stderr"},
    {"ox.Log.LogType", "AUTO", 4, "Auto"},

    {"ox.Log.LogFacility", "DAEMON", 1, "Daemon"},
    {"ox.Log.LogFacility", "USER", 2, "User"},
    {"ox.Log.LogFacility", "MAIL", 3, "Mail"},
    {"ox.Log.LogFacility", "LOCAL0", 10, "Local0"},
    {"ox.Log.LogFacility", "LOCAL1", 11, "Local1"},
    {"ox.Log.LogFacility", "LOCAL2", 12, "Local2"},
    {"ox.Log.LogFacility", "LOCAL3", 13, "Local3"},
    {"ox.Log.LogFacility", "LOCAL4", 14, "Local4"},
    {"ox.Log.LogFacility", "LOCAL5", 15, "Local5"},
    {"ox.Log.LogFacility", "LOCAL6", 16, "Local6"},
    {"ox.Log.LogFacility", "LOCAL7", 17, "Local7"},

    {"ox.LogLevel", "LOG_LEVEL_DEBUG", 1, "Debug"},
    {"ox.LogLevel", "LOG_LEVEL_INFO", 2, "Info"},
    {"ox.LogLevel", "LOG_LEVEL_NOTICE", 3, "Notice"},
    {"ox.LogLevel", "LOG_LEVEL_WARNING", 4, "Warning"},
    {"ox.LogLevel", "LOG_LEVEL_ERROR", 5, "Error"},

    {"ox.ArchiveType", "SE_ARCHIVE", 1, "Archive"},
    {"ox.ArchiveType", "SE_MAIL", 2, "Mail"},
    {"ox.ArchiveType", "SE_CONTAINER", 3, "Container"},

    {"ox.VirusType", "SE_KNOWN_VIRUS", 1, "Known virus"},
    {"ox.VirusType", "SE_VIRUS_MODIFICATION", 2, "Virus modification"},
    {"ox.VirusType", "SE_UNKNOWN_VIRUS", 3, "Unknown virus"},
    {"ox.VirusType", "SE_ADWARE", 4, "Adware"},
    {"ox.VirusType", "SE_DIALER", 5, "Dialer"},
    {"ox.VirusType", "SE_JOKE", 6, "Joke program"},
    {"ox.VirusType", "SE_RISKWARE", 7, "Riskware"},
    {"ox.VirusType", "SE_HACKTOOL", 8, "Hacktool"},

    {"ox.ScanError", "SE_PATH_NOT_ABSOLUTE", 1, "Path is not absolute"},
    {"ox.ScanError", "SE_FILE_NOT_FOUND", 2, "File not found"},
    {"ox.ScanError", "SE_FILE_NOT_REGULAR", 3, "Not a regular file"},
    {"ox.ScanError", "SE_FILE_NOT_BLOCK_DEVICE", 4, "Not a block device"},
    {"ox.ScanError", "SE_NAME_TOO_LONG", 5, "Path or filename is too long"},
    {"ox.ScanError", "SE_NO_ACCESS", 6, "Permission denied"},
    {"ox.ScanError", "SE_READ_ERROR", 7, "Read error"},
    {"ox.ScanError", "SE_WRITE_ERROR", 8, "Write error"},
    {"ox.ScanError", "SE_FILE_TOO_LARGE", 9, "File size too big"},
    {"ox.ScanError", "SE_FILE_BUSY", 10, "File is busy"},
    {"ox.ScanError", "SE_UNPACKING_ERROR", 20, "Unpacking error"},
    {"ox.ScanError", "SE_PASSWORD_PROTECTED", 21, "Password protected"},
    {"ox.ScanError", "SE_ARCH_CRC_ERROR", 22, "Archive CRC error"},
    {"ox.ScanError", "SE_ARCH_INVALID_HEADER", 23, "Invalid archive header"},
    {"ox.ScanError", "SE_ARCH_NO_MEMORY", 24, "Not enough memory to process archive"},
    {"ox.ScanError", "SE_ARCH_INCOMPLETE", 25, "Incomplete archive"},
    {"ox.ScanError", "SE_CAN_NOT_BE_CURED", 26, "Cannot be cured"},
    {"ox.ScanError", "SE_PACKER_LEVEL_LIMIT", 30, "Packer nesting level limit reached"},
    {"ox.ScanError", "SE_ARCHIVE_LEVEL_LIMIT", 31, "Archive nesting level limit reached"},
    {"ox.ScanError", "SE_MAIL_LEVEL_LIMIT", 32, "Mail nesting level limit reached"},
    {"ox.ScanError", "SE_CONTAINER_LEVEL_LIMIT", 33, "Container nesting level limit reached"},
    {"ox.ScanError", "SE_COMPRESSION_LIMIT", 34, "Compression ratio limit reached"},
    {"ox.ScanError", "SE_REPORT_SIZE_LIMIT", 35, "Report size limit reached"},
    {"ox.ScanError", "SE_ARCHIVE_SIZE_LIMIT", 36, "Archive size limit reached"},
    {"ox.ScanError", "SE_OBJECT_SIZE_LIMIT", 37, "Object size limit reached"},
    {"ox.ScanError", "SE_SCAN_TIMEOUT", 40, "Scan timeout expired"},
    {"ox.ScanError", "SE_ENGINE_CRASH", 41, "Engine crash detected"},
    {"ox.ScanError", "SE_ENGINE_HANGUP", 42, "Engine hang-up detected"},
    {"ox.ScanError", "SE_ENGINE_NOT_READY", 43, "Engine not available"},
    {"ox.ScanError", "SE_ENGINE_ERROR", 44, "Engine internal error"},
    {"ox.ScanError", "SE_MULTISCAN_TOO_LATE", 46, "Cannot join multiscan"},
    {"ox.ScanError", "SE_CURING_LIMIT_REACHED", 47, "Curing limit reached"},
    {"ox.ScanError", "SE_REPORT_RECURSION_LIMIT", 48, "Report recursion limit reached"},
    {"ox.ScanError", "SE_NON_SUPPORTED_DISK", 50, "Non-supported disk"},
    {"ox.ScanError", "SE_UNEXPECTED_ERROR", 100, "Unexpected error"},

    {"ox.Connection.Divert", "INPUT", 1},
    {"ox.Connection.Divert", "OUTPUT", 2},
    {"ox.Connection.Divert", "FORWARD", 3},

    {"ox.HttpBlock.Direction", "REQUEST", 1},
    {"ox.HttpBlock.Direction", "RESPONSE", 2},

    {"ox.MailIncident.Action", "REPACKED", 1},
    {"ox.MailIncident.Action", "REJECTED", 2},
    {"ox.MailIncident.Action", "DISCARDED", 3},
    {"ox.MailIncident.Action", "CURED", 4},
    {"ox.MailIncident.Action", "QUARANTINED", 5},
    {"ox.MailIncident.Action", "DELETED", 6},
};

// Extensions declared by the core files. `scope` is the message the
// declaration is nested in, empty for a file-level one.
struct extension_spec {
    std::string_view name;
    std::string_view file;
    std::string_view extendee;
    int number;
    std::string_view type;
    std::string_view def = {};
    std::string_view scope = {};
};

constexpr extension_spec extensions[] = {
    {"ox.app", "annotation.proto", "google.protobuf.MessageOptions", 50001, "int32"},
    {"ox.ini_section", "annotation.proto", "google.protobuf.MessageOptions", 50002, "string"},
    {"ox.hint", "annotation.proto", "google.protobuf.FieldOptions", 50001, "enum ox.LexHint", "HINT_NONE"},
    {"ox.lex", "annotation.proto", "google.protobuf.EnumValueOptions", 50001, "string"},
    {"ox.root_info", "root_appinfo.proto", "ox.AppInfo", 1, "ox.RootAppInfo"},
    {"ox.traxd_config", "traxd_config.proto", "ox.AppConfig", 21, "ox.TRAXDConfig"},
    {"ox.traxd_info", "traxd_appinfo.proto", "ox.AppInfo", 21, "ox.TRAXDAppInfo"},
    {"ox.traxd_stat", "traxd_appstat.proto", "ox.AppStat", 21, "ox.TRAXDAppStat"},
};

// The only fields of all the schema files that carry `hint`, and the only
// enums whose values carry `lex` (every value of them, but the named ones).
const std::map<std::string_view, std::string_view> hinted_fields = {
    {"ox.TRAXDConfig.exe_path", "HINT_ABSPATH"},  {"ox.TRAXDConfig.templates_dir", "HINT_ABSPATH"},
    {"ox.TRAXDConfig.scan_timeout", "HINT_TIME"}, {"ox.TRAXDConfig.heuristic_analysis", "HINT_ONOFF"},
    {"ox.PathList.path", "HINT_ABSPATH"},         {"ox.RuleCondition.list_file", "HINT_ABSPATH"},
};

const std::set<std::string_view> lex_enums = {
    "ox.ErrorCode",   "ox.Application", "ox.LogLevel",   "ox.Log.LogType", "ox.Log.LogFacility",
    "ox.ArchiveType", "ox.VirusType",   "ox.ScanError",  "ox.UrlCategory", "ox.ConfigMode",
    "ox.Direction",   "ox.Divert",      "sk.LookupType",
};

const std::set<std::string_view> values_without_lex = {
    "APP_GENERIC", "EC_RESERVED_95", "EC_RESERVED_96", "EC_RESERVED_99", "EC_RESERVED_100", "EC_RESERVED_101",
};

// ---------------------------------------------------------------------------
// Reading the descriptors
// ---------------------------------------------------------------------------

const gp::DescriptorPool& pool()
{
    return *gp::DescriptorPool::generated_pool();
}

std::string label_text(lab l)
{
    switch (l) {
    case lab::opt:
        return "optional";
    case lab::req:
        return "required";
    case lab::rep:
        return "repeated";
    }
    return "?";
}

std::string label_text(const FieldDescriptor& f)
{
    switch (f.label()) {
    case FieldDescriptor::LABEL_OPTIONAL:
        return "optional";
    case FieldDescriptor::LABEL_REQUIRED:
        return "required";
    case FieldDescriptor::LABEL_REPEATED:
        return "repeated";
    }
    return "?";
}

std::string type_text(const FieldDescriptor& f)
{
    if (f.type() == FieldDescriptor::TYPE_ENUM)
        return "enum " + f.enum_type()->full_name();
    if (f.type() == FieldDescriptor::TYPE_MESSAGE)
        return f.message_type()->full_name();
    return FieldDescriptor::TypeName(f.type());
}

// The default in the notation of `field_spec::def`.
std::string default_text(const FieldDescriptor& f)
{
    if (f.is_repeated() || f.type() == FieldDescriptor::TYPE_MESSAGE) {
        return f.has_default_value() ? "=?" : "";
    }
    std::ostringstream text;
    text << std::boolalpha;
    bool zero = false;
    const auto put = [&](auto value) {
        text << value;
        zero = value == decltype(value){};
    };
    switch (f.cpp_type()) {
    case FieldDescriptor::CPPTYPE_ENUM:
        text << f.default_value_enum()->name();
        break;
    case FieldDescriptor::CPPTYPE_BOOL:
        put(f.default_value_bool());
        break;
    case FieldDescriptor::CPPTYPE_INT32:
        put(f.default_value_int32());
        break;
    case FieldDescriptor::CPPTYPE_INT64:
        put(f.default_value_int64());
        break;
    case FieldDescriptor::CPPTYPE_UINT32:
        put(f.default_value_uint32());
        break;
    case FieldDescriptor::CPPTYPE_UINT64:
        put(f.default_value_uint64());
        break;
    case FieldDescriptor::CPPTYPE_FLOAT:
        put(f.default_value_float());
        break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
        put(f.default_value_double());
        break;
    case FieldDescriptor::CPPTYPE_STRING:
        put(f.default_value_string());
        break;
    case FieldDescriptor::CPPTYPE_MESSAGE:
        break;
    }
    if (f.has_default_value())
        return "=" + text.str();
    return zero ? "" : text.str();
}

std::string hint_text(const FieldDescriptor& f)
{
    if (!f.options().HasExtension(ox::hint))
        return "";
    return ox::LexHint_Name(f.options().GetExtension(ox::hint));
}

std::string ranges_text(const gp::Descriptor& m)
{
    std::string text;
    for (int i = 0; i < m.extension_range_count(); ++i) {
        const auto* r = m.extension_range(i);
        if (!text.empty())
            text += ' ';
        text += std::to_string(r->start) + "-" + std::to_string(r->end - 1);
    }
    return text;
}

std::string reserved_text(const gp::Descriptor& m)
{
    std::string text;
    for (int i = 0; i < m.reserved_range_count(); ++i) {
        const auto* r = m.reserved_range(i);
        for (int n = r->start; n < r->end; ++n) {
            if (!text.empty())
                text += ' ';
            text += std::to_string(n);
        }
    }
    return text;
}

std::string imports_text(const gp::FileDescriptor& f)
{
    std::string text;
    for (int i = 0; i < f.dependency_count(); ++i) {
        if (!text.empty())
            text += ' ';
        text += f.dependency(i)->name();
    }
    return text;
}

bool name_matches(std::string_view pattern, const std::string& name)
{
    if (!pattern.empty() && pattern.back() == '*') {
        return name.size() >= pattern.size() &&
               name.compare(0, pattern.size() - 1, pattern.substr(0, pattern.size() - 1)) == 0;
    }
    return name == pattern;
}

std::string lex_text(const gp::EnumValueDescriptor& v, bool& present)
{
    present = v.options().HasExtension(ox::lex);
    return present ? v.options().GetExtension(ox::lex) : std::string();
}

// Every message and enum of a file, nested ones included, by full name.
void collect(const gp::Descriptor& m, std::vector<const gp::Descriptor*>& messages_out,
             std::vector<const gp::EnumDescriptor*>& enums_out, std::vector<const FieldDescriptor*>& extensions_out)
{
    messages_out.push_back(&m);
    for (int i = 0; i < m.enum_type_count(); ++i)
        enums_out.push_back(m.enum_type(i));
    for (int i = 0; i < m.extension_count(); ++i)
        extensions_out.push_back(m.extension(i));
    for (int i = 0; i < m.nested_type_count(); ++i)
        collect(*m.nested_type(i), messages_out, enums_out, extensions_out);
}

struct file_content {
    std::vector<const gp::Descriptor*> messages;
    std::vector<const gp::EnumDescriptor*> enums;
    std::vector<const FieldDescriptor*> extensions;
};

file_content content_of(const gp::FileDescriptor& f)
{
    file_content c;
    for (int i = 0; i < f.message_type_count(); ++i)
        collect(*f.message_type(i), c.messages, c.enums, c.extensions);
    for (int i = 0; i < f.enum_type_count(); ++i)
        c.enums.push_back(f.enum_type(i));
    for (int i = 0; i < f.extension_count(); ++i)
        c.extensions.push_back(f.extension(i));
    return c;
}

template <typename Row, typename Key>
bool listed(const Row& rows, Key key)
{
    return std::any_of(std::begin(rows), std::end(rows), key);
}

// ---------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------

TEST(core_schemas, every_file_has_its_package_and_imports_in_order)
{
    for (const auto& row : files) {
        const gp::FileDescriptor* file = row.file();
        ASSERT_NE(file, nullptr) << row.name;
        EXPECT_EQ(file->name(), row.name);
        EXPECT_EQ(pool().FindFileByName(std::string(row.name)), file) << row.name;
        EXPECT_EQ(file->package(), row.package) << row.name;
        EXPECT_EQ(imports_text(*file), row.imports) << row.name << ": imports";
        EXPECT_EQ(file->service_count(), 0) << row.name;
    }
}

TEST(core_schemas, every_listed_message_has_its_file_ranges_and_options)
{
    for (const auto& row : messages) {
        const gp::Descriptor* m = pool().FindMessageTypeByName(std::string(row.name));
        if (m == nullptr) {
            ADD_FAILURE() << row.name << ": message missing";
            continue;
        }
        EXPECT_EQ(m->file()->name(), row.file) << row.name << ": file";
        EXPECT_EQ(ranges_text(*m), row.extension_ranges) << row.name << ": extension ranges";
        EXPECT_EQ(reserved_text(*m), row.reserved) << row.name << ": reserved numbers";
        EXPECT_EQ(m->reserved_name_count(), 0) << row.name << ": reserved names";
        EXPECT_EQ(m->options().HasExtension(ox::app), row.app != 0) << row.name << ": app option";
        EXPECT_EQ(m->options().GetExtension(ox::app), row.app) << row.name << ": app option";
        EXPECT_EQ(m->options().HasExtension(ox::ini_section), !row.ini_section.empty())
            << row.name << ": ini_section option";
        EXPECT_EQ(m->options().GetExtension(ox::ini_section), row.ini_section) << row.name << ": ini_section option";
    }
}

TEST(core_schemas, every_listed_field_matches_the_table)
{
    for (const auto& row : fields) {
        const std::string where = std::string(row.message) + "." + std::string(row.name);
        const gp::Descriptor* m = pool().FindMessageTypeByName(std::string(row.message));
        const FieldDescriptor* f = m ? m->FindFieldByName(std::string(row.name)) : nullptr;
        if (f == nullptr) {
            ADD_FAILURE() << where << ": field missing";
            continue;
        }
        EXPECT_EQ(f->number(), row.number) << where << ": number";
        EXPECT_EQ(label_text(*f), label_text(row.label)) << where << ": label";
        EXPECT_EQ(type_text(*f), row.type) << where << ": type";
        EXPECT_EQ(default_text(*f), row.def) << where << ": default";
        const auto* oneof = f->containing_oneof();
        EXPECT_EQ(oneof ? oneof->name() : std::string(), row.oneof) << where << ": oneof";
        EXPECT_EQ(hint_text(*f), row.hint) << where << ": hint";
    }
}

TEST(core_schemas, every_listed_enum_value_matches_the_table)
{
    for (const auto& e : enums) {
        const gp::EnumDescriptor* d = pool().FindEnumTypeByName(std::string(e.name));
        if (d == nullptr) {
            ADD_FAILURE() << e.name << ": enum missing";
            continue;
        }
        EXPECT_EQ(d->file()->name(), e.file) << e.name << ": file";
        int rows = 0;
        for (const auto& v : values) {
            if (v.enum_name != e.name)
                continue;
            const std::string where = std::string(e.name) + " " + std::to_string(v.number);
            const gp::EnumValueDescriptor* value = d->FindValueByNumber(v.number);
            if (rows++ == 0) {
                EXPECT_EQ(d->value(0)->number(), v.number) << e.name << ": first value";
            }
            if (value == nullptr) {
                ADD_FAILURE() << where << " (" << v.name << "): value missing";
                continue;
            }
            EXPECT_TRUE(name_matches(v.name, value->name()))
                << where << ": named " << value->name() << ", expected " << v.name;
            bool present = false;
            const std::string lex = lex_text(*value, present);
            if (v.lex == any_text) {
                EXPECT_TRUE(present && !lex.empty()) << where << " " << value->name() << ": lex";
            } else {
                EXPECT_EQ(present, !v.lex.empty()) << where << " " << value->name() << ": lex presence";
                EXPECT_EQ(lex, v.lex) << where << " " << value->name() << ": lex";
            }
        }
        EXPECT_EQ(d->value_count(), rows) << e.name << ": number of values";
    }
}

TEST(core_schemas, every_listed_extension_matches_the_table)
{
    for (const auto& row : extensions) {
        const FieldDescriptor* x = pool().FindExtensionByName(std::string(row.name));
        if (x == nullptr) {
            ADD_FAILURE() << row.name << ": extension missing";
            continue;
        }
        EXPECT_EQ(x->file()->name(), row.file) << row.name << ": file";
        EXPECT_EQ(x->containing_type()->full_name(), row.extendee) << row.name << ": extendee";
        EXPECT_EQ(x->number(), row.number) << row.name << ": number";
        EXPECT_EQ(label_text(*x), "optional") << row.name << ": label";
        EXPECT_EQ(type_text(*x), row.type) << row.name << ": type";
        EXPECT_EQ(default_text(*x), row.def) << row.name << ": default";
        const auto* scope = x->extension_scope();
        EXPECT_EQ(scope ? scope->full_name() : std::string(), row.scope) << row.name << ": scope";
    }
}

// The other direction: nothing in the core files that the tables lack.
TEST(core_schemas, core_files_hold_nothing_the_tables_lack)
{
    for (const auto& file_row : files) {
        if (!file_row.core)
            continue;
        const file_content c = content_of(*file_row.file());
        for (const auto* m : c.messages) {
            if (!listed(messages, [&](const auto& r) { return r.name == m->full_name(); }))
                ADD_FAILURE() << file_row.name << ": unexpected message " << m->full_name();
            for (int i = 0; i < m->field_count(); ++i) {
                const FieldDescriptor* f = m->field(i);
                if (!listed(fields, [&](const auto& r) { return r.message == m->full_name() && r.name == f->name(); }))
                    ADD_FAILURE() << file_row.name << ": unexpected field " << f->full_name() << " = " << f->number();
            }
        }
        for (const auto* e : c.enums) {
            if (!listed(enums, [&](const auto& r) { return r.name == e->full_name(); })) {
                ADD_FAILURE() << file_row.name << ": unexpected enum " << e->full_name();
                continue;
            }
            for (int i = 0; i < e->value_count(); ++i) {
                const auto* v = e->value(i);
                if (!listed(values,
                            [&](const auto& r) { return r.enum_name == e->full_name() && r.number == v->number(); }))
                    ADD_FAILURE() << file_row.name << ": unexpected value " << e->full_name() << " " << v->name()
                                  << " = " << v->number();
            }
        }
        for (const auto* x : c.extensions) {
            if (!listed(extensions, [&](const auto& r) { return r.name == x->full_name(); }))
                ADD_FAILURE() << file_row.name << ": unexpected extension " << x->full_name();
        }
    }
}

// Conventions that hold across all the schema files: no packed, map or
// group fields, `hint` only on six fields, `lex` only on thirteen enums.
TEST(core_schemas, conventions_hold_in_every_file)
{
    std::map<std::string, std::string> hints_seen;
    for (const auto& file_row : files) {
        const file_content c = content_of(*file_row.file());
        for (const auto* m : c.messages) {
            EXPECT_FALSE(m->options().map_entry()) << m->full_name() << ": map entry";
            for (int i = 0; i < m->field_count(); ++i) {
                const FieldDescriptor* f = m->field(i);
                EXPECT_FALSE(f->is_packed()) << f->full_name() << ": packed";
                EXPECT_NE(f->type(), FieldDescriptor::TYPE_GROUP) << f->full_name() << ": group";
                if (f->options().HasExtension(ox::hint))
                    hints_seen[f->full_name()] = hint_text(*f);
            }
        }
        for (const auto* e : c.enums) {
            const bool carries = lex_enums.count(e->full_name()) != 0;
            for (int i = 0; i < e->value_count(); ++i) {
                const auto* v = e->value(i);
                const bool has = v->options().HasExtension(ox::lex);
                const bool expected = carries && values_without_lex.count(v->name()) == 0;
                EXPECT_EQ(has, expected) << e->full_name() << " " << v->name() << ": lex presence";
            }
        }
    }
    std::map<std::string, std::string> hints_expected;
    for (const auto& [field, hint] : hinted_fields)
        hints_expected[std::string(field)] = hint;
    EXPECT_EQ(hints_seen, hints_expected);
}

} // namespace
