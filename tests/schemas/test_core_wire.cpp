// Wire behaviour of the core schema messages as the IPC link uses them:
// sent with the cached-size serialisation, received with the parse that
// checks required fields.

#include <gtest/gtest.h>

#include "schemas/wire.hpp"

#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/util/json_util.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "schemas/application.pb.h"
#include "schemas/error.pb.h"
#include "schemas/incident.pb.h"
#include "schemas/log.pb.h"
#include "schemas/lua_chunk.pb.h"
#include "schemas/root_appinfo.pb.h"
#include "schemas/scan_report.pb.h"
#include "schemas/traxd_appinfo.pb.h"
#include "schemas/traxd_appstat.pb.h"
#include "schemas/traxd_config.pb.h"

namespace {

namespace gp = google::protobuf;

using wire::bytes;
using wire::frame_case;
using wire::hex;
using wire::make;
using wire::receive;
using wire::send;

// Field keys used below: ox.AppInfo app 1000 = c0 3e, pid 1001 = c8 3e;
// extension 21 (length-delimited) = aa 01; ox.TRAXDConfig actual_log 1000 =
// c2 3e, rule_set0 70 = b2 04, rule 1003 = da 3e; ox.ScanReport item 20 =
// a2 01, packer_type 50 = 90 03 (varint) / 92 03 (packed).
constexpr frame_case parse_cases[] = {
    {"ox.Error", "", false, "code is required"},
    {"ox.Error", "08 00", true, "EC_OK present"},
    {"ox.Error", "08 0e", false, "14 is no ErrorCode, so code counts as missing"},
    {"ox.Error", "12 01 78", false, "what without code"},
    {"ox.Error", "08 7d 12 01 78", true, "code and what"},

    {"ox.Log", "", false, "type is required"},
    {"ox.Log", "08 03", true, "STDERR alone"},
    {"ox.Log", "08 05", false, "5 is no LogType"},
    {"ox.Log", "08 03 10 04", true, "facility 4 goes to the unknown fields"},
    {"ox.Log", "10 04 08 03", true, "unknown facility written after the known type", "08 03 10 04"},

    {"ox.RootAppInfo", "", false, "config_mode is required"},
    {"ox.RootAppInfo", "50 00", true, "CONFIG_MODE_SPECIFIED"},
    {"ox.RootAppInfo", "50 01", true, "CONFIG_MODE_FALLBACK"},
    {"ox.RootAppInfo", "50 05", false, "5 is no ConfigMode, so the required field is missing"},
    {"ox.RootAppInfo", "1a 02 0a 00 50 00", false, "uuid without timestamp"},
    {"ox.RootAppInfo", "1a 04 0a 00 10 00 50 00", true, "uuid complete with empty text and 0"},
    {"ox.RootAppInfo", "0a 00 50 00", false, "installed_app lacks its four required fields"},
    {"ox.RootAppInfo", "0a 08 08 06 12 00 18 00 22 00 50 00", true, "installed_app complete"},
    {"ox.RootAppInfo", "10 0b 50 00", true, "runlist number 11 is no Application: dropped, not fatal", "50 00 10 0b"},
    {"ox.RootAppInfo", "12 02 01 06 50 00", true, "packed runlist is accepted, written unpacked", "10 01 10 06 50 00"},

    {"ox.AppInfo", "c0 3e 01 c8 3e 05", true, "app and pid"},
    {"ox.AppInfo", "c0 3e 01", false, "pid missing"},
    {"ox.AppInfo", "c0 3e 0b c8 3e 05", false, "app 11 is no Application"},
    {"ox.AppInfo", "c0 3e 01 c8 3e 05 0a 00", false, "root_info without config_mode"},
    {"ox.AppInfo", "c0 3e 01 c8 3e 05 0a 02 50 00", true, "root_info complete", "0a 02 50 00 c0 3e 01 c8 3e 05"},
    {"ox.AppInfo", "c0 3e 01 c8 3e 05 aa 01 02 08 00", false, "traxd_info without oxs_state"},
    {"ox.AppInfo", "c0 3e 01 c8 3e 05 aa 01 04 08 00 10 0d", true, "traxd_info complete",
     "aa 01 04 08 00 10 0d c0 3e 01 c8 3e 05"},

    {"ox.AppStat", "c0 3e 15 c8 3e 05", true, "app and pid"},
    {"ox.AppStat", "c0 3e 15 c8 3e 05 aa 01 00", false, "traxd_stat without its parts"},
    {"ox.AppConfig", "", false, "app is required"},
    {"ox.AppConfig", "c0 3e 15 aa 01 00", true, "empty traxd_config is complete", "aa 01 00 c0 3e 15"},
    {"ox.AppConfig", "c0 3e 15 aa 01 03 c2 3e 00", false, "traxd_config whose actual_log lacks type"},
    {"ox.ComponentControl", "08 15", false, "suspended missing"},
    {"ox.ComponentControl", "10 00", false, "app missing"},
    {"ox.ComponentControl", "08 15 10 00", true, "both present"},
    {"ox.InstalledApp", "08 06 12 00 18 00", false, "ini_section missing"},
    {"ox.AppExeInfo", "", true, "no required field"},

    {"ox.Archive", "08 01 12 00", true, "type and name"},
    {"ox.Archive", "08 04 12 00", false, "4 is no ArchiveType"},
    {"ox.Virus", "08 08 12 01 78", true, "SE_HACKTOOL named x"},
    {"ox.Virus", "08 09 12 01 78", false, "9 is no VirusType"},
    {"ox.Virus", "08 01", false, "name missing"},
    {"ox.ScanReport", "", false, "object is required"},
    {"ox.ScanReport", "0a 00", true, "empty object name"},
    {"ox.ScanReport", "0a 00 38 2d", true, "error 45 is no ScanError: kept aside"},
    {"ox.ScanReport", "0a 00 22 02 08 01", false, "archive without name"},
    {"ox.ScanReport", "0a 00 32 02 08 01", false, "virus without name"},
    {"ox.ScanReport", "0a 00 a2 01 00", false, "item without object"},
    {"ox.ScanReport", "0a 00 a2 01 06 0a 00 32 02 08 01", false, "nested virus without name"},
    {"ox.ScanReport", "0a 00 a2 01 09 0a 00 32 05 08 01 12 01 78", true, "nested virus complete"},
    {"ox.ScanReport", "0a 00 92 03 02 05 07", true, "packed packer_type is accepted, written unpacked",
     "0a 00 90 03 05 90 03 07"},

    {"ox.NetIncident", "08 15 10 05", true, "origin and pid"},
    {"ox.NetIncident", "10 05", false, "origin missing"},
    {"ox.NetIncident", "08 15 10 05 5a 06 0a 00 10 01 18 00", true, "http_block complete"},
    {"ox.NetIncident", "08 15 10 05 5a 04 0a 00 10 01", false, "http_block without bytes_passed_over"},
    {"ox.NetIncident", "08 15 10 05 5a 06 0a 00 10 03 18 00", false, "direction 3 is no Direction"},
    {"ox.NetIncident", "08 15 10 05 22 04 12 02 0a 00", false, "src_endpoint without port"},
    {"ox.NetIncident", "08 15 10 05 22 02 3a 00", true, "connection with user only"},
    {"ox.NetIncident", "08 15 10 05 62 04 2a 02 0a 00", false, "mail incident report without object"},
    {"ox.NetIncident", "08 15 10 05 5a 08 0a 00 10 01 18 00 50 12", true,
     "category 18 is no UrlCategory: kept aside inside http_block", "08 15 10 05 5a 08 0a 00 10 01 18 00 50 12"},

    {"ox.TRAXDConfig", "", true, "no required field"},
    {"ox.TRAXDConfig", "08 07", true, "log_level 7 kept aside"},
    {"ox.TRAXDConfig", "12 00", false, "log without type"},
    {"ox.TRAXDConfig", "c2 3e 00", false, "actual_log without type"},
    {"ox.TRAXDConfig", "c2 3e 02 08 03", true, "actual_log STDERR"},
    {"ox.TRAXDConfig", "52 03 0a 01 61", false, "listen_address without port"},
    {"ox.TRAXDConfig", "52 05 0a 01 61 10 00", true, "listen_address with port 0"},
    {"ox.TRAXDConfig", "b2 04 02 0a 00", false, "rule_set0 holds a rule without action"},
    {"ox.TRAXDConfig", "da 3e 02 0a 00", false, "rule holds a rule without action"},
    {"ox.TRAXDConfig", "2a 00 7a 00 82 01 00 c2 07 00", true, "empty run_as_user, lists and hook"},
    {"ox.TRAXDConfig", "c8 3e 01", true, "reserved number 1001 is an unknown field"},

    {"ox.TRAXDAppInfo", "08 00", false, "oxs_state missing"},
    {"ox.TRAXDAppInfo", "08 00 10 0d", true, "both states"},
    {"ox.TRAXDAppInfo", "08 0e 10 0d", false, "14 is no ErrorCode"},
    {"ox.TRAXDAppStat", "", false, "both parts required"},
    {"ox.TRAXDAppStat", "0a 00 12 00", false, "parts lack their counters"},
    {"ox.TRAXDAppStat", "0a 06 08 00 10 00 18 00 12 08 08 00 10 00 18 00 20 00", true, "complete"},
    {"ox.TRAXDAppStat", "0a 06 08 00 10 00 18 00 12 06 08 00 10 00 18 00", false, "requests lacks bad"},
    {"ox.LuaChunk", "", true, "neither member"},
};

TEST(core_wire, parse_checks_required_fields_and_keeps_unknown_data)
{
    wire::expect_frames(parse_cases);
}

TEST(core_wire, error_with_code_only_is_two_bytes)
{
    struct row {
        ox::ErrorCode code;
        std::string_view wire;
    };
    constexpr row rows[] = {
        {ox::EC_OK, "08 00"},
        {ox::EC_UNKNOWN_STATE, "08 0d"},
        {ox::EC_UNEXPECTED_ERROR, "08 7d"},
    };
    for (const auto& r : rows) {
        ox::Error error;
        error.set_code(r.code);
        EXPECT_EQ(hex(send(error)), r.wire);
        ox::Error back;
        ASSERT_TRUE(receive(back, bytes(r.wire)));
        EXPECT_EQ(back.code(), r.code);
        EXPECT_FALSE(back.has_what());
    }
}

TEST(core_wire, error_code_validity_follows_the_value_list)
{
    for (int n : {14, 19, 39, 46, 53, 59, 72, 79, 86, 87, 103, 126, -1}) {
        EXPECT_FALSE(ox::ErrorCode_IsValid(n)) << n;
    }
    for (int n : {0, 13, 20, 38, 40, 45, 47, 52, 60, 71, 80, 84, 88, 95, 101, 102, 104, 125}) {
        EXPECT_TRUE(ox::ErrorCode_IsValid(n)) << n;
    }
}

TEST(core_wire, unknown_field_survives_copy_and_merge_and_goes_last)
{
    // field 50 (varint 7) ahead of code = 1
    ox::Error received;
    ASSERT_TRUE(receive(received, bytes("90 03 07 08 01")));
    EXPECT_EQ(received.code(), ox::EC_MONITOR_IPC_ERROR);
    EXPECT_EQ(received.GetReflection()->GetUnknownFields(received).field_count(), 1);

    ox::Error copied(received);
    ox::Error assigned;
    assigned.set_what("old");
    assigned.CopyFrom(received);
    ox::Error merged;
    merged.MergeFrom(received);
    for (const ox::Error* e : {&received, &copied, &assigned, &merged}) {
        EXPECT_EQ(hex(send(*e)), "08 01 90 03 07");
    }
}

TEST(core_wire, unknown_enum_number_leaves_the_field_unset)
{
    ox::Log log;
    ASSERT_TRUE(receive(log, bytes("08 03 10 04")));
    EXPECT_EQ(log.type(), ox::Log::STDERR);
    EXPECT_FALSE(log.has_facility());
    EXPECT_EQ(log.facility(), ox::Log::DAEMON);
    EXPECT_FALSE(log.show_timestamp());
    EXPECT_EQ(hex(send(log)), "08 03 10 04");

    log.Clear();
    EXPECT_FALSE(log.has_type());
    EXPECT_EQ(log.type(), ox::Log::SYSLOG);
    EXPECT_EQ(log.facility(), ox::Log::DAEMON);
    EXPECT_EQ(hex(send(log)), "");

    ox::TRAXDConfig config;
    ASSERT_TRUE(receive(config, bytes("08 07")));
    EXPECT_FALSE(config.has_log_level());
    EXPECT_EQ(config.log_level(), ox::LOG_LEVEL_DEBUG);
}

TEST(core_wire, absent_sub_message_reads_as_default_instance)
{
    ox::NetIncident incident;
    incident.set_origin(ox::APP_TRAXD);
    incident.set_origin_pid(5);
    EXPECT_FALSE(incident.has_connection());
    EXPECT_EQ(&incident.connection(), &ox::Connection::default_instance());
    EXPECT_EQ(&incident.http_block().report(), &ox::ScanReport::default_instance());
    EXPECT_FALSE(incident.has_connection());
    EXPECT_EQ(incident.incident_case(), ox::NetIncident::INCIDENT_NOT_SET);

    incident.mutable_connection();
    EXPECT_TRUE(incident.has_connection());
    EXPECT_EQ(hex(send(incident)), "08 15 10 05 22 00");

    ox::TRAXDConfig config;
    EXPECT_EQ(&config.listen_address(), &ox::IPSocket::default_instance());
    EXPECT_EQ(config.listen_address().port(), 0u);
    EXPECT_EQ(&config.actual_log(), &ox::Log::default_instance());
    EXPECT_EQ(config.actual_log().type(), ox::Log::SYSLOG);
    EXPECT_EQ(config.whitelist().item_size(), 0);
    EXPECT_EQ(config.message_hook().chunk_case(), ox::LuaChunk::CHUNK_NOT_SET);
    EXPECT_EQ(hex(send(config)), "");
}

TEST(core_wire, copy_onto_itself_changes_nothing)
{
    ox::ScanReport report;
    ASSERT_TRUE(receive(report, bytes("0a 01 61 a2 01 09 0a 00 32 05 08 01 12 01 78 f8 07 09")));
    const std::string before = send(report);
    const ox::ScanReport& same = report;
    report.CopyFrom(same);
    EXPECT_EQ(hex(send(report)), hex(before));
    EXPECT_EQ(report.item(0).virus(0).name(), "x");
}

TEST(core_wire, incomplete_message_is_still_sent_with_present_fields_only)
{
    ox::Error error;
    error.set_what("x");
    EXPECT_FALSE(error.IsInitialized());
    EXPECT_EQ(error.ByteSizeLong(), 3u);
    EXPECT_EQ(hex(send(error)), "12 01 78");

    ox::TRAXDAppStat stat;
    stat.mutable_connections()->set_in(1);
    EXPECT_EQ(hex(send(stat)), "0a 02 10 01");
    ox::TRAXDAppStat back;
    const gp::LogSilencer quiet;
    EXPECT_FALSE(receive(back, send(stat)));
}

TEST(core_wire, scan_report_defaults)
{
    ox::ScanReport report;
    ASSERT_TRUE(receive(report, bytes("0a 00")));
    EXPECT_FALSE(report.has_error());
    EXPECT_EQ(report.error(), ox::SE_PATH_NOT_ABSOLUTE);
    EXPECT_FALSE(report.cured());
    EXPECT_FALSE(report.cured_by_deletion());
    EXPECT_FALSE(report.boot());
    EXPECT_FALSE(report.has_archive());
    EXPECT_EQ(report.archive().type(), ox::SE_ARCHIVE);
}

TEST(core_wire, oneof_keeps_one_member)
{
    ox::HttpBlock block;
    block.mutable_report()->set_object("a");
    EXPECT_EQ(block.reason_case(), ox::HttpBlock::kReport);
    block.set_category(ox::UC_BLACK_LIST);
    EXPECT_EQ(block.reason_case(), ox::HttpBlock::kCategory);
    EXPECT_FALSE(block.has_report());
    EXPECT_EQ(block.report().object(), "");
    block.mutable_report();
    EXPECT_FALSE(block.has_category());
    EXPECT_EQ(block.category(), ox::UC_INFECTION_SOURCE);

    ox::NetIncident incident;
    incident.mutable_connection_block();
    incident.mutable_http_block()->set_url("u");
    EXPECT_EQ(incident.incident_case(), ox::NetIncident::kHttpBlock);
    EXPECT_FALSE(incident.has_connection_block());

    struct row {
        std::string_view wire;
        ox::LuaChunk::ChunkCase last;
        std::string_view again;
    };
    constexpr row rows[] = {
        {"0a 01 61 12 01 62", ox::LuaChunk::kFile, "12 01 62"},
        {"12 01 62 0a 01 61", ox::LuaChunk::kBuffer, "0a 01 61"},
    };
    for (const auto& r : rows) {
        ox::LuaChunk chunk;
        ASSERT_TRUE(receive(chunk, bytes(r.wire))) << r.wire;
        EXPECT_EQ(chunk.chunk_case(), r.last) << r.wire;
        EXPECT_EQ(hex(send(chunk)), r.again) << r.wire;
    }
    ox::LuaChunk chunk;
    chunk.set_buffer("a");
    chunk.set_file("b");
    EXPECT_FALSE(chunk.has_buffer());
    EXPECT_EQ(chunk.buffer(), "");
}

TEST(core_wire, app_info_carries_both_extensions_typed)
{
    ox::AppInfo info;
    ASSERT_TRUE(receive(info, bytes("c0 3e 01 c8 3e 05 0a 0c 0a 08 08 06 12 00 18 00 22 00 50 01 "
                                    "aa 01 04 08 00 10 0d")));
    ASSERT_TRUE(info.HasExtension(ox::root_info));
    ASSERT_TRUE(info.HasExtension(ox::traxd_info));
    EXPECT_EQ(info.GetExtension(ox::root_info).config_mode(), ox::CONFIG_MODE_FALLBACK);
    EXPECT_EQ(info.GetExtension(ox::traxd_info).oxs_state(), ox::EC_UNKNOWN_STATE);
    EXPECT_EQ(info.GetReflection()->GetUnknownFields(info).field_count(), 0);

    ox::AppInfo plain;
    ASSERT_TRUE(receive(plain, bytes("c0 3e 01 c8 3e 05")));
    EXPECT_FALSE(plain.HasExtension(ox::root_info));
    EXPECT_EQ(plain.GetExtension(ox::root_info).installed_app_size(), 0);
}

TEST(core_wire, empty_app_exe_info_prints_as_empty_json_object)
{
    std::string json;
    ASSERT_TRUE(gp::util::MessageToJsonString(ox::AppExeInfo::default_instance(), &json).ok());
    EXPECT_EQ(json, "{}");
}

} // namespace
