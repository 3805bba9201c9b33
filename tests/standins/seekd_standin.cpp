#include "standins/seekd_standin.hpp"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/enum_text.hpp"
#include "common/lexmap.hpp"

namespace standin {

namespace {

seekd_standin_t::key_t parse_key(std::istringstream& words)
{
    std::string spec;
    if (!(words >> spec))
        throw std::runtime_error("kind@tag expected");
    const auto at = spec.find('@');
    if (at == std::string::npos)
        throw std::runtime_error("no @ in " + spec);
    const auto* type = cf_enum_value_by_lex(sk::LookupType_descriptor(), spec.substr(0, at));
    if (!type)
        throw std::runtime_error("unknown lookup kind " + spec.substr(0, at));
    seekd_standin_t::key_t key;
    key.type = static_cast<sk::LookupType>(type->number());
    key.tag = ox::normalize_key(spec.substr(at + 1));
    return key;
}

} // namespace

seekd_standin_t::seekd_standin_t(const std::string& path)
    : request_recorder_t(listener_),
      listener_("seekd", path,
                [this](const std::shared_ptr<service_peer_t>& peer, const std::string& body) { on_frame(peer, body); })
{
}

void seekd_standin_t::set_answer(const key_t& key, const answer_t& answer)
{
    std::lock_guard lock(listener_.mutex());
    table_[key] = answer;
}

void seekd_standin_t::load_table(const std::string& text)
{
    std::map<key_t, answer_t> table;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        try {
            std::istringstream words(line);
            key_t key = parse_key(words);
            answer_t answer;
            std::string word;
            while (words >> word && word != ":" && word != "!") {
                if (word.starts_with("user="))
                    key.user = word.substr(5);
                else if (word.starts_with("domain="))
                    key.domain = word.substr(7);
                else
                    throw std::runtime_error("\":\" or \"!\" expected before " + word);
            }
            if (word == "!") {
                std::string name;
                if (!(words >> name) || !ox::ErrorCode_Parse(name, &answer.error))
                    throw std::runtime_error("error code expected after \"!\"");
            } else if (word == ":") {
                for (std::string value; words >> value;)
                    answer.values.push_back(value);
            } else {
                throw std::runtime_error("\":\" or \"!\" expected");
            }
            table[key] = answer;
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("line " + std::to_string(number) + ": " + e.what());
        }
    }
    std::lock_guard lock(listener_.mutex());
    for (auto& [key, answer] : table)
        table_[key] = std::move(answer);
}

std::string seekd_standin_t::reply_for(const sk::ClientMessage& request, const answer_t& answer, fault_t fault)
{
    const bool lookup = request.tag() == sk::ClientMessage::LOOKUP_REQUEST;
    // The reply of the other kind, when asked to misbehave so.
    const bool as_lookup = fault == fault_t::incomplete ? !lookup : lookup;
    sk::ServerMessage reply;
    reply.set_tag(as_lookup ? sk::ServerMessage::LOOKUP_RESPONSE : sk::ServerMessage::CHECK_RESPONSE);
    reply.set_serial(fault == fault_t::stray_serial ? request.serial() + 1000 : request.serial());
    if (answer.error != ox::EC_OK) {
        reply.mutable_error()->set_code(answer.error);
        reply.mutable_error()->set_what("stand-in error");
    } else if (as_lookup) {
        for (const auto& value : answer.values)
            reply.add_data(value);
    } else if (std::find(answer.values.begin(), answer.values.end(), request.check()) != answer.values.end()) {
        // A false result is left out, as it may be.
        reply.set_result(true);
    }

    switch (fault) {
    case fault_t::garbage:
        return "\xff\xff\xff\xff\xff";
    case fault_t::no_serial:
        reply.clear_serial();
        break;
    case fault_t::unexpected_tag:
        // Tag 7, which the protocol does not have, in front of the rest.
        reply.clear_tag();
        return "\x08\x07" + reply.SerializePartialAsString();
    default:
        break;
    }
    return reply.SerializePartialAsString();
}

void seekd_standin_t::on_frame(const std::shared_ptr<service_peer_t>& peer, const std::string& body)
{
    sk::ClientMessage request;
    const fault_t fault = listener_.fault();
    std::string reply;
    {
        std::lock_guard lock(listener_.mutex());
        if (!record(body, request)) {
            listener_.notify();
            return;
        }
        const key_t key{request.lookup_type(), request.lookup_tag(), request.user(), request.domain()};
        const auto found = table_.find(key);
        const answer_t answer = found == table_.end() ? answer_t{} : found->second;
        reply = reply_for(request, answer, fault);
        if (observer_) {
            std::ostringstream line;
            line << "connection " << peer->number() << ": serial " << request.serial() << " "
                 << sk::ClientMessage::ClientMessageTag_Name(request.tag()) << " "
                 << cf_enum_text(request.lookup_type()) << "@" << request.lookup_tag();
            if (request.has_user())
                line << " user=" << request.user();
            if (request.has_domain())
                line << " domain=" << request.domain();
            if (request.has_check())
                line << " check=" << request.check();
            line << " ->";
            if (answer.error != ox::EC_OK)
                line << " " << ox::ErrorCode_Name(answer.error);
            else if (request.tag() == sk::ClientMessage::CHECK_REQUEST)
                line << (std::find(answer.values.begin(), answer.values.end(), request.check()) != answer.values.end()
                             ? " true"
                             : " false");
            else
                for (const auto& value : answer.values)
                    line << " " << value;
            observer_(line.str());
        }
    }
    listener_.notify();
    listener_.deliver(peer, fault, reply);
}

} // namespace standin
