// What PilotD sends on the channel and how the daemon ends for it: a
// suspension, a broken channel, malformed and unexpected messages.

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

using e2e::PrintTo;

// Raw protobuf bytes: field 1 (tag) as a varint.
std::string tag_only(unsigned char tag)
{
    return std::string{'\x08', static_cast<char>(tag)};
}

struct channel_case_t {
    const char* name;
    std::function<void(standin::pilotd_standin_t&)> misbehave;
    int status;
    std::string record;
};

class channel_test_t : public daemon_test_t, public ::testing::WithParamInterface<channel_case_t> {
protected:
    void expect_end()
    {
        GetParam().misbehave(pilotd);
        const auto status = pilotd.wait_exit();
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, GetParam().status);
        const std::string err = pilotd.stderr_text();
        EXPECT_NE(err.find(GetParam().record), std::string::npos) << err;
        EXPECT_NE(err.find("Notice: Exit with status " + std::to_string(GetParam().status) + " ("), std::string::npos)
            << err;
    }
};

TEST_P(channel_test_t, ends_the_running_daemon_with_its_status_and_record)
{
    ASSERT_TRUE(start_configured());
    expect_end();
}

// Before any settings no output is configured: the records come out on the
// console when the daemon exits.
TEST_P(channel_test_t, ends_the_daemon_waiting_for_settings_the_same_way)
{
    pilotd.set_auto_answer(false);
    start();
    ASSERT_TRUE(pilotd.wait_for_frame(tag_t::GET_CONFIG_REQUEST).has_value());
    expect_end();
}

ox::Pilotd2TRAXDMessage tagged(ox::Pilotd2TRAXDMessage::MessageTag tag)
{
    ox::Pilotd2TRAXDMessage message;
    message.set_tag(tag);
    return message;
}

INSTANTIATE_TEST_SUITE_P(
    misbehaviour, channel_test_t,
    ::testing::Values(
        channel_case_t{"suspension", [](auto& p) { p.send_suspension(); }, ox::EC_APP_SUSPENDED,
                       "Notice: Component suspended, exiting...\n"},
        channel_case_t{"closed_channel", [](auto& p) { p.close_channel(); }, ox::EC_MONITOR_IPC_ERROR,
                       "Error: Monitor: Link disconnected\n"},
        channel_case_t{"unexpected_tag",
                       [](auto& p) { p.send_message(tagged(ox::Pilotd2TRAXDMessage::GET_KEEPERD_RESPONSE)); },
                       ox::EC_MONITOR_IPC_ERROR, "Error: Monitor: Unexpected IPC message [ox.Error:11]\n"},
        channel_case_t{"tag_outside_the_enumeration", [](auto& p) { p.send_frame(tag_only(9)); },
                       ox::EC_MONITOR_IPC_ERROR, "Error: Monitor: Invalid IPC message format [ox.Error:8]\n"},
        channel_case_t{"garbage_frame", [](auto& p) { p.send_frame("\xff\xff\xff garbage"); }, ox::EC_MONITOR_IPC_ERROR,
                       "Error: Monitor: Invalid IPC message format [ox.Error:8]\n"},
        channel_case_t{"frame_of_length_zero", [](auto& p) { p.send_raw(std::string(4, '\0')); },
                       ox::EC_MONITOR_IPC_ERROR, "Error: Monitor: Invalid IPC message size\n"},
        channel_case_t{"frame_over_64_mib", [](auto& p) { p.send_raw(std::string("\x01\x00\x00\x04", 4)); },
                       ox::EC_MONITOR_IPC_ERROR, "Error: Monitor: Invalid IPC message size\n"},
        channel_case_t{"settings_without_revision",
                       [](auto& p) {
                           auto message = tagged(ox::Pilotd2TRAXDMessage::GET_CONFIG_RESPONSE);
                           message.mutable_config();
                           p.send_message(message);
                       },
                       ox::EC_MONITOR_IPC_ERROR, "Error: Monitor: Protocol violation [ox.Error:12]\n"},
        channel_case_t{"socket_answer_without_path_or_error",
                       [](auto& p) { p.send_message(tagged(ox::Pilotd2TRAXDMessage::GET_TAGGER_RESPONSE)); },
                       ox::EC_MONITOR_IPC_ERROR, "Error: Monitor: Protocol violation [ox.Error:12]\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class channel_accepts_test_t : public daemon_test_t {};

TEST_F(channel_accepts_test_t, answers_that_are_no_failure_leave_the_daemon_running)
{
    ASSERT_TRUE(start_configured());
    // A suspension flag that is off: the settings are applied as usual.
    std::size_t from = pilotd.frame_count();
    pilotd.send_suspension(false);
    EXPECT_TRUE(pilotd.wait_for_frame(tag_t::MY_INFO_NOTIFICATION, from).has_value());

    // Socket answers nobody asked for, and an empty application list.
    ox::Pilotd2TRAXDMessage answer;
    answer.set_tag(ox::Pilotd2TRAXDMessage::GET_SEEKD_RESPONSE);
    answer.set_socket_path("/nonexistent/seekd.sock");
    pilotd.send_message(answer);
    answer.Clear();
    answer.set_tag(ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE);
    answer.mutable_error()->set_code(ox::EC_NOT_INSTALLED);
    pilotd.send_message(answer);
    answer.Clear();
    answer.set_tag(ox::Pilotd2TRAXDMessage::APPINFO_NOTIFICATION);
    pilotd.send_message(answer);

    // Still alive and serving: a further statistics message and an answer.
    from = pilotd.frame_count();
    EXPECT_TRUE(pilotd.wait_for_frame(tag_t::MY_STAT_NOTIFICATION, from).has_value());
    EXPECT_TRUE(ask_options(port).has_value());
    EXPECT_EQ(pilotd.wait_exit(0s), std::nullopt);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

} // namespace
} // namespace e2e
