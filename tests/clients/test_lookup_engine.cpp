// The lookup engine against the stand-in SeekD: questions become requests,
// successful answers are kept for 60 seconds of an injected clock and then
// dropped by the tick, failures reach the caller and are never kept.

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "clients/lookup_engine.hpp"
#include "common/exception_ptr_text.hpp"
#include "services_fixture.hpp"
#include "standins/seekd_standin.hpp"

namespace {

using namespace std::chrono_literals;
using params_t = std::unordered_map<std::string, std::string>;
using strings_t = std::vector<std::string>;

// The outcome of one question, shared with its completion.
struct outcome_t {
    int calls = 0;
    // The exception's text; empty for success.
    std::string failure;
    strings_t data;
    bool result = false;
};

// One question, lookup or check.
struct question_t {
    std::string kind;
    std::string tag;
    params_t params;
    // A check when set.
    std::optional<std::string> value;
};

class lookup_fixture_t : public test_services::fixture_t {
protected:
    void SetUp() override
    {
        seekd.load_table("ldap@groupname user=alice : admins staff\n"
                         "ldap@groupname user=bob : staff\n"
                         "ldap@groupname : everyone\n"
                         "mysql@quota domain=corp : 100\n"
                         "ad@broken ! EC_NOT_INSTALLED\n");
    }

    // Makes the SeekD connection the engine's questions will use.
    void connect_seekd()
    {
        ASSERT_NE(connect(&ic::inventory_t::get_seekd_connection, ox::APP_SEEKD, seekd.path()), nullptr);
    }

    // Asks, checks that nothing completes inside the call, and leaves the
    // answer to come.
    std::shared_ptr<outcome_t> send(const question_t& q)
    {
        auto outcome = std::make_shared<outcome_t>();
        const auto failure_text = [](const std::exception_ptr& e) {
            return e ? ox::util::exception_ptr_text(e) : std::string();
        };
        if (q.value)
            engine->check(q.kind, q.tag, *q.value, q.params,
                          [outcome, failure_text](std::exception_ptr e, bool result) {
                              ++outcome->calls;
                              outcome->failure = failure_text(e);
                              outcome->result = result;
                          });
        else
            engine->lookup(q.kind, q.tag, q.params, [outcome, failure_text](std::exception_ptr e, strings_t data) {
                ++outcome->calls;
                outcome->failure = failure_text(e);
                outcome->data = std::move(data);
            });
        EXPECT_EQ(outcome->calls, 0) << "completed inside the call";
        return outcome;
    }

    std::shared_ptr<outcome_t> ask(const question_t& q)
    {
        auto outcome = send(q);
        EXPECT_TRUE(run_until([&] { return outcome->calls > 0; }));
        EXPECT_EQ(outcome->calls, 1);
        return outcome;
    }

    std::size_t sent() const { return seekd.requests().size(); }

    standin::seekd_standin_t seekd;
    ic::lookup_engine_t::clock_type::time_point now{std::chrono::hours(1)};
    std::unique_ptr<ic::lookup_engine_t> engine =
        std::make_unique<ic::lookup_engine_t>(*inventory, [this] { return now; });
};

using lookup_engine_test = lookup_fixture_t;

TEST_F(lookup_engine_test, question_becomes_a_request_and_its_repeat_is_answered_from_the_cache)
{
    connect_seekd();
    const auto first = ask({"LDAP", "Group_Name", {}, {}});
    EXPECT_EQ(first->failure, "");
    EXPECT_EQ(first->data, (strings_t{"everyone"}));
    ASSERT_EQ(sent(), 1u);
    const auto request = seekd.requests()[0];
    EXPECT_EQ(request.tag(), sk::ClientMessage::LOOKUP_REQUEST);
    EXPECT_EQ(request.lookup_type(), sk::LOOKUP_LDAP);
    EXPECT_EQ(request.lookup_tag(), "groupname");
    EXPECT_TRUE(logged(cf_log_debug, "lookup_engine_t: 1 result(s) in cache"));

    now += 59s;
    const auto second = ask({"LDAP", "Group_Name", {}, {}});
    EXPECT_EQ(second->data, (strings_t{"everyone"}));
    EXPECT_EQ(sent(), 1u);
}

// Two questions in turn: the second is answered from the first's entry, or
// sent to SeekD.
struct pair_case_t {
    const char* name;
    question_t first;
    question_t second;
    bool second_sent;
};

class lookup_key_test : public lookup_fixture_t, public testing::WithParamInterface<pair_case_t> {};

TEST_P(lookup_key_test, questions_share_an_entry_only_when_they_are_the_same)
{
    const auto& c = GetParam();
    connect_seekd();
    const auto first = ask(c.first);
    EXPECT_EQ(first->failure, "");
    const auto second = ask(c.second);
    EXPECT_EQ(second->failure, "");
    EXPECT_EQ(sent(), c.second_sent ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    cases, lookup_key_test,
    testing::Values(
        pair_case_t{"same_question", {"ldap", "groupname", {}, {}}, {"ldap", "groupname", {}, {}}, false},
        pair_case_t{"tag_case_and_underscores_do_not_matter",
                    {"ldap", "groupname", {}, {}},
                    {"LDAP", "Group_NAME", {}, {}},
                    false},
        pair_case_t{"other_params_are_ignored",
                    {"ldap", "groupname", {{"user", "alice"}}, {}},
                    {"ldap", "groupname", {{"user", "alice"}, {"other", "x"}}, {}},
                    false},
        pair_case_t{"users_differ",
                    {"ldap", "groupname", {{"user", "alice"}}, {}},
                    {"ldap", "groupname", {{"user", "bob"}}, {}},
                    true},
        pair_case_t{
            "user_given_or_not", {"ldap", "groupname", {}, {}}, {"ldap", "groupname", {{"user", "alice"}}, {}}, true},
        pair_case_t{"domains_differ",
                    {"mysql", "quota", {{"domain", "corp"}}, {}},
                    {"mysql", "quota", {{"domain", "home"}}, {}},
                    true},
        pair_case_t{"kinds_differ", {"ldap", "groupname", {}, {}}, {"ad", "groupname", {}, {}}, true},
        pair_case_t{"lookup_and_check", {"ldap", "groupname", {}, {}}, {"ldap", "groupname", {}, "everyone"}, true},
        pair_case_t{
            "check_of_an_empty_value_is_no_lookup", {"ldap", "groupname", {}, {}}, {"ldap", "groupname", {}, ""}, true},
        pair_case_t{"values_differ", {"ldap", "groupname", {}, "a"}, {"ldap", "groupname", {}, "b"}, true},
        pair_case_t{"same_check", {"ldap", "groupname", {}, "a"}, {"Ldap", "group_name", {}, "a"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(lookup_engine_test, answers_of_both_kinds_reach_the_caller_and_the_cache)
{
    connect_seekd();
    EXPECT_EQ(ask({"ldap", "groupname", {{"user", "alice"}}, {}})->data, (strings_t{"admins", "staff"}));
    EXPECT_TRUE(ask({"mysql", "quota", {{"domain", "corp"}}, "100"})->result);
    EXPECT_FALSE(ask({"mysql", "quota", {{"domain", "corp"}}, "99"})->result);
    EXPECT_EQ(ask({"ldap", "nothing", {}, {}})->data, strings_t{});
    EXPECT_EQ(sent(), 4u);
    // From the cache, values and all.
    EXPECT_EQ(ask({"ldap", "groupname", {{"user", "alice"}}, {}})->data, (strings_t{"admins", "staff"}));
    EXPECT_TRUE(ask({"mysql", "quota", {{"domain", "corp"}}, "100"})->result);
    EXPECT_FALSE(ask({"mysql", "quota", {{"domain", "corp"}}, "99"})->result);
    EXPECT_EQ(sent(), 4u);
}

struct kind_case_t {
    const char* name;
    std::string kind;
    std::optional<sk::LookupType> type;
};

class lookup_kind_test : public lookup_fixture_t, public testing::WithParamInterface<kind_case_t> {};

TEST_P(lookup_kind_test, kind_name_selects_the_lookup_type)
{
    const auto& c = GetParam();
    if (c.type)
        EXPECT_EQ(ic::lookup_type_from_name(c.kind), *c.type);
    else
        EXPECT_THROW(ic::lookup_type_from_name(c.kind), boost::system::system_error);
}

INSTANTIATE_TEST_SUITE_P(
    cases, lookup_kind_test,
    testing::Values(kind_case_t{"ldap", "ldap", sk::LOOKUP_LDAP}, kind_case_t{"ad", "AD", sk::LOOKUP_AD},
                    kind_case_t{"mixed_case", "MySQL", sk::LOOKUP_MYSQL}, kind_case_t{"pq", "pq", sk::LOOKUP_PQ},
                    kind_case_t{"sqlite", "sqlite", sk::LOOKUP_SQLITE}, kind_case_t{"redis", "redis", sk::LOOKUP_REDIS},
                    kind_case_t{"allmatch", "allmatch", sk::LOOKUP_ALLMATCH},
                    kind_case_t{"regex", "Regex", sk::LOOKUP_REGEX}, kind_case_t{"cidr", "cidr", sk::LOOKUP_CIDR},
                    kind_case_t{"mask", "MASK", sk::LOOKUP_MASK}, kind_case_t{"trailing_blank", "ldap ", std::nullopt},
                    kind_case_t{"enum_name", "LOOKUP_LDAP", std::nullopt},
                    kind_case_t{"unknown", "postgres", std::nullopt}, kind_case_t{"empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// An unknown kind fails the question through the event loop, and nothing
// is sent, logged or kept.
class lookup_unknown_kind_test : public lookup_fixture_t, public testing::WithParamInterface<kind_case_t> {};

TEST_P(lookup_unknown_kind_test, fails_without_a_request)
{
    connect_seekd();
    const auto errors = records(cf_log_error).size();
    EXPECT_EQ(ask({GetParam().kind, "groupname", {}, {}})->failure, "Invalid argument");
    EXPECT_EQ(ask({GetParam().kind, "groupname", {}, "x"})->failure, "Invalid argument");
    EXPECT_EQ(sent(), 0u);
    EXPECT_EQ(records(cf_log_error).size(), errors);
}

INSTANTIATE_TEST_SUITE_P(cases, lookup_unknown_kind_test,
                         testing::Values(kind_case_t{"trailing_blank", "ldap ", std::nullopt},
                                         kind_case_t{"empty", "", std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

// An answer stays usable for 60 seconds and goes with the first tick after.
TEST_F(lookup_engine_test, answer_is_dropped_by_the_first_tick_after_60_seconds)
{
    connect_seekd();
    ask({"ldap", "groupname", {}, {}});
    const auto debug_lines = [this] { return records(cf_log_debug).size(); };

    now += 30s;
    ask({"ldap", "other", {}, {}});
    ASSERT_EQ(sent(), 2u);

    now += 30s;
    auto before = debug_lines();
    tick();
    // Exactly 60 seconds old: kept, and a tick that drops nothing says nothing.
    EXPECT_EQ(debug_lines(), before);
    ask({"ldap", "groupname", {}, {}});
    EXPECT_EQ(sent(), 2u);

    now += 1ns;
    tick();
    EXPECT_TRUE(logged(cf_log_debug, "lookup_engine_t::on_tick: 1 result(s) in cache"));
    ask({"ldap", "groupname", {}, {}});
    EXPECT_EQ(sent(), 3u);
    // The younger one is still there.
    ask({"ldap", "other", {}, {}});
    EXPECT_EQ(sent(), 3u);

    now += 31s;
    tick();
    EXPECT_TRUE(logged(cf_log_debug, "lookup_engine_t::on_tick: 1 result(s) in cache"));
    ask({"ldap", "other", {}, {}});
    EXPECT_EQ(sent(), 4u);
}

TEST_F(lookup_engine_test, settings_change_empties_the_cache)
{
    connect_seekd();
    ask({"ldap", "groupname", {}, {}});
    ask({"ldap", "groupname", {}, {}});
    ASSERT_EQ(sent(), 1u);
    apply_settings();
    EXPECT_TRUE(logged(cf_log_debug, "lookup_engine_t: clear cache"));
    ask({"ldap", "groupname", {}, {}});
    EXPECT_EQ(sent(), 2u);
}

// Two identical questions in flight: both are sent and answered; the first
// answer is kept.
TEST_F(lookup_engine_test, identical_questions_in_flight_keep_one_entry)
{
    connect_seekd();
    const auto first = send({"ldap", "groupname", {}, {}});
    const auto second = send({"ldap", "groupname", {}, {}});
    ASSERT_TRUE(run_until([&] { return first->calls == 1 && second->calls == 1; }));
    EXPECT_EQ(second->data, (strings_t{"everyone"}));
    EXPECT_EQ(sent(), 2u);
    const auto debug = records(cf_log_debug);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "lookup_engine_t: 1 result(s) in cache"), 2);
}

// Failures reach the caller with their text, are logged as the table says,
// and are never kept: the same question is sent again.
struct failure_case_t {
    const char* name;
    question_t question;
    standin::fault_t fault;
    std::string failure;
    // The Error line, or empty for none.
    std::string error_line;
};

class lookup_failure_test : public lookup_fixture_t, public testing::WithParamInterface<failure_case_t> {};

TEST_P(lookup_failure_test, failure_reaches_the_caller_and_is_not_kept)
{
    const auto& c = GetParam();
    connect_seekd();
    seekd.listener().set_fault(c.fault);
    EXPECT_EQ(ask(c.question)->failure, c.failure);
    const auto errors = records(cf_log_error);
    if (c.error_line.empty())
        EXPECT_TRUE(errors.empty()) << errors.front();
    else
        EXPECT_EQ(errors, (strings_t{c.error_line}));

    seekd.listener().set_fault(standin::fault_t::none);
    if (c.fault == standin::fault_t::close)
        connect_seekd();
    const auto before = sent();
    ask(c.question);
    EXPECT_EQ(sent(), before + 1);
}

INSTANTIATE_TEST_SUITE_P(
    cases, lookup_failure_test,
    testing::Values(failure_case_t{"seekd_error_on_lookup",
                                   {"ad", "broken", {}, {}},
                                   standin::fault_t::none,
                                   "Component is not installed",
                                   "SeekD: Component is not installed"},
                    failure_case_t{"seekd_error_on_check",
                                   {"ad", "broken", {}, "x"},
                                   standin::fault_t::none,
                                   "Component is not installed",
                                   "SeekD: Component is not installed"},
                    failure_case_t{"check_reply_to_a_lookup",
                                   {"ldap", "groupname", {}, {}},
                                   standin::fault_t::incomplete,
                                   "Protocol violation",
                                   "SeekD: Protocol violation"},
                    failure_case_t{"lookup_reply_to_a_check",
                                   {"ldap", "groupname", {}, "everyone"},
                                   standin::fault_t::incomplete,
                                   "Protocol violation",
                                   "SeekD: Protocol violation"},
                    // The connection goes with the question pending: not logged.
                    failure_case_t{
                        "connection_lost", {"ldap", "groupname", {}, {}}, standin::fault_t::close, "shutdown", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// PilotD says SeekD is not installed: every question fails at once without a
// request.
TEST_F(lookup_engine_test, unavailable_seekd_fails_every_question)
{
    const auto first = send({"ldap", "groupname", {}, {}});
    ASSERT_TRUE(socket_requested(ox::APP_SEEKD));
    answer_socket_error(ox::APP_SEEKD, ox::EC_NOT_INSTALLED);
    ASSERT_TRUE(run_until([&] { return first->calls == 1; }));
    EXPECT_EQ(first->failure, "SeekD is not available");
    EXPECT_EQ(ask({"ldap", "groupname", {}, "x"})->failure, "SeekD is not available");
    EXPECT_EQ(sent(), 0u);
    EXPECT_FALSE(seekd.listener().wait_for_accepted(1, 200ms));
    // The holder's line only.
    EXPECT_EQ(records(cf_log_error), (strings_t{"SeekD: Component is not installed"}));
}

// A script may ask a question too large for the link's frame: the question
// fails, the event loop goes on, and the refused request leaves nothing
// pending, so the idle connection still ends on the eleventh tick.
TEST_F(lookup_engine_test, question_too_large_for_the_link_fails_the_question_only)
{
    connect_seekd();
    question_t question{"ldap", "groupname", {}, {}};
    question.params.emplace("user", std::string(64 * 1024 * 1024, 'u'));
    EXPECT_EQ(ask(question)->failure, "async_send_message: Invalid IPC message size");
    question.value = "x";
    EXPECT_EQ(ask(question)->failure, "async_send_message: Invalid IPC message size");
    EXPECT_EQ(sent(), 0u);
    tick(11);
    EXPECT_TRUE(seekd.listener().wait_for_ended(1));

    const auto answered = send({"ldap", "groupname", {}, {}});
    ASSERT_TRUE(socket_requested(ox::APP_SEEKD));
    answer_socket(ox::APP_SEEKD, seekd.path());
    ASSERT_TRUE(run_until([&] { return answered->calls == 1; }));
    EXPECT_EQ(answered->data, (strings_t{"everyone"}));
}

// The engine goes with a question in flight: SeekD's answer still reaches
// the caller, and nothing is kept.
TEST_F(lookup_engine_test, answer_after_the_engine_went_still_reaches_the_caller)
{
    connect_seekd();
    seekd.listener().set_delay(200ms);
    const auto outcome = send({"ldap", "groupname", {}, {}});
    ASSERT_TRUE(run_until([&] { return sent() == 1; }));
    engine.reset();
    ASSERT_TRUE(run_until([&] { return outcome->calls == 1; }));
    EXPECT_EQ(outcome->failure, "");
    EXPECT_EQ(outcome->data, (strings_t{"everyone"}));
    EXPECT_FALSE(logged(cf_log_debug, "lookup_engine_t: 1 result(s) in cache"));
}

// The application object goes with a question in flight: the question fails
// with the shutdown of its connection, without an Error line.
TEST_F(lookup_engine_test, question_in_flight_fails_when_the_application_object_goes)
{
    connect_seekd();
    seekd.listener().set_fault(standin::fault_t::silent);
    const auto outcome = send({"ldap", "groupname", {}, {}});
    ASSERT_TRUE(run_until([&] { return sent() == 1; }));
    inventory.reset();
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_EQ(outcome->failure, "shutdown");
    EXPECT_TRUE(records(cf_log_error).empty());
}

} // namespace
