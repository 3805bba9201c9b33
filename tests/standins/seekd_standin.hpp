#pragma once

// A stand-in for SeekD, the suite's lookup service: it answers
// LOOKUP_REQUEST and CHECK_REQUEST from a table of lookups and the values
// they yield (or an error), records every request, and can misbehave on
// purpose (see fault_t). It listens on a local socket whose path a test
// hands to the daemon through the stand-in PilotD (set_socket_path of
// APP_SEEKD).

#include <chrono>
#include <compare>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "schemas/seekd_client_ipc.pb.h"
#include "standins/fault.hpp"
#include "standins/request_recorder.hpp"
#include "standins/service_listener.hpp"

namespace standin {

class seekd_standin_t : public request_recorder_t<sk::ClientMessage> {
public:
    // One lookup, as the daemon names it: the tag lower-cased without '_'.
    struct key_t {
        sk::LookupType type = sk::LOOKUP_LDAP;
        std::string tag;
        std::string user;
        std::string domain;

        auto operator<=>(const key_t&) const = default;
    };

    // What the lookup yields; a check answers whether its value is among
    // the values. An error fails both.
    struct answer_t {
        std::vector<std::string> values;
        ox::ErrorCode error = ox::EC_OK;
    };

    // Listens at `path`, or at a temporary path when it is empty.
    explicit seekd_standin_t(const std::string& path = {});

    const std::string& path() const { return listener_.path(); }
    service_listener_t& listener() { return listener_; }

    // A lookup not in the table yields nothing (and every check of it is
    // false). The tag is stored as the daemon sends it (lower case, no '_').
    void set_answer(const key_t& key, const answer_t& answer);
    // Lines of "kind@tag [user=U] [domain=D] : value ..." or
    // "kind@tag [user=U] [domain=D] ! CODE": the kind by its display text
    // (ldap, mysql), any case; the code by its enum name
    // (EC_NOT_INSTALLED); values are separated by blanks; "#" starts a
    // comment. Throws std::runtime_error naming the line.
    void load_table(const std::string& text);

private:
    void on_frame(const std::shared_ptr<service_peer_t>& peer, const std::string& body);
    static std::string reply_for(const sk::ClientMessage& request, const answer_t& answer, fault_t fault);

    std::map<key_t, answer_t> table_;
    // Declared last: its thread stops before the state it reaches goes.
    service_listener_t listener_;
};

} // namespace standin
