// Wire behaviour of the messages exchanged with PilotD, Vetter, Tagger and
// SeekD, and of the shared types they carry, as the IPC link handles them:
// written with the cached-size serialisation, read with the parse that
// checks required fields.

#include <gtest/gtest.h>

#include "schemas/wire.hpp"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/stubs/logging.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "schemas/annotation.pb.h"
#include "schemas/application.pb.h"
#include "schemas/config_mode.pb.h"
#include "schemas/incident.pb.h"
#include "schemas/lexmap.pb.h"
#include "schemas/list.pb.h"
#include "schemas/pilotd_traxd_ipc.pb.h"
#include "schemas/protocol.pb.h"
#include "schemas/root_appinfo.pb.h"
#include "schemas/rules.pb.h"
#include "schemas/seekd_client_ipc.pb.h"
#include "schemas/socket.pb.h"
#include "schemas/tagger_client_ipc.pb.h"
#include "schemas/url_category.pb.h"
#include "schemas/vetter_client_ipc.pb.h"

namespace {

namespace gp = google::protobuf;

using wire::bytes;
using wire::frame_case;
using wire::hex;
using wire::make;
using wire::receive;
using wire::send;

// Field keys used below: 20 (length-delimited) = a2 01, 50 (varint) = 90 03,
// 100 (length-delimited) = a2 06, 21 (varint) = a8 01 / (packed) aa 01;
// ox.AppInfo app 1000 = c0 3e, pid 1001 = c8 3e; ox.TRAXDConfig
// listen_address 10 = 52, rule 1003 = da 3e.
constexpr frame_case frame_cases[] = {
    // From PilotD.
    {"ox.Pilotd2TRAXDMessage", "", false, "tag missing"},
    {"ox.Pilotd2TRAXDMessage", "08 00", false, "0 is no tag"},
    {"ox.Pilotd2TRAXDMessage", "08 07", false, "7 is no tag: kept aside, so tag counts as missing"},
    {"ox.Pilotd2TRAXDMessage", "08 07 08 01", true, "a later valid tag wins; the bad one stays aside", "08 01 08 07"},
    {"ox.Pilotd2TRAXDMessage", "0a 01 01", false, "tag with the wrong wire type is an unknown field"},
    {"ox.Pilotd2TRAXDMessage", "0a 01 01 08 01", true, "the mistyped tag is kept aside", "08 01 0a 01 01"},
    {"ox.Pilotd2TRAXDMessage", "08", false, "truncated varint"},
    {"ox.Pilotd2TRAXDMessage", "08 02 22 05 61", false, "length beyond the frame"},
    {"ox.Pilotd2TRAXDMessage", "08 02 0f", false, "wire type 7 does not exist"},
    {"ox.Pilotd2TRAXDMessage", "00 00 08 02", false, "field number 0"},
    {"ox.Pilotd2TRAXDMessage", "08 01", true, "GET_CONFIG_RESPONSE without config parses; the daemon refuses it"},
    {"ox.Pilotd2TRAXDMessage", "08 03", true, "GET_KEEPERD_RESPONSE parses; the daemon refuses it"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 00", true, "empty settings are complete"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 0a 52 08 0a 03 3a 3a 31 10 c0 0a", true, "listen_address [::1]:1344"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 07 52 05 0a 03 3a 3a 31", false, "listen_address lacks its port"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 04 52 02 10 00", false, "listen_address lacks its address"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 02 08", false, "settings cut inside"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 0c da 3e 09 0a 07 12 05 72 03 0a 01 68", false,
     "a rule adds a header without value"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 00 a2 01 04 08 15 10 01", true, "control suspends"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 00 a2 01 02 08 15", false, "control without suspended"},
    {"ox.Pilotd2TRAXDMessage", "08 01 10 05 1a 00 a2 01 02 10 00", false, "control without app"},
    {"ox.Pilotd2TRAXDMessage", "08 02 22 01 73", true, "socket path alone"},
    {"ox.Pilotd2TRAXDMessage", "08 02 a2 06 02 08 00", true, "error alone"},
    {"ox.Pilotd2TRAXDMessage", "08 04 22 01 73 a2 06 05 08 7d 12 01 78", true, "path and error"},
    {"ox.Pilotd2TRAXDMessage", "08 02 a2 06 00", false, "error without code"},
    {"ox.Pilotd2TRAXDMessage", "08 02 a2 06 02 08 0e", false, "error code 14 is no ErrorCode"},
    {"ox.Pilotd2TRAXDMessage", "08 06 22 01 73 30 06", true, "app names Vetter in a Tagger answer"},
    {"ox.Pilotd2TRAXDMessage", "30 0b 08 06", true, "app 11 is no Application: kept aside", "08 06 30 0b"},
    {"ox.Pilotd2TRAXDMessage", "90 03 07 08 05", true, "unknown field 50 goes after the known ones", "08 05 90 03 07"},
    {"ox.Pilotd2TRAXDMessage", "08 05 2a 06 c0 3e 01 c8 3e 05", true, "appinfo element complete"},
    {"ox.Pilotd2TRAXDMessage", "08 05 2a 03 c0 3e 01", false, "appinfo element without pid"},
    {"ox.Pilotd2TRAXDMessage", "08 05 2a 06 c0 3e 0b c8 3e 05", false, "appinfo app 11 is no Application"},
    {"ox.Pilotd2TRAXDMessage", "08 05 2a 08 c0 3e 01 c8 3e 05 0a 00", false, "root_info without config_mode"},
    {"ox.Pilotd2TRAXDMessage", "08 05 2a 0a c0 3e 01 c8 3e 05 0a 02 50 00", true,
     "root_info complete: the extension is written before field 1000", "08 05 2a 0a 0a 02 50 00 c0 3e 01 c8 3e 05"},
    {"ox.Pilotd2TRAXDMessage", "08 05 2a 00", false, "empty appinfo element"},

    // To PilotD.
    {"ox.TRAXD2PilotdMessage", "", false, "tag missing"},
    {"ox.TRAXD2PilotdMessage", "08 01", true, "GET_CONFIG_REQUEST"},
    {"ox.TRAXD2PilotdMessage", "08 06", false, "6 is no tag"},
    {"ox.TRAXD2PilotdMessage", "08 08", true, "GET_TAGGER_REQUEST"},
    {"ox.TRAXD2PilotdMessage", "08 02 10 03 1a 04 08 00 10 0d", true, "MY_INFO_NOTIFICATION"},
    {"ox.TRAXD2PilotdMessage", "08 02 10 03 1a 02 08 00", false, "info without oxs_state"},
    {"ox.TRAXD2PilotdMessage", "08 03 22 12 0a 06 08 00 10 00 18 00 12 08 08 00 10 00 18 00 20 00", true,
     "MY_STAT_NOTIFICATION"},
    {"ox.TRAXD2PilotdMessage", "08 03 22 00", false, "stat without its parts"},
    {"ox.TRAXD2PilotdMessage", "08 04 2a 04 08 15 10 05", true, "MY_INCIDENTS_NOTIFICATION"},
    {"ox.TRAXD2PilotdMessage", "08 04 2a 02 08 15", false, "incident without origin_pid"},

    // Vetter's answers.
    {"vr.ServerMessage", "", false, "tag missing"},
    {"vr.ServerMessage", "08 06", false, "6 is no tag"},
    {"vr.ServerMessage", "08 05", true, "ADJUST_WINDOW parses; the client refuses it"},
    {"vr.ServerMessage", "08 05 30 ff ff ff ff ff ff ff ff ff 01", true, "window_change -1 is ten bytes"},
    {"vr.ServerMessage", "08 01 10 01 22 02 0a 00", true, "SCAN_RESPONSE"},
    {"vr.ServerMessage", "08 01 10 01 22 00", false, "scan_report without object"},
    {"vr.ServerMessage", "08 01 10 01 22 06 0a 00 32 02 08 01", false, "scan_report virus without name"},
    {"vr.ServerMessage", "08 01 10 01 22 02 0a 00 a2 06 02 08 7d", true, "SCAN_RESPONSE also carrying error"},
    {"vr.ServerMessage", "08 02 10 01 28 ff ff ff ff ff ff ff ff ff 01", true, "data_size 2^64 - 1"},
    {"vr.ServerMessage", "08 03 10 01 1a 03 00 ff 61", true, "DATA_CHUNK of raw bytes"},
    {"vr.ServerMessage", "08 04 10 01 a2 06 02 08 7d", true, "ALARM"},
    {"vr.ServerMessage", "08 04 10 01 a2 06 00", false, "ALARM error without code"},
    {"vr.ServerMessage", "08 05 3a 01 ff", true, "sha1 text is not checked as UTF-8"},

    // What the daemon sends Vetter.
    {"vr.ClientMessage", "08 01 10 15 18 d2 09 40 01", true, "HELLO"},
    {"vr.ClientMessage", "10 15", false, "HELLO without tag"},
    {"vr.ClientMessage", "08 04 20 01 32 00", true, "SCAN_REQUEST with empty options"},
    {"vr.ClientMessage", "08 04 20 01 32 05 aa 01 02 01 02", true, "packed threat_hash is written unpacked",
     "08 04 20 01 32 06 a8 01 01 a8 01 02"},
    {"vr.ClientMessage", "08 04 32 05 a8 01 03 08 00", true, "threat_hash 3 is no HashType: kept aside",
     "08 04 32 05 08 00 a8 01 03"},

    // Tagger.
    {"tg.ServerMessage", "", false, "tag missing"},
    {"tg.ServerMessage", "08 02", false, "2 is no tag"},
    {"tg.ServerMessage", "08 01", true, "answer without serial or result parses; the client refuses it"},
    {"tg.ServerMessage", "08 01 10 00 1a 02 08 00", true, "EC_OK without categories"},
    {"tg.ServerMessage", "08 01 10 07 1a 00", false, "url_result without error"},
    {"tg.ServerMessage", "08 01 10 07 1a 02 08 0e", false, "url_result error 14 is no ErrorCode"},
    {"tg.ServerMessage", "08 01 10 07 1a 09 08 00 10 03 10 14 1a 01 70", true, "categories and piracy URL"},
    {"tg.ClientMessage", "08 01 10 00 1a 01 75", true, "request without addresses"},
    {"tg.ClientMessage", "08 01 10 00 1a 01 75 2a 00", true, "present empty address list"},
    {"tg.ClientMessage", "08 01 2a 02 0a 00", false, "address element without address"},
    {"tg.ClientMessage", "08 01 2a 05 0a 03 0a 01 61", true, "one address"},
    {"tg.ClientMessage", "08 01 22 00", false, "decoded_url without path"},
    {"tg.ClientMessage", "08 01 22 05 0a 01 2f 1a 00", false, "url parameter without name"},
    {"tg.ClientMessage", "08 01 22 07 0a 01 2f 1a 02 0a 00", true, "url parameter with empty name"},

    // SeekD.
    {"sk.ServerMessage", "", false, "tag missing"},
    {"sk.ServerMessage", "08 03", false, "3 is no tag"},
    {"sk.ServerMessage", "08 02 10 01", true, "CHECK_RESPONSE without result"},
    {"sk.ServerMessage", "08 01 10 01 1a 00 1a 02 00 ff", true, "LOOKUP_RESPONSE keeps empty and raw data"},
    {"sk.ServerMessage", "08 02 10 01 20 01 a2 06 00", false, "error without code"},
    {"sk.ServerMessage", "08 02 10 01 20 01 a2 06 02 08 7d", true, "error beside result"},
    {"sk.ClientMessage", "08 02 10 01 18 16 22 01 61 3a 01 62", true, "CHECK_REQUEST"},
    {"sk.ClientMessage", "08 01 10 01 18 05 22 01 61", true, "lookup_type 5 is no LookupType: kept aside",
     "08 01 10 01 22 01 61 18 05"},
    {"sk.ClientMessage", "08 03", false, "3 is no tag"},
};

TEST(protocol_wire, frames_parse_and_write_back_as_expected)
{
    wire::expect_frames(frame_cases);
}

TEST(protocol_wire, settings_reach_the_daemon_through_the_envelope)
{
    ox::Pilotd2TRAXDMessage answer;
    ASSERT_TRUE(receive(answer, bytes("08 01 10 05 1a 0a 52 08 0a 03 3a 3a 31 10 c0 0a a2 01 04 08 15 10 00")));
    EXPECT_EQ(answer.tag(), ox::Pilotd2TRAXDMessage::GET_CONFIG_RESPONSE);
    ASSERT_TRUE(answer.has_config_revision());
    EXPECT_EQ(answer.config_revision(), 5u);
    ASSERT_TRUE(answer.has_config());
    EXPECT_EQ(answer.config().listen_address().address(), "::1");
    EXPECT_EQ(answer.config().listen_address().port(), 1344u);
    ASSERT_TRUE(answer.has_control());
    EXPECT_FALSE(answer.control().suspended());
    EXPECT_FALSE(answer.has_error());
    // A socket answer without error reads as EC_OK.
    EXPECT_EQ(answer.error().code(), ox::EC_OK);

    ox::Pilotd2TRAXDMessage only_error;
    ASSERT_TRUE(receive(only_error, bytes("08 02 a2 06 02 08 7d")));
    EXPECT_FALSE(only_error.has_socket_path());
    EXPECT_EQ(only_error.socket_path(), "");
    EXPECT_EQ(only_error.error().code(), ox::EC_UNEXPECTED_ERROR);
}

TEST(protocol_wire, default_scan_options_read_their_declared_defaults)
{
    constexpr std::uint64_t all_ones = std::numeric_limits<std::uint64_t>::max();
    vr::ScanOptions fresh;
    vr::ScanOptions parsed;
    ASSERT_TRUE(receive(parsed, ""));
    vr::ClientMessage request;
    request.set_tag(vr::ClientMessage::SCAN_REQUEST);
    const vr::ScanOptions& created = *request.mutable_scan_options();
    const vr::ScanOptions* const all[] = {&fresh, &parsed, &vr::ScanOptions::default_instance(), &created};
    for (const vr::ScanOptions* o : all) {
        EXPECT_EQ(o->scan_timeout_ms(), 3600000u);
        EXPECT_FALSE(o->cure());
        EXPECT_TRUE(o->heuristic_analysis());
        EXPECT_EQ(o->packer_max_level(), 8u);
        EXPECT_EQ(o->archive_max_level(), 8u);
        EXPECT_EQ(o->mail_max_level(), 8u);
        EXPECT_EQ(o->container_max_level(), 8u);
        EXPECT_EQ(o->max_compression_ratio(), 500u);
        EXPECT_FALSE(o->list_clean_items());
        EXPECT_FALSE(o->report_component_info());
        EXPECT_EQ(o->max_size_to_extract(), all_ones);
        EXPECT_EQ(o->min_size_to_scan(), 0u);
        EXPECT_EQ(o->max_size_to_scan(), all_ones);
        EXPECT_EQ(o->threat_hash_size(), 0);
        EXPECT_FALSE(o->has_scan_timeout_ms());
        EXPECT_FALSE(o->has_heuristic_analysis());
        EXPECT_FALSE(o->has_max_size_to_scan());
        EXPECT_EQ(hex(send(*o)), "");
    }
    // The options exist once asked for, though nothing was written into them.
    EXPECT_EQ(hex(send(request)), "08 04 32 00");

    // Presence, not the value, decides what goes out: a setting of 0 is sent
    // as 0 and read back as 0, not as the default.
    vr::ScanOptions zero;
    zero.set_scan_timeout_ms(0);
    zero.set_heuristic_analysis(true);
    EXPECT_EQ(hex(send(zero)), "08 00 18 01");
    vr::ScanOptions back;
    ASSERT_TRUE(receive(back, send(zero)));
    EXPECT_TRUE(back.has_scan_timeout_ms());
    EXPECT_EQ(back.scan_timeout_ms(), 0u);

    // Clearing returns a field to its declared default.
    back.clear_scan_timeout_ms();
    EXPECT_EQ(back.scan_timeout_ms(), 3600000u);

    // The largest sizes survive the round trip as ten-byte varints.
    vr::ScanOptions sizes;
    sizes.set_max_size_to_extract(all_ones);
    sizes.set_min_size_to_scan(0);
    EXPECT_EQ(hex(send(sizes)), "58 ff ff ff ff ff ff ff ff ff 01 60 00");
}

TEST(protocol_wire, url_result_keeps_known_categories_and_sets_18_aside)
{
    struct row {
        std::string_view why;
        std::string_view wire;
        std::vector<int> known;
        std::string_view again;
    };
    const row rows[] = {
        {"unpacked", "08 00 10 01 10 12 10 14", {1, 20}, "08 00 10 01 10 14 10 12"},
        {"packed", "08 00 12 03 01 12 14", {1, 20}, "08 00 10 01 10 14 10 12"},
        {"both forms append in the order read", "12 01 14 08 00 10 12 10 01", {20, 1}, "08 00 10 14 10 01 10 12"},
        {"19 is no category either", "08 00 12 02 13 12", {}, "08 00 10 13 10 12"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.why) + " [" + std::string(r.wire) + "]");
        tg::UrlResult result;
        ASSERT_TRUE(receive(result, bytes(r.wire)));
        EXPECT_EQ(std::vector<int>(result.categories().begin(), result.categories().end()), r.known);
        EXPECT_EQ(hex(send(result)), r.again);

        // The number set aside travels on with a copy and inside an answer.
        tg::ServerMessage answer;
        answer.set_tag(tg::ServerMessage::CHECK_URL_RESPONSE);
        answer.mutable_url_result()->CopyFrom(result);
        tg::ServerMessage received;
        ASSERT_TRUE(receive(received, send(answer)));
        EXPECT_EQ(hex(send(received.url_result())), r.again);
    }
}

TEST(protocol_wire, lists_merge_by_appending_and_copy_by_replacing)
{
    struct row {
        std::string_view type;
        std::string_view target;
        std::string_view source;
        std::string_view merged;
    };
    constexpr row rows[] = {
        // Order, duplicates and empty strings stay.
        {"ox.StringList", "0a 01 61 0a 00", "0a 01 61", "0a 01 61 0a 00 0a 01 61"},
        {"ox.StringList", "", "0a 00", "0a 00"},
        // Numbers set aside follow the known elements of both.
        {"ox.UrlCategoryList", "08 01 08 12", "08 14 08 01 08 13", "08 01 08 14 08 01 08 12 08 13"},
        {"ox.ProtocolList", "08 04", "08 06 08 05", "08 04 08 05 08 06"},
        {"ox.VirusTypeList", "08 08", "08 01", "08 08 08 01"},
        {"ox.IPAddressList", "0a 03 0a 01 61", "0a 03 0a 01 62", "0a 03 0a 01 61 0a 03 0a 01 62"},
        {"ox.StringPairList", "0a 04 0a 00 12 00", "0a 04 0a 00 12 00", "0a 04 0a 00 12 00 0a 04 0a 00 12 00"},
        {"ox.DNSxLList", "", "0a 06 0a 00 10 00 18 00", "0a 06 0a 00 10 00 18 00"},
        // Both sub-lists are merged, each by appending.
        {"ox.IPList", "0a 07 0a 05 0a 01 61 10 08 12 00", "0a 07 0a 05 0a 01 62 10 10 12 05 0a 03 0a 01 63",
         "0a 0e 0a 05 0a 01 61 10 08 0a 05 0a 01 62 10 10 12 05 0a 03 0a 01 63"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.type) + " [" + std::string(r.target) + "] + [" + std::string(r.source) + "]");
        auto target = make(r.type);
        auto source = make(r.type);
        ASSERT_NE(target, nullptr);
        ASSERT_TRUE(receive(*target, bytes(r.target)));
        ASSERT_TRUE(receive(*source, bytes(r.source)));

        auto merged = make(r.type);
        merged->CopyFrom(*target);
        merged->MergeFrom(*source);
        EXPECT_EQ(hex(send(*merged)), r.merged);

        // Two frames read one after the other merge the same way.
        auto concatenated = make(r.type);
        ASSERT_TRUE(concatenated->ParseFromString(bytes(r.target) + bytes(r.source)));
        EXPECT_EQ(hex(send(*concatenated)), r.merged);

        // Copying clears the target first.
        merged->CopyFrom(*source);
        EXPECT_EQ(hex(send(*merged)), hex(send(*source)));
    }

    // Elements are copied, not shared: changing the source afterwards leaves
    // the target as it was.
    ox::IPAddressList target;
    ox::IPAddressList source;
    source.add_ip()->set_address("a");
    target.MergeFrom(source);
    source.mutable_ip(0)->set_address("b");
    ASSERT_EQ(target.ip_size(), 1);
    EXPECT_EQ(target.ip(0).address(), "a");
}

TEST(protocol_wire, reading_a_oneof_case_follows_the_last_member_set)
{
    struct row {
        std::string_view type;
        std::string_view oneof;
        std::string_view wire;
        bool parses;
        std::string_view member; // empty: no member set
        std::string_view again;
    };
    constexpr row rows[] = {
        // The two block members share a type; only the case tells them apart.
        {"ox.RuleAction", "action", "12 00 1a 00", true, "block_as_blacklist", "1a 00"},
        {"ox.RuleAction", "action", "1a 00 12 00", true, "block_as_match", "12 00"},
        {"ox.RuleAction", "action", "50 01 5a 01 78", true, "set_http_templates_dir", "5a 01 78"},
        // An incomplete member replaced later does not make the action incomplete,
        {"ox.RuleAction", "action", "72 02 0a 00 50 00", true, "set_unwrap_ssl", "50 00"},
        // but one that comes last does.
        {"ox.RuleAction", "action", "50 00 72 02 0a 00", false, "add_header", ""},
        // Number 7 is no member: it is kept aside and the case stays.
        {"ox.RuleAction", "action", "12 00 3a 00", true, "block_as_match", "12 00 3a 00"},
        {"ox.RuleAction", "action", "0a 00", true, "", "0a 00"},
        {"ox.RuleCondition", "condition", "12 02 08 04 22 01 78", true, "sni_host_lookup", "22 01 78"},
        {"ox.RuleCondition", "condition", "08 01", true, "", "08 01"},
        // A number outside Divert does not displace the member read before it.
        {"ox.RuleCondition", "condition", "a8 01 02 b0 01 07", true, "direction", "a8 01 02 b0 01 07"},
        {"ox.RuleCondition", "condition", "b0 01 03 8d 01 00 00 80 3f", true, "total_spam_score_gt",
         "8d 01 00 00 80 3f"},
        {"ox.RuleVariable", "variable", "08 04 12 01 68", true, "sni_host", "12 01 68"},
        {"ox.RuleVariable", "variable", "12 01 68 08 09", true, "sni_host", "12 01 68 08 09"},
        {"ox.RuleVariable", "variable", "12 01 68 42 05 0a 01 61 10 00", true, "src_address", "42 05 0a 01 61 10 00"},
        {"ox.RuleVariable", "variable", "42 05 0a 01 61 10 00 4a 03 0a 01 61", false, "dst_address", ""},
        {"ox.RuleMatch", "match", "0a 02 08 01 1a 02 08 01", true, "threat_category", "1a 02 08 01"},
        {"ox.RuleActionChangeHeader.Value", "value", "12 00 0a 01 78", true, "literal", "0a 01 78"},
        {"ox.RuleActionChangeHeader.Value", "value", "0a 01 78 12 00", true, "original_value", "12 00"},
        {"ox.AnySocket", "type", "0a 01 2f 12 05 0a 01 61 10 00", true, "ip", "12 05 0a 01 61 10 00"},
        {"ox.AnySocket", "type", "12 05 0a 01 61 10 00 0a 00", true, "local", "0a 00"},
        {"ox.AnySocket", "type", "0a 01 2f 12 03 0a 01 61", false, "ip", ""},
        {"ox.LexOption", "data", "0a 01 6b 12 00 1a 00", true, "map", "0a 01 6b 1a 00"},
        {"ox.LexOption", "data", "0a 01 6b 1a 00 12 00", true, "value", "0a 01 6b 12 00"},
    };
    const gp::LogSilencer quiet;
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.type) + " [" + std::string(r.wire) + "]");
        auto message = make(r.type);
        ASSERT_NE(message, nullptr);
        const auto* oneof = message->GetDescriptor()->FindOneofByName(std::string(r.oneof));
        ASSERT_NE(oneof, nullptr);
        EXPECT_EQ(receive(*message, bytes(r.wire)), r.parses);
        const auto* member = message->GetReflection()->GetOneofFieldDescriptor(*message, oneof);
        EXPECT_EQ(member != nullptr ? member->name() : "", r.member);
        if (r.parses) {
            EXPECT_EQ(hex(send(*message)), r.again);
        }
    }

    // The same through the generated setters: the member set last is the one
    // the case names, and the one before is gone.
    ox::RuleCondition condition;
    condition.mutable_protocol_in_list()->add_item(ox::HTTP);
    condition.set_sni_host_lookup("x");
    EXPECT_EQ(condition.condition_case(), ox::RuleCondition::kSniHostLookup);
    EXPECT_FALSE(condition.has_protocol_in_list());
    EXPECT_EQ(&condition.protocol_in_list(), &ox::ProtocolList::default_instance());
    condition.mutable_protocol_in_list();
    EXPECT_EQ(condition.condition_case(), ox::RuleCondition::kProtocolInList);
    EXPECT_EQ(condition.protocol_in_list().item_size(), 0);
    EXPECT_EQ(condition.sni_host_lookup(), "");
    EXPECT_EQ(hex(send(condition)), "12 00");

    ox::RuleAction action;
    action.mutable_block_as_match();
    action.mutable_block_as_blacklist();
    EXPECT_EQ(action.action_case(), ox::RuleAction::kBlockAsBlacklist);
    EXPECT_FALSE(action.has_block_as_match());
    EXPECT_EQ(hex(send(action)), "1a 00");
    action.clear_action();
    EXPECT_EQ(action.action_case(), ox::RuleAction::ACTION_NOT_SET);
    EXPECT_EQ(hex(send(action)), "");
}

// The display text of an enumeration value: its `lex` option when the schema
// sets one, else its name.
std::string display_text(const gp::EnumValueDescriptor& value)
{
    const auto& options = value.options();
    return options.HasExtension(ox::lex) ? options.GetExtension(ox::lex) : value.name();
}

TEST(protocol_wire, display_texts_of_values_without_lex_are_their_names)
{
    struct row {
        const gp::EnumDescriptor* type;
        int number;
        std::string_view text;
    };
    const row rows[] = {
        {ox::Protocol_descriptor(), ox::SMTP, "SMTP"},
        {ox::Protocol_descriptor(), ox::HTTP, "HTTP"},
        {ox::Protocol_descriptor(), ox::FTP, "FTP"},
        {vr::HashType_descriptor(), vr::SHA1, "SHA1"},
        {vr::HashType_descriptor(), vr::SHA256, "SHA256"},
        {ox::LexHint_descriptor(), ox::HINT_ABSPATH, "HINT_ABSPATH"},
        // The nested enumerations of an incident, unlike the rules' ones.
        {ox::Connection_Divert_descriptor(), ox::Connection::FORWARD, "FORWARD"},
        {ox::HttpBlock_Direction_descriptor(), ox::HttpBlock::RESPONSE, "RESPONSE"},
        {ox::MailIncident_Action_descriptor(), ox::MailIncident::QUARANTINED, "QUARANTINED"},
        {ox::Pilotd2TRAXDMessage_MessageTag_descriptor(), ox::Pilotd2TRAXDMessage::GET_KEEPERD_RESPONSE,
         "GET_KEEPERD_RESPONSE"},
        {ox::TRAXD2PilotdMessage_MessageTag_descriptor(), ox::TRAXD2PilotdMessage::GET_TAGGER_REQUEST,
         "GET_TAGGER_REQUEST"},
        {vr::ServerMessage_ServerMessageTag_descriptor(), vr::ServerMessage::ADJUST_WINDOW, "ADJUST_WINDOW"},
        {vr::ClientMessage_ClientMessageTag_descriptor(), vr::ClientMessage::HELLO, "HELLO"},
        {tg::ServerMessage_ServerMessageTag_descriptor(), tg::ServerMessage::CHECK_URL_RESPONSE, "CHECK_URL_RESPONSE"},
        {sk::ServerMessage_ServerMessageTag_descriptor(), sk::ServerMessage::CHECK_RESPONSE, "CHECK_RESPONSE"},
        // The one Application value without a text.
        {ox::Application_descriptor(), ox::APP_GENERIC, "APP_GENERIC"},
        // Beside them, values that do carry a text show it instead.
        {ox::Application_descriptor(), ox::APP_TAGGER, "Tagger"},
        {sk::LookupType_descriptor(), sk::LOOKUP_MYSQL, "mysql"},
        {ox::UrlCategory_descriptor(), ox::UC_OWNERS_NOTICE, "Copyright owner's notice"},
        {ox::ConfigMode_descriptor(), ox::CONFIG_MODE_FALLBACK, "Fallback configuration"},
        {ox::Direction_descriptor(), ox::D_RESPONSE, "response"},
        {ox::Divert_descriptor(), ox::D_FORWARD, "forward"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.type->full_name() + " " + std::to_string(r.number));
        const auto* value = r.type->FindValueByNumber(r.number);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(display_text(*value), r.text);
    }

    // No value of these enumerations carries a text at all.
    for (const auto* type :
         {ox::Protocol_descriptor(), vr::HashType_descriptor(), ox::LexHint_descriptor(),
          ox::Connection_Divert_descriptor(), ox::HttpBlock_Direction_descriptor(),
          ox::MailIncident_Action_descriptor(), ox::Pilotd2TRAXDMessage_MessageTag_descriptor(),
          ox::TRAXD2PilotdMessage_MessageTag_descriptor(), vr::ClientMessage_ClientMessageTag_descriptor(),
          vr::ServerMessage_ServerMessageTag_descriptor(), tg::ClientMessage_ClientMessageTag_descriptor(),
          tg::ServerMessage_ServerMessageTag_descriptor(), sk::ClientMessage_ClientMessageTag_descriptor(),
          sk::ServerMessage_ServerMessageTag_descriptor()}) {
        for (int i = 0; i < type->value_count(); ++i) {
            EXPECT_EQ(display_text(*type->value(i)), type->value(i)->name()) << type->value(i)->full_name();
        }
    }
}

} // namespace
