#pragma once

// An application object in the test process, with this test as PilotD on
// the other end of its channel and a log output that keeps every record.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "common/log.hpp"
#include "common/log_capture.hpp"
#include "pilotd_peer.hpp"

namespace test_inventory {

class fixture_t : public testing::Test {
protected:
    fixture_t()
    {
        cf_log_threshold = cf_log_debug;
        cf_set_log(log);
        inventory = std::make_unique<ic::inventory_t>(pilotd.daemon_end());
        pilotd.release_daemon_end();
    }

    ~fixture_t() override
    {
        inventory.reset();
        cf_log_threshold = cf_log_debug;
    }

    // Runs what is ready on the event loop for a moment.
    void pump() { inventory->io_context.run_one_for(std::chrono::milliseconds(10)); }
    std::function<void()> pumper()
    {
        return [this] { pump(); };
    }

    // Runs the loop until done() holds or the limit passes.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            pump();
        return done();
    }

    // Runs the loop until an ox::ErrorCode leaves it; nothing when none
    // does within the limit.
    std::optional<ox::ErrorCode> run_until_stopped(std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            try {
                pump();
            } catch (ox::ErrorCode code) {
                return code;
            }
        }
        return std::nullopt;
    }

    bool logged(int level, const std::string& text) const
    {
        for (const auto& record : log->records)
            if (record.level == level && record.text == text)
                return true;
        return false;
    }

    // The settings of the test PilotD, logging left to this fixture.
    static ox::TRAXDConfig settings(const std::string& address = "0.0.0.0", unsigned port = 0)
    {
        auto config = test_pilotd::usable_config(address, port);
        config.mutable_actual_log()->set_type(ox::Log::AUTO);
        return config;
    }

    std::shared_ptr<log_capture::recording_log_t> log = std::make_shared<log_capture::recording_log_t>();
    test_pilotd::peer_t pilotd;
    std::unique_ptr<ic::inventory_t> inventory;
};

} // namespace test_inventory
