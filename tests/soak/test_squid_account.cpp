// Which answers Squid's logs prove Squid cut short itself: only those where
// all three logs agree, with the store entry's address used again for
// later entries, and nothing from a debug line counted as a complaint.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "soak/squid_account.hpp"

namespace soak {
namespace {

const std::string url = "http://127.0.0.1:1/page-c1-1/307200/chunked";
const std::string other_url = "http://127.0.0.1:1/page-c2-2/307200/chunked";

std::string access_line(const std::string& target, const std::string& master, const std::string& status = "200",
                        const std::string& error = "-/-")
{
    return "1796957535.195    307 127.0.0.1 TCP_MISS/" + status + " 308078 GET " + target +
           " HIER_DIRECT/127.0.0.1 application/octet-stream " + master + " 49558 " + error + "\n";
}

std::string icap_line(const std::string& master, const std::string& outcome = "ICAP_MOD/200")
{
    return "1796957535.164    258 vm " + outcome + " 307500 RESPMOD icap://127.0.0.1:2/respmod " + master +
           " 307660 307259\n";
}

std::string completed(const std::string& entry, const std::string& target)
{
    return "2026/12/11 02:58:06.067| 17,3| FwdState.cc(560) complete: e:=p2XIV/" + entry + "*4 status 200 " + target +
           "\n";
}

std::string truncated(const std::string& entry, const std::string& reason = "FwdState default")
{
    return "2026/12/11 02:58:06.067| 20,3| store.cc(1064) lengthWentBad: because " + reason + ": e:=p2XIV/" + entry +
           "*4\n";
}

struct account_case_t {
    const char* name;
    std::string access;
    std::string icap;
    std::string cache;
    bool url_cut_short;
    bool other_cut_short = false;
};

void PrintTo(const account_case_t& c, std::ostream* out)
{
    *out << c.name;
}

// Squid's directory, with the logs a test writes.
class squid_logs_t : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/traxd-account-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        directory_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    void write(const std::string& file, const std::string& text) const
    {
        std::ofstream(directory_ + "/" + file) << text;
    }

    std::string directory_;
};

class squid_account_test_t : public squid_logs_t, public ::testing::WithParamInterface<account_case_t> {};

TEST_P(squid_account_test_t, proves_only_what_all_logs_agree_on)
{
    const auto& c = GetParam();
    write("access.log", c.access);
    write("icap.log", c.icap);
    write("cache.log", c.cache);
    const squid_account_t account(directory_);
    EXPECT_TRUE(account.traced());
    EXPECT_EQ(account.cut_short_by_squid(url), c.url_cut_short);
    EXPECT_EQ(account.cut_short_by_squid(other_url), c.other_cut_short);
}

INSTANTIATE_TEST_SUITE_P(
    logs, squid_account_test_t,
    ::testing::Values(
        account_case_t{"cut_short", access_line(url, "7"), icap_line("7"), completed("0xa", url) + truncated("0xa"),
                       true},
        account_case_t{"entry_used_again", access_line(url, "7") + access_line(other_url, "8"),
                       icap_line("7") + icap_line("8"),
                       completed("0xa", url) + completed("0xa", other_url) + truncated("0xa"), false, true},
        account_case_t{"other_reason", access_line(url, "7"), icap_line("7"),
                       completed("0xa", url) + truncated("0xa", "body adaptation aborted"), false},
        account_case_t{"icap_error", access_line(url, "7"), icap_line("7", "ICAP_ERR_OTHER/200"),
                       completed("0xa", url) + truncated("0xa"), false},
        account_case_t{"no_respmod", access_line(url, "7"), "", completed("0xa", url) + truncated("0xa"), false},
        account_case_t{"access_error", access_line(url, "7", "502", "ERR_ICAP_FAILURE/-"), icap_line("7"),
                       completed("0xa", url) + truncated("0xa"), false},
        account_case_t{"not_truncated", access_line(url, "7"), icap_line("7"), completed("0xa", url), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(squid_logs_t, complains_of_its_own_messages_only)
{
    write("access.log", access_line(url, "7") + access_line(other_url, "8", "502", "ERR_ICAP_FAILURE/-"));
    write("icap.log", icap_line("7") + icap_line("8", "ICAP_ERR_OTHER/200"));
    write("cache.log", "2026/12/11 03:09:23| Starting Squid Cache version 5.7\n"
                       "2026/12/11 03:09:23.207| essential ICAP service is down after an options fetch failure\n"
                       "2026/12/11 03:09:24.330| 93,3| Xaction.cc(1) noteCommRead: ICAP read 10 bytes\n");
    const squid_account_t account(directory_);
    EXPECT_FALSE(account.traced());
    EXPECT_EQ(account.access_errors().size(), 1u);
    EXPECT_EQ(account.icap_errors().size(), 1u);
    ASSERT_EQ(account.cache_complaints().size(), 1u);
    EXPECT_NE(account.cache_complaints()[0].find("essential"), std::string::npos);
}

} // namespace
} // namespace soak
