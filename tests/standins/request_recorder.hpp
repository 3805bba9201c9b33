#pragma once

// What a service stand-in keeps of the requests it receives: each one in
// arrival order, the frames that were no request, and an observer told
// about each. The state is guarded by the stand-in's listener, whose thread
// records; a stand-in derives from this and declares its listener last, so
// that the listener's thread stops before any of it goes.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "standins/service_listener.hpp"

namespace standin {

template <class request_t>
class request_recorder_t {
public:
    // Called on the stand-in's thread for every request, with a line about
    // it and its reply.
    using observer_t = std::function<void(const std::string& line)>;

    void set_observer(observer_t observer)
    {
        std::lock_guard lock(listener_.mutex());
        observer_ = std::move(observer);
    }

    // Every request received so far, in arrival order.
    std::vector<request_t> requests() const
    {
        std::lock_guard lock(listener_.mutex());
        return requests_;
    }

    bool wait_for_requests(std::size_t count, service_listener_t::duration_t limit = std::chrono::seconds(5)) const
    {
        return listener_.wait_until(limit, [&] { return requests_.size() >= count; });
    }

    // Frames from the daemon that were no request.
    std::size_t malformed() const
    {
        std::lock_guard lock(listener_.mutex());
        return malformed_;
    }

protected:
    // The listener may still be unconstructed here: it is only kept.
    explicit request_recorder_t(service_listener_t& listener) : listener_(listener) {}

    // With the listener's lock held: parses the frame and records the
    // request, or counts the frame as malformed and returns false.
    bool record(const std::string& body, request_t& request)
    {
        if (!request.ParseFromString(body)) {
            ++malformed_;
            return false;
        }
        requests_.push_back(request);
        return true;
    }

    observer_t observer_;

private:
    service_listener_t& listener_;
    std::vector<request_t> requests_;
    std::size_t malformed_ = 0;
};

} // namespace standin
