#pragma once

// An application object with this test as PilotD and a clock that ticks
// only when the test says so, with helpers to answer the socket-path
// requests of the connection holders and to fetch a held connection.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/inventory.hpp"
#include "app/inventory_fixture.hpp"
#include "common/log.hpp"
#include "schemas/application.pb.h"
#include "schemas/config_mode.pb.h"
#include "schemas/pilotd_traxd_ipc.pb.h"
#include "schemas/root_appinfo.pb.h"

namespace test_services {

using namespace std::chrono_literals;
using request_tag_t = ox::TRAXD2PilotdMessage::MessageTag;
using response_tag_t = ox::Pilotd2TRAXDMessage::MessageTag;

inline request_tag_t request_tag(ox::Application app)
{
    switch (app) {
    case ox::APP_TAGGER:
        return ox::TRAXD2PilotdMessage::GET_TAGGER_REQUEST;
    case ox::APP_SEEKD:
        return ox::TRAXD2PilotdMessage::GET_SEEKD_REQUEST;
    default:
        return ox::TRAXD2PilotdMessage::GET_VETTER_REQUEST;
    }
}

inline response_tag_t response_tag(ox::Application app)
{
    switch (app) {
    case ox::APP_TAGGER:
        return ox::Pilotd2TRAXDMessage::GET_TAGGER_RESPONSE;
    case ox::APP_SEEKD:
        return ox::Pilotd2TRAXDMessage::GET_SEEKD_RESPONSE;
    default:
        return ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE;
    }
}

// An application list whose root information names the applications as
// installed; none gives an entry without root information.
inline ox::Pilotd2TRAXDMessage app_info(const std::vector<ox::Application>& installed, bool with_root_info = true)
{
    ox::Pilotd2TRAXDMessage message;
    message.set_tag(ox::Pilotd2TRAXDMessage::APPINFO_NOTIFICATION);
    ox::AppInfo* info = message.add_appinfo();
    info->set_app(ox::APP_TRAXD);
    info->set_pid(1);
    if (with_root_info) {
        ox::RootAppInfo* root = info->MutableExtension(ox::root_info);
        root->set_config_mode(ox::CONFIG_MODE_SPECIFIED);
        for (const ox::Application app : installed) {
            ox::InstalledApp* entry = root->add_installed_app();
            entry->set_app(app);
            entry->set_exe_path("/usr/sbin/service");
            entry->set_install_time(0);
            entry->set_ini_section("service");
        }
    }
    return message;
}

// The text of a pointer as the clients' log lines print it.
inline std::string address_text(const void* pointer)
{
    std::ostringstream text;
    text << pointer;
    return text.str();
}

class fixture_t : public test_inventory::fixture_t {
protected:
    // Ticks come from the test alone.
    fixture_t() { inventory->ticker.cancel(); }

    // Waits for the holder's socket-path request of `app`; false when none
    // comes within the limit.
    bool socket_requested(ox::Application app, std::chrono::milliseconds limit = 5000ms)
    {
        return pilotd.receive_tag(request_tag(app), pumper(), limit).has_value();
    }

    void answer_socket(ox::Application app, const std::string& path)
    {
        ox::Pilotd2TRAXDMessage message;
        message.set_tag(response_tag(app));
        message.set_socket_path(path);
        pilotd.send(message);
    }

    void answer_socket_error(ox::Application app, ox::ErrorCode code)
    {
        ox::Pilotd2TRAXDMessage message;
        message.set_tag(response_tag(app));
        message.mutable_error()->set_code(code);
        pilotd.send(message);
    }

    void apply_settings()
    {
        pilotd.send(test_pilotd::config_response(settings(), ++revision_));
        ASSERT_TRUE(pilotd.receive_tag(ox::TRAXD2PilotdMessage::MY_INFO_NOTIFICATION, pumper()));
    }

    void tick(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            inventory->tick();
    }

    // Asks the application object for the connection and answers PilotD's
    // request with the path; the connection, or null.
    template <class T>
    T* connect(void (ic::inventory_t::*get)(const std::function<void(T*)>&), ox::Application app,
               const std::string& path)
    {
        std::optional<T*> got;
        (inventory.get()->*get)([&got](T* connection) { got = connection; });
        if (!socket_requested(app))
            return nullptr;
        answer_socket(app, path);
        if (!run_until([&] { return got.has_value(); }))
            return nullptr;
        return *got;
    }

    // The records of the level, in order.
    std::vector<std::string> records(int level) const
    {
        std::vector<std::string> texts;
        for (const auto& record : log->records)
            if (record.level == level)
                texts.push_back(record.text);
        return texts;
    }

    std::uint32_t revision_ = 0;
};

} // namespace test_services
