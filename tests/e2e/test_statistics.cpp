// The statistics PilotD receives every second count the connections and
// the queries of each kind of that second.

#include "e2e/daemon_fixture.hpp"

namespace e2e {
namespace {

// The counters of several periods added up.
struct totals_t {
    std::uint64_t in = 0, out = 0, options = 0, reqmod = 0, respmod = 0, bad = 0;
    bool operator==(const totals_t&) const = default;
};

std::ostream& operator<<(std::ostream& out, const totals_t& t)
{
    return out << "in " << t.in << ", out " << t.out << ", options " << t.options << ", reqmod " << t.reqmod
               << ", respmod " << t.respmod << ", bad " << t.bad;
}

class statistics_test_t : public daemon_test_t {
protected:
    // Statistics messages from index `from` on; checks that each period
    // starts with the connections left open by the one before.
    std::vector<ox::TRAXDAppStat> stats_from(std::size_t from)
    {
        std::vector<ox::TRAXDAppStat> stats;
        const auto frames = pilotd.frames();
        for (std::size_t i = from; i < frames.size(); ++i)
            if (frames[i].message.tag() == tag_t::MY_STAT_NOTIFICATION)
                stats.push_back(frames[i].message.stat());
        for (std::size_t i = 1; i < stats.size(); ++i) {
            const auto& p = stats[i - 1].connections();
            EXPECT_EQ(stats[i].connections().base(), p.base() + p.in() - p.out()) << "period " << i;
        }
        return stats;
    }

    static totals_t add_up(const std::vector<ox::TRAXDAppStat>& stats)
    {
        totals_t t;
        for (const auto& s : stats) {
            t.in += s.connections().in();
            t.out += s.connections().out();
            t.options += s.requests().options();
            t.reqmod += s.requests().reqmod();
            t.respmod += s.requests().respmod();
            t.bad += s.requests().bad();
        }
        return t;
    }

    // Waits for `n` more statistics messages after the current frames.
    bool wait_stats(int n)
    {
        std::size_t from = pilotd.frame_count();
        for (int i = 0; i < n; ++i) {
            const auto at = pilotd.wait_for_index(tag_t::MY_STAT_NOTIFICATION, from, 5s);
            if (!at)
                return false;
            from = *at + 1;
        }
        return true;
    }

    // Sends `bytes` on a connection of its own and reads `answers` heads.
    void exchange(const std::string& bytes, int answers)
    {
        standin::icap_client_t client(port);
        client.send(bytes);
        for (int i = 0; i < answers; ++i)
            ASSERT_TRUE(client.read_head().has_value()) << bytes;
    }
};

TEST_F(statistics_test_t, count_connections_and_query_kinds)
{
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();

    // One connection, three OPTIONS; two connections with a bad query each.
    exchange(standin::options_query(port, "/reqmod") + standin::options_query(port, "/respmod") +
                 standin::options_query(port, "/respmod/"),
             3);
    exchange("OPTIONS icap://127.0.0.1/nowhere ICAP/1.0\r\n\r\n", 1);
    exchange("OPTIONS icap://127.0.0.1/reqmod ICAP/1.1\r\n\r\n", 1);
    ASSERT_TRUE(wait_stats(2));

    EXPECT_EQ(add_up(stats_from(from)), (totals_t{.in = 3, .out = 3, .options = 3, .bad = 2}));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(statistics_test_t, reqmod_and_respmod_count_as_their_kinds)
{
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    // Queries that lack their HTTP head: the kind is counted as soon as the
    // query is dispatched, whatever the answer.
    for (const char* start :
         {"REQMOD icap://127.0.0.1/reqmod", "RESPMOD icap://127.0.0.1/respmod", "RESPMOD icap://127.0.0.1/respmod/"}) {
        standin::icap_client_t client(port);
        client.send(std::string(start) + " ICAP/1.0\r\nEncapsulated: null-body=0\r\n\r\n");
        client.read_head(2000ms);
    }
    ASSERT_TRUE(wait_stats(2));
    EXPECT_EQ(add_up(stats_from(from)), (totals_t{.in = 3, .out = 3, .reqmod = 1, .respmod = 2}));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(statistics_test_t, a_connection_open_across_periods_is_carried_in_base)
{
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    {
        standin::icap_client_t client(port);
        ASSERT_TRUE(client.ask(standin::options_query(port, "/respmod")).has_value());
        ASSERT_TRUE(wait_stats(2));
        const auto open = stats_from(from);
        EXPECT_EQ(add_up(open), (totals_t{.in = 1, .options = 1}));
        EXPECT_EQ(open.back().connections().base(), 1u);
    }
    ASSERT_TRUE(wait_stats(2));
    const auto closed = stats_from(from);
    EXPECT_EQ(add_up(closed), (totals_t{.in = 1, .out = 1, .options = 1}));
    EXPECT_EQ(closed.back().connections().base(), 0u);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(statistics_test_t, a_bad_query_on_a_kept_connection_counts_once)
{
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    {
        standin::icap_client_t client(port);
        ASSERT_TRUE(client.ask(standin::options_query(port, "/reqmod") + "GARBAGE\r\n\r\n").has_value());
        const auto bad = client.read_head();
        ASSERT_TRUE(bad.has_value());
        EXPECT_EQ(standin::parse_icap_head(*bad).status_line, "ICAP/1.0 400 Bad request");
        EXPECT_TRUE(client.wait_for_end());
    }
    ASSERT_TRUE(wait_stats(2));
    EXPECT_EQ(add_up(stats_from(from)), (totals_t{.in = 1, .out = 1, .options = 1, .bad = 1}));
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

TEST_F(statistics_test_t, connections_without_queries_and_half_closed_ones)
{
    ASSERT_TRUE(start_configured());
    const std::size_t from = pilotd.frame_count();
    // A connection that ends before any query counts in and out only.
    standin::icap_client_t(port).shutdown_send();
    // After an error answer the daemon counts the connection as ended while
    // it still drains what the client sends, before the client closes.
    standin::icap_client_t lingering(port);
    ASSERT_TRUE(lingering.ask(standin::options_query(port, "/elsewhere")).has_value());
    ASSERT_TRUE(lingering.wait_for_end());
    ASSERT_TRUE(wait_stats(2));
    const auto stats = stats_from(from);
    EXPECT_EQ(add_up(stats), (totals_t{.in = 2, .out = 2, .bad = 1}));
    EXPECT_EQ(stats.back().connections().base(), 0u);
    EXPECT_EQ(stop(), ox::EC_APP_TERMINATED);
}

} // namespace
} // namespace e2e
