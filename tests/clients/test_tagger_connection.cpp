// The Tagger client against the stand-in Tagger over a local socket: the
// request on the wire, categories and legal URLs, Tagger's errors, replies
// that break the link, and the idle close.

#include <gtest/gtest.h>

#include <net/if.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include "clients/tagger_connection.hpp"
#include "common/error_category.hpp"
#include "services_fixture.hpp"
#include "standins/tagger_standin.hpp"

namespace {

using namespace std::chrono_literals;

// The outcome of one check, shared with its callback, which may run after
// the test's body (when the connection goes with the fixture).
struct outcome_t {
    bool called = false;
    ox::oxs::report_t report;
    boost::system::error_code error;
};

class tagger_fixture_t : public test_services::fixture_t {
protected:
    void SetUp() override
    {
        tagger.load_table("example.com     adult_content gambling\n"
                          "blocked.test    black_list   # a comment\n"
                          "legal.test      UC_OWNERS_NOTICE legal=https://legal.test/buy\n"
                          "broken.test     error=EC_NOT_INSTALLED adult_content legal=https://broken.test/\n");
        connection = connect(&ic::inventory_t::get_tagger_connection, ox::APP_TAGGER, tagger.path());
        ASSERT_NE(connection, nullptr);
    }

    std::shared_ptr<outcome_t> send(const std::string& url, std::uint32_t mask = 0xFFFFFFFF,
                                    const ox::oxs::url_t::addresses_t& addresses = {})
    {
        auto outcome = std::make_shared<outcome_t>();
        connection->check_url(
            std::make_shared<ox::oxs::url_t>(url, addresses),
            [outcome](const ox::oxs::report_t& report, const boost::system::error_code& error) {
                EXPECT_FALSE(outcome->called);
                outcome->called = true;
                outcome->report = report;
                outcome->error = error;
            },
            mask);
        return outcome;
    }

    std::shared_ptr<outcome_t> check(const std::string& url, std::uint32_t mask = 0xFFFFFFFF,
                                     const ox::oxs::url_t::addresses_t& addresses = {})
    {
        auto outcome = send(url, mask, addresses);
        EXPECT_TRUE(run_until([&] { return outcome->called; }));
        return outcome;
    }

    std::string warning(const std::string& text) const
    {
        return "Tagger " + test_services::address_text(connection) + ": " + text;
    }

    standin::tagger_standin_t tagger;
    ic::tagger_connection_t* connection = nullptr;
};

struct categories_case_t {
    const char* name;
    std::string url;
    std::uint32_t mask;
    std::uint32_t categories;
    std::string legal_url;
    ox::ErrorCode error;
};

class tagger_categories_test : public tagger_fixture_t, public testing::WithParamInterface<categories_case_t> {};

TEST_P(tagger_categories_test, answer_becomes_the_report)
{
    const auto& c = GetParam();
    const auto outcome = check(c.url, c.mask);
    EXPECT_EQ(outcome->report.categories, c.categories);
    EXPECT_EQ(outcome->report.piracy_legal_url, c.legal_url);
    if (c.error == ox::EC_OK)
        EXPECT_FALSE(outcome->error) << outcome->error;
    else
        EXPECT_EQ(outcome->error, ox::make_error_code(c.error));
}

INSTANTIATE_TEST_SUITE_P(
    cases, tagger_categories_test,
    testing::Values(
        categories_case_t{"two_categories", "http://example.com/", 0xFFFFFFFF, 0x4 | 0x20, "", ox::EC_OK},
        categories_case_t{"subdomain", "http://www.example.com/page?q=1", 0xFFFFFFFF, 0x4 | 0x20, "", ox::EC_OK},
        categories_case_t{"mask_keeps_asked_bits", "http://example.com/", 0x4, 0x4, "", ox::EC_OK},
        categories_case_t{"mask_of_nothing", "http://example.com/", 0, 0, "", ox::EC_OK},
        categories_case_t{"black_list_is_bit_29", "https://blocked.test/", 0xFFFFFFFF, 0x20000000, "", ox::EC_OK},
        categories_case_t{"legal_url", "http://legal.test/film", 0xFFFFFFFF, 0x1000, "https://legal.test/buy",
                          ox::EC_OK},
        categories_case_t{"unknown_host", "http://unknown.test/", 0xFFFFFFFF, 0, "", ox::EC_OK},
        // The categories and the legal URL of an error answer are not used.
        categories_case_t{"tagger_error", "http://broken.test/", 0xFFFFFFFF, 0, "", ox::EC_NOT_INSTALLED}),
    [](const auto& info) { return std::string(info.param.name); });

boost::asio::ip::address v6(const char* text, unsigned long scope)
{
    auto address = boost::asio::ip::make_address_v6(text);
    address.scope_id(scope);
    return address;
}

std::string interface_name(unsigned index)
{
    char name[IF_NAMESIZE] = {};
    return ::if_indextoname(index, name) ? name : std::to_string(index);
}

struct wire_case_t {
    const char* name;
    std::string url;
    ox::oxs::url_t::addresses_t addresses;
    std::string raw_url;
    // Absent: no addresses field at all.
    std::optional<std::vector<std::string>> sent_addresses;
};

class tagger_wire_test : public tagger_fixture_t, public testing::WithParamInterface<wire_case_t> {};

TEST_P(tagger_wire_test, request_carries_the_encoded_url_and_the_addresses)
{
    const auto& c = GetParam();
    check(c.url, 0xFFFFFFFF, c.addresses);
    ASSERT_TRUE(tagger.wait_for_requests(1));
    const tg::ClientMessage request = tagger.requests().at(0);
    EXPECT_EQ(request.tag(), tg::ClientMessage::CHECK_URL_REQUEST);
    EXPECT_EQ(request.serial(), 0u);
    EXPECT_EQ(request.raw_url(), c.raw_url);
    EXPECT_FALSE(request.has_decoded_url());
    EXPECT_EQ(request.categories_size(), 0);
    ASSERT_EQ(request.has_addresses(), c.sent_addresses.has_value());
    if (c.sent_addresses) {
        std::vector<std::string> sent;
        for (const auto& address : request.addresses().ip())
            sent.push_back(address.address());
        EXPECT_EQ(sent, *c.sent_addresses);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, tagger_wire_test,
    testing::Values(wire_case_t{"no_address", "http://example.com/a b", {}, "http://example.com/a%20b", std::nullopt},
                    wire_case_t{"international_host",
                                "http://b\xc3\xbc"
                                "cher.example/",
                                {},
                                "http://xn--bcher-kva.example/",
                                std::nullopt},
                    wire_case_t{"ipv4_before_ipv6",
                                "http://example.com/",
                                {boost::asio::ip::make_address("::1"), boost::asio::ip::make_address("10.0.0.2"),
                                 boost::asio::ip::make_address("10.0.0.1")},
                                "http://example.com/",
                                std::vector<std::string>{"10.0.0.1", "10.0.0.2", "::1"}},
                    wire_case_t{"link_local_scope_by_interface_name",
                                "http://example.com/",
                                {v6("fe80::1", 1)},
                                "http://example.com/",
                                std::vector<std::string>{"fe80::1%" + interface_name(1)}},
                    wire_case_t{"global_scope_by_number",
                                "http://example.com/",
                                {v6("2001:db8::1", 3)},
                                "http://example.com/",
                                std::vector<std::string>{"2001:db8::1%3"}}),
    [](const auto& info) { return std::string(info.param.name); });

using tagger_serial_test = tagger_fixture_t;

// Answers in the reverse order of the requests reach the right callbacks.
TEST_F(tagger_serial_test, answers_in_any_order_reach_their_requests)
{
    tagger.listener().set_fault(standin::fault_t::hold);
    const auto first = send("http://example.com/");
    const auto second = send("http://legal.test/");
    ASSERT_TRUE(run_until([&] { return tagger.listener().held() == 2; }));
    tagger.listener().release_held(true);
    ASSERT_TRUE(run_until([&] { return first->called && second->called; }));
    EXPECT_EQ(first->report.categories, 0x24u);
    EXPECT_EQ(second->report.categories, 0x1000u);
    const auto requests = tagger.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].serial(), 0u);
    EXPECT_EQ(requests[1].serial(), 1u);
}

TEST_F(tagger_serial_test, answer_for_a_serial_not_pending_is_ignored)
{
    tagger.listener().set_fault(standin::fault_t::stray_serial);
    const auto lost = send("http://example.com/");
    ASSERT_TRUE(tagger.wait_for_requests(1));
    for (int i = 0; i < 20; ++i)
        pump();
    EXPECT_FALSE(lost->called);
    EXPECT_TRUE(records(cf_log_warning).empty());

    tagger.listener().set_fault(standin::fault_t::none);
    const auto answered = check("http://legal.test/");
    EXPECT_EQ(answered->report.categories, 0x1000u);
    EXPECT_TRUE(connection->is_open());
    EXPECT_FALSE(tagger.listener().wait_for_ended(1, 200ms));
}

// Replies that break the link: the Warnings, the connection closed and
// dropped, the pending check failed when it goes, a new connection next.
struct broken_case_t {
    const char* name;
    standin::fault_t fault;
    std::vector<std::string> warnings;
};

class tagger_broken_test : public tagger_fixture_t, public testing::WithParamInterface<broken_case_t> {};

TEST_P(tagger_broken_test, link_is_dropped_with_a_warning)
{
    const auto& c = GetParam();
    const std::vector<std::string> expected = [&] {
        std::vector<std::string> lines;
        for (const auto& text : c.warnings)
            lines.push_back(warning(text));
        return lines;
    }();
    tagger.listener().set_fault(c.fault);
    const auto outcome = send("http://example.com/");
    ASSERT_TRUE(run_until([&] { return outcome->called; }));
    EXPECT_EQ(outcome->error, boost::asio::error::operation_aborted);
    EXPECT_EQ(outcome->report.categories, 0u);
    EXPECT_EQ(outcome->report.piracy_legal_url, "");
    EXPECT_EQ(records(cf_log_warning), expected);
    EXPECT_TRUE(tagger.listener().wait_for_ended(1));

    // The holder asks PilotD again and connects anew.
    tagger.listener().set_fault(standin::fault_t::none);
    connection = connect(&ic::inventory_t::get_tagger_connection, ox::APP_TAGGER, tagger.path());
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(check("http://example.com/")->report.categories, 0x24u);
}

INSTANTIATE_TEST_SUITE_P(
    cases, tagger_broken_test,
    testing::Values(
        broken_case_t{
            "unparsable", standin::fault_t::garbage, {"Invalid IPC message format [ox.Error:8]", "Link disconnected"}},
        // The protocol has one tag: any other one makes the reply unparsable.
        broken_case_t{"unexpected_tag",
                      standin::fault_t::unexpected_tag,
                      {"Invalid IPC message format [ox.Error:8]", "Link disconnected"}},
        broken_case_t{"no_serial",
                      standin::fault_t::no_serial,
                      {"CHECK_URL_RESPONSE: Check failed: rsp.has_serial(): Protocol violation [ox.Error:12]",
                       "Link disconnected"}},
        broken_case_t{"no_url_result",
                      standin::fault_t::incomplete,
                      {"CHECK_URL_RESPONSE: Check failed: rsp.has_url_result(): Protocol violation [ox.Error:12]",
                       "Link disconnected"}},
        broken_case_t{"frame_of_length_0", standin::fault_t::empty_frame, {"Invalid IPC message size"}},
        broken_case_t{"tagger_closes", standin::fault_t::close, {"Link disconnected"}}),
    [](const auto& info) { return std::string(info.param.name); });

using tagger_idle_test = tagger_fixture_t;

// A slow answer keeps the connection busy whatever the ticks; after the last
// answer the eleventh tick closes it, and a request in between starts the
// count over.
TEST_F(tagger_idle_test, closed_on_the_eleventh_tick_after_the_last_answer)
{
    tagger.listener().set_delay(300ms);
    const auto slow = send("http://example.com/");
    tick(15);
    ASSERT_TRUE(run_until([&] { return slow->called; }));
    EXPECT_EQ(slow->report.categories, 0x24u);
    tick(5);
    tagger.listener().set_delay(0ms);
    check("http://legal.test/");
    tick(10);
    // The stand-in would see the close within this time.
    EXPECT_FALSE(tagger.listener().wait_for_ended(1, 200ms));
    tick();
    EXPECT_TRUE(tagger.listener().wait_for_ended(1));
    EXPECT_TRUE(records(cf_log_warning).empty());
}

} // namespace

namespace {

// A URL too large for the link's frame is refused by check_url itself; the
// refused check leaves nothing pending, so the idle connection still ends on
// the eleventh tick.
TEST_F(tagger_idle_test, refused_check_leaves_the_connection_idle)
{
    auto url = std::make_shared<ox::oxs::url_t>("http", "", "", "example.com", "/" + std::string(64 * 1024 * 1024, 'a'),
                                                ox::oxs::url_t::params_t{}, "", std::nullopt);
    bool called = false;
    try {
        connection->check_url(
            url, [&called](const ox::oxs::report_t&, const boost::system::error_code&) { called = true; }, 0xFFFFFFFF);
        ADD_FAILURE() << "not refused";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), ox::make_error_code(ox::EC_BAD_MESSAGE_SIZE));
    }
    url.reset();
    tick(11);
    EXPECT_TRUE(tagger.listener().wait_for_ended(1));
    EXPECT_FALSE(called);
    EXPECT_EQ(tagger.requests().size(), 0u);
}

using tagger_shutdown_test = tagger_fixture_t;

// The application object goes with a check pending: the check fails with
// operation_aborted.
TEST_F(tagger_shutdown_test, pending_check_fails_when_the_application_object_goes)
{
    tagger.listener().set_fault(standin::fault_t::silent);
    const auto outcome = send("http://example.com/");
    ASSERT_TRUE(tagger.wait_for_requests(1));
    inventory.reset();
    EXPECT_TRUE(outcome->called);
    EXPECT_EQ(outcome->error, boost::asio::error::operation_aborted);
    EXPECT_EQ(outcome->report.categories, 0u);
    EXPECT_TRUE(tagger.listener().wait_for_ended(1));
}

} // namespace
