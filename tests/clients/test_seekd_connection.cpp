// The SeekD client against the stand-in SeekD over a local socket: requests
// on the wire, lookup and check answers, SeekD's errors, replies that break
// the link, and the idle close.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <boost/any.hpp>
#include <google/protobuf/repeated_field.h>

#include "clients/seekd_connection.hpp"
#include "common/async_error.hpp"
#include "common/error_category.hpp"
#include "services_fixture.hpp"
#include "standins/seekd_standin.hpp"

namespace {

using namespace std::chrono_literals;
using strings_t = std::vector<std::string>;

// The outcome of one request, shared with its completion, which may run
// after the test's body (when the connection goes with the fixture).
struct outcome_t {
    bool called = false;
    boost::system::error_code error;
    std::string message;
    // Nothing, the strings of a lookup's answer or the bool of a check's.
    std::variant<std::monostate, strings_t, bool> value;
};

class seekd_fixture_t : public test_services::fixture_t {
protected:
    void SetUp() override
    {
        seekd.load_table("ldap@Group_Name user=alice : admins staff\n"
                         "ldap@groupname : everyone\n"
                         "MySQL@quota domain=corp : 100\n"
                         "redis@empty :   # yields nothing\n"
                         "ad@broken ! EC_NOT_INSTALLED\n");
        connection = connect(&ic::inventory_t::get_seekd_connection, ox::APP_SEEKD, seekd.path());
        ASSERT_NE(connection, nullptr);
    }

    static ic::seekd_connection_t::completion_t completion(const std::shared_ptr<outcome_t>& outcome)
    {
        return [outcome](const orx::async::result_handle_t& result) {
            EXPECT_FALSE(outcome->called);
            outcome->called = true;
            outcome->error = result.error();
            outcome->message = result.message();
            if (const auto* data = boost::any_cast<google::protobuf::RepeatedPtrField<std::string>>(&result.value()))
                outcome->value = strings_t(data->begin(), data->end());
            else if (const auto* flag = boost::any_cast<bool>(&result.value()))
                outcome->value = *flag;
        };
    }

    std::shared_ptr<outcome_t> send_lookup(sk::LookupType type, const std::string& tag, const std::string& user = {},
                                           const std::string& domain = {})
    {
        auto outcome = std::make_shared<outcome_t>();
        connection->lookup(type, tag, user, domain, completion(outcome));
        return outcome;
    }

    std::shared_ptr<outcome_t> send_check(sk::LookupType type, const std::string& tag, const std::string& value,
                                          const std::string& user = {}, const std::string& domain = {})
    {
        auto outcome = std::make_shared<outcome_t>();
        connection->check(type, tag, user, domain, value, completion(outcome));
        return outcome;
    }

    std::shared_ptr<outcome_t> done(std::shared_ptr<outcome_t> outcome)
    {
        EXPECT_TRUE(run_until([&] { return outcome->called; }));
        return outcome;
    }

    std::string warning(const std::string& text) const
    {
        return "SeekD " + test_services::address_text(connection) + ": " + text;
    }

    standin::seekd_standin_t seekd;
    ic::seekd_connection_t* connection = nullptr;
};

using seekd_wire_test = seekd_fixture_t;

TEST_F(seekd_wire_test, requests_count_from_1_and_carry_only_given_fields)
{
    done(send_lookup(sk::LOOKUP_LDAP, "groupname"));
    done(send_lookup(sk::LOOKUP_MYSQL, "quota", "bob", "corp"));
    done(send_check(sk::LOOKUP_CIDR, "nets", ""));
    ASSERT_TRUE(seekd.wait_for_requests(3));
    const auto requests = seekd.requests();

    EXPECT_EQ(requests[0].tag(), sk::ClientMessage::LOOKUP_REQUEST);
    EXPECT_EQ(requests[0].serial(), 1u);
    EXPECT_EQ(requests[0].lookup_type(), sk::LOOKUP_LDAP);
    EXPECT_TRUE(requests[0].has_lookup_type());
    EXPECT_EQ(requests[0].lookup_tag(), "groupname");
    EXPECT_FALSE(requests[0].has_user());
    EXPECT_FALSE(requests[0].has_domain());
    EXPECT_FALSE(requests[0].has_check());

    EXPECT_EQ(requests[1].serial(), 2u);
    EXPECT_EQ(requests[1].lookup_type(), sk::LOOKUP_MYSQL);
    EXPECT_EQ(requests[1].user(), "bob");
    EXPECT_EQ(requests[1].domain(), "corp");

    EXPECT_EQ(requests[2].tag(), sk::ClientMessage::CHECK_REQUEST);
    EXPECT_EQ(requests[2].serial(), 3u);
    EXPECT_EQ(requests[2].lookup_type(), sk::LOOKUP_CIDR);
    // An empty value is still sent.
    EXPECT_TRUE(requests[2].has_check());
    EXPECT_EQ(requests[2].check(), "");
}

struct answer_case_t {
    const char* name;
    bool check;
    sk::LookupType type;
    std::string tag;
    std::string user;
    std::string domain;
    std::string value;
    standin::fault_t fault;
    ox::ErrorCode error;
    std::variant<std::monostate, strings_t, bool> expected;
};

class seekd_answer_test : public seekd_fixture_t, public testing::WithParamInterface<answer_case_t> {};

TEST_P(seekd_answer_test, answer_completes_the_result)
{
    const auto& c = GetParam();
    seekd.listener().set_fault(c.fault);
    const auto outcome = done(c.check ? send_check(c.type, c.tag, c.value, c.user, c.domain)
                                      : send_lookup(c.type, c.tag, c.user, c.domain));
    if (c.error == ox::EC_OK) {
        EXPECT_FALSE(outcome->error) << outcome->error;
    } else {
        EXPECT_EQ(outcome->error, ox::make_error_code(c.error));
        // The error's own text is not used.
        EXPECT_EQ(outcome->message, outcome->error.message());
    }
    EXPECT_EQ(outcome->value, c.expected);
    EXPECT_TRUE(records(cf_log_warning).empty());
}

INSTANTIATE_TEST_SUITE_P(
    cases, seekd_answer_test,
    testing::Values(answer_case_t{"lookup", false, sk::LOOKUP_LDAP, "groupname", "alice", "", "",
                                  standin::fault_t::none, ox::EC_OK, strings_t{"admins", "staff"}},
                    answer_case_t{"lookup_of_another_user", false, sk::LOOKUP_LDAP, "groupname", "", "", "",
                                  standin::fault_t::none, ox::EC_OK, strings_t{"everyone"}},
                    answer_case_t{"lookup_without_data", false, sk::LOOKUP_REDIS, "empty", "", "", "",
                                  standin::fault_t::none, ox::EC_OK, strings_t{}},
                    answer_case_t{"check_finds_the_value", true, sk::LOOKUP_MYSQL, "quota", "", "corp", "100",
                                  standin::fault_t::none, ox::EC_OK, true},
                    // The stand-in leaves `result` out when it is false.
                    answer_case_t{"check_without_result_is_false", true, sk::LOOKUP_LDAP, "groupname", "alice", "",
                                  "root", standin::fault_t::none, ox::EC_OK, false},
                    answer_case_t{"lookup_error", false, sk::LOOKUP_AD, "broken", "", "", "", standin::fault_t::none,
                                  ox::EC_NOT_INSTALLED, std::monostate{}},
                    answer_case_t{"check_error", true, sk::LOOKUP_AD, "broken", "", "", "x", standin::fault_t::none,
                                  ox::EC_NOT_INSTALLED, std::monostate{}},
                    // The client keeps no kind per request: the reply's tag decides.
                    answer_case_t{"check_reply_to_a_lookup", false, sk::LOOKUP_LDAP, "groupname", "", "", "",
                                  standin::fault_t::incomplete, ox::EC_OK, false},
                    answer_case_t{"lookup_reply_to_a_check", true, sk::LOOKUP_LDAP, "groupname", "", "", "everyone",
                                  standin::fault_t::incomplete, ox::EC_OK, strings_t{"everyone"}}),
    [](const auto& info) { return std::string(info.param.name); });

using seekd_serial_test = seekd_fixture_t;

TEST_F(seekd_serial_test, answers_in_any_order_reach_their_requests)
{
    seekd.listener().set_fault(standin::fault_t::hold);
    const auto lookup = send_lookup(sk::LOOKUP_LDAP, "groupname");
    const auto check = send_check(sk::LOOKUP_MYSQL, "quota", "100", "", "corp");
    ASSERT_TRUE(run_until([&] { return seekd.listener().held() == 2; }));
    seekd.listener().release_held(true);
    ASSERT_TRUE(run_until([&] { return lookup->called && check->called; }));
    EXPECT_EQ(lookup->value, (std::variant<std::monostate, strings_t, bool>(strings_t{"everyone"})));
    EXPECT_EQ(check->value, (std::variant<std::monostate, strings_t, bool>(true)));
}

TEST_F(seekd_serial_test, answer_for_a_serial_not_pending_is_ignored)
{
    seekd.listener().set_fault(standin::fault_t::stray_serial);
    const auto lost = send_lookup(sk::LOOKUP_LDAP, "groupname");
    ASSERT_TRUE(seekd.wait_for_requests(1));
    for (int i = 0; i < 20; ++i)
        pump();
    EXPECT_FALSE(lost->called);
    EXPECT_TRUE(records(cf_log_warning).empty());

    seekd.listener().set_fault(standin::fault_t::none);
    EXPECT_TRUE(done(send_check(sk::LOOKUP_MYSQL, "quota", "100", "", "corp"))->value == decltype(lost->value)(true));
    EXPECT_TRUE(connection->is_open());
    EXPECT_FALSE(seekd.listener().wait_for_ended(1, 200ms));
}

struct broken_case_t {
    const char* name;
    standin::fault_t fault;
    std::vector<std::string> warnings;
};

class seekd_broken_test : public seekd_fixture_t, public testing::WithParamInterface<broken_case_t> {};

TEST_P(seekd_broken_test, link_is_dropped_with_a_warning)
{
    const auto& c = GetParam();
    std::vector<std::string> expected;
    for (const auto& text : c.warnings)
        expected.push_back(warning(text));
    seekd.listener().set_fault(c.fault);
    const auto outcome = done(send_lookup(sk::LOOKUP_LDAP, "groupname"));
    EXPECT_EQ(outcome->error, orx::async::make_error_code(orx::async::result_error_t::shutdown));
    EXPECT_EQ(outcome->value, (std::variant<std::monostate, strings_t, bool>()));
    EXPECT_EQ(records(cf_log_warning), expected);
    EXPECT_TRUE(seekd.listener().wait_for_ended(1));

    seekd.listener().set_fault(standin::fault_t::none);
    connection = connect(&ic::inventory_t::get_seekd_connection, ox::APP_SEEKD, seekd.path());
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(done(send_lookup(sk::LOOKUP_LDAP, "groupname"))->value,
              (std::variant<std::monostate, strings_t, bool>(strings_t{"everyone"})));
}

INSTANTIATE_TEST_SUITE_P(
    cases, seekd_broken_test,
    testing::Values(broken_case_t{"unparsable",
                                  standin::fault_t::garbage,
                                  {"Invalid IPC message format [ox.Error:8]", "Link disconnected"}},
                    // Tags other than the protocol's two make the reply unparsable.
                    broken_case_t{"unexpected_tag",
                                  standin::fault_t::unexpected_tag,
                                  {"Invalid IPC message format [ox.Error:8]", "Link disconnected"}},
                    broken_case_t{"no_serial",
                                  standin::fault_t::no_serial,
                                  {"LOOKUP_RESPONSE: Check failed: msg.has_serial(): Protocol violation [ox.Error:12]",
                                   "Link disconnected"}},
                    broken_case_t{"frame_of_length_0", standin::fault_t::empty_frame, {"Invalid IPC message size"}},
                    broken_case_t{"seekd_closes", standin::fault_t::close, {"Link disconnected"}}),
    [](const auto& info) { return std::string(info.param.name); });

using seekd_idle_test = seekd_fixture_t;

TEST_F(seekd_idle_test, closed_on_the_eleventh_tick_after_the_last_answer)
{
    seekd.listener().set_delay(300ms);
    const auto slow = send_lookup(sk::LOOKUP_LDAP, "groupname");
    tick(15);
    done(slow);
    seekd.listener().set_delay(0ms);
    tick(5);
    done(send_check(sk::LOOKUP_LDAP, "groupname", "everyone"));
    tick(10);
    // The stand-in would see the close within this time.
    EXPECT_FALSE(seekd.listener().wait_for_ended(1, 200ms));
    tick();
    EXPECT_TRUE(seekd.listener().wait_for_ended(1));
    EXPECT_TRUE(records(cf_log_warning).empty());
}

} // namespace
