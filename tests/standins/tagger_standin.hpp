#pragma once

// A stand-in for Tagger, the suite's URL classification service: it answers
// CHECK_URL_REQUEST from a table of hosts and their categories (or an
// error), records every request, and can misbehave on purpose (see
// fault_t). It listens on a local socket whose path a test hands to the
// daemon through the stand-in PilotD (set_socket_path of APP_TAGGER).

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "schemas/tagger_client_ipc.pb.h"
#include "standins/fault.hpp"
#include "standins/request_recorder.hpp"
#include "standins/service_listener.hpp"

namespace standin {

class tagger_standin_t : public request_recorder_t<tg::ClientMessage> {
public:
    // What Tagger says about a host.
    struct verdict_t {
        std::vector<ox::UrlCategory> categories;
        std::string legal_url;
        ox::ErrorCode error = ox::EC_OK;
    };

    // Listens at `path`, or at a temporary path when it is empty.
    explicit tagger_standin_t(const std::string& path = {});

    const std::string& path() const { return listener_.path(); }
    service_listener_t& listener() { return listener_; }

    // The verdict on a host, which also holds for its subdomains that have
    // none of their own; hosts are compared in lower case. A host without
    // a verdict has no categories.
    void set_verdict(const std::string& host, const verdict_t& verdict);
    // Lines of "host [category ...] [legal=URL] [error=CODE]": categories
    // by their script names (adult_content) or enum names
    // (UC_ADULT_CONTENT), the code by its enum name (EC_NOT_INSTALLED);
    // "#" starts a comment. Throws std::runtime_error naming the line.
    void load_table(const std::string& text);

private:
    void on_frame(const std::shared_ptr<service_peer_t>& peer, const std::string& body);
    // With the lock held.
    verdict_t verdict_for(const std::string& raw_url) const;
    static std::string reply_for(const tg::ClientMessage& request, const verdict_t& verdict, fault_t fault);

    std::map<std::string, verdict_t> table_;
    // Declared last: its thread stops before the state it reaches goes.
    service_listener_t listener_;
};

} // namespace standin
