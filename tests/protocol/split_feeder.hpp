#pragma once

// Runs a push parser over one input cut into pieces in every way that
// matters (whole, one byte at a time, in two at each position) and checks
// that the events it reports do not depend on the cut.

#include "protocol/parsers/parser.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace test {

struct split_t {
    std::string name;
    std::vector<std::string_view> pieces;
};

inline std::vector<split_t> splits_of(std::string_view input)
{
    std::vector<split_t> splits;
    splits.push_back({"whole", {input}});
    split_t bytes{"byte by byte", {}};
    for (std::size_t i = 0; i < input.size(); ++i)
        bytes.pieces.push_back(input.substr(i, 1));
    if (bytes.pieces.empty())
        bytes.pieces.push_back(input);
    splits.push_back(bytes);
    for (std::size_t at = 0; at <= input.size(); ++at)
        splits.push_back({"split at " + std::to_string(at), {input.substr(0, at), input.substr(at)}});
    return splits;
}

// The events a delegate saw, as text. Data that follows data of the same tag
// is merged, so logs compare equal however the bytes were sliced; empty data
// is kept only on request.
class event_log_t {
public:
    explicit event_log_t(bool keep_empty_data = false) : keep_empty_(keep_empty_data) {}

    void add(std::string event)
    {
        events_.push_back(std::move(event));
        last_data_tag_.clear();
    }

    void data(const std::string& tag, std::string_view bytes)
    {
        if (!last_data_tag_.empty() && last_data_tag_ == tag) {
            events_.back().append(bytes);
            return;
        }
        if (bytes.empty() && !keep_empty_)
            return;
        events_.push_back(tag + ":" + std::string(bytes));
        last_data_tag_ = tag;
    }

    const std::vector<std::string>& events() const { return events_; }

private:
    bool keep_empty_;
    std::vector<std::string> events_;
    std::string last_data_tag_;
};

struct outcome_t {
    std::vector<std::string> events;
    std::size_t taken = 0;
    proto::parser_t::status_t status = proto::parser_t::running;

    bool operator==(const outcome_t&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const outcome_t& outcome)
{
    out << "taken " << outcome.taken << ", status " << outcome.status << ", events:";
    for (const auto& event : outcome.events)
        out << "\n  [" << event << "]";
    return out;
}

// A parse error as an event: its message without the excerpt, which shows
// only the bytes of the call that failed.
inline std::string error_event(const std::exception& e)
{
    std::string message = e.what();
    const auto at = message.find(": \"");
    return "error " + (at == std::string::npos ? message : message.substr(0, at));
}

// Offers the pieces one after the other through `feed`, as a reader does with
// successive reads, `last` on the final piece when asked; stops when the
// parser stops running or throws. After an error the count taken is 0.
inline outcome_t drive(proto::parser_t& parser, event_log_t& log, const std::vector<std::string_view>& pieces,
                       bool last)
{
    outcome_t outcome;
    try {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const bool final_piece = i + 1 == pieces.size();
            std::size_t const n = parser.feed(pieces[i].data(), pieces[i].size(), last && final_piece);
            outcome.taken += n;
            if (parser.status() != proto::parser_t::running)
                break;
        }
    } catch (const std::exception& e) {
        log.add(error_event(e));
        outcome.taken = 0; // what earlier pieces gave depends on the cut
    }
    outcome.events = log.events();
    outcome.status = parser.status();
    return outcome;
}

// `run` parses one cut of the input from a fresh parser. Every cut must give
// the outcome of the whole input, which is returned for further checks.
inline outcome_t expect_split_invariant(std::string_view input,
                                        const std::function<outcome_t(std::vector<std::string_view> const&)>& run)
{
    const auto splits = splits_of(input);
    const outcome_t whole = run(splits.front().pieces);
    for (std::size_t i = 1; i < splits.size(); ++i) {
        SCOPED_TRACE(splits[i].name);
        EXPECT_EQ(run(splits[i].pieces), whole);
    }
    return whole;
}

// A row of a table of cases: an input, whether nothing follows it, and what
// the parser must make of it however it is cut.
struct case_t {
    const char* name;
    std::string input;
    bool last;
    std::vector<std::string> events;
    std::size_t taken;
    proto::parser_t::status_t status;
};

inline std::string case_name(const ::testing::TestParamInfo<case_t>& info)
{
    return info.param.name;
}

// `run` parses one cut of the input from a fresh parser, `last` as given.
inline void expect_case(const case_t& c,
                        const std::function<outcome_t(std::vector<std::string_view> const&, bool last)>& run)
{
    const auto outcome = expect_split_invariant(
        c.input, [&](const std::vector<std::string_view>& pieces) { return run(pieces, c.last); });
    EXPECT_EQ(outcome.events, c.events);
    EXPECT_EQ(outcome.taken, c.taken);
    EXPECT_EQ(outcome.status, c.status);
}

} // namespace test
