#pragma once

// A stand-in for PilotD, the suite's configuration daemon: it starts the
// real orvex-traxd on one end of a socketpair (the descriptor number in
// COM_ORVEX_MONITOR), answers its settings and socket-path requests from a
// scenario, records every frame the daemon sends, captures the daemon's
// standard output, standard error and extra log pipe, and can be told to
// misbehave. Its own event loop runs on a thread of its own, so that the
// daemon is answered while a test waits; every wait is bounded.

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "schemas/error.pb.h"
#include "schemas/pilotd_traxd_ipc.pb.h"
#include "schemas/traxd_config.pb.h"

namespace standin {

using steady_clock_t = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One message the daemon sent, parsed, with the moment it arrived.
struct frame_t {
    ox::TRAXD2PilotdMessage message;
    steady_clock_t::time_point arrival;
};

struct launch_options_t {
    std::string binary;
    std::vector<std::string> arguments;
    // The daemon's end of the channel is passed and named in
    // COM_ORVEX_MONITOR; false leaves the variable unset.
    bool pass_channel = true;
    // The number the daemon's end has in the child; -1 keeps this process's.
    int channel_descriptor = -1;
    // The text of COM_ORVEX_MONITOR instead of the descriptor number.
    std::optional<std::string> monitor_text;
    // Open a pipe and name its writing end in COM_ORVEX_ADD_LOG_PIPE.
    bool log_pipe = false;
    // Copy the daemon's standard error to this process's as it arrives.
    bool echo_stderr = false;
    // The daemon's limit on open descriptors; nothing keeps this process's.
    std::optional<rlim_t> descriptor_limit;
};

// What the daemon's channel saw end, from the stand-in's side.
enum class channel_state_t { open, closed_by_daemon, failed, closed_by_standin };

class pilotd_standin_t {
public:
    // Called on the stand-in's thread for every frame, after it is recorded.
    using frame_observer_t = std::function<void(const frame_t&)>;

    pilotd_standin_t();
    // Kills a daemon that still runs and waits for it.
    ~pilotd_standin_t();
    pilotd_standin_t(const pilotd_standin_t&) = delete;
    pilotd_standin_t& operator=(const pilotd_standin_t&) = delete;

    // The scenario. The settings are answered to every GET_CONFIG_REQUEST
    // while automatic answers are on (the default); a settings file is read
    // again for every answer, so that a changed file and SIGHUP reconfigure
    // the daemon. Text and files are text-format ox::TRAXDConfig; a text
    // that does not parse throws std::runtime_error.
    void set_config(const ox::TRAXDConfig& config, std::uint32_t revision);
    void set_config_text(const std::string& text, std::uint32_t revision);
    void set_config_file(const std::string& path, std::uint32_t revision);
    void set_auto_answer(bool on);
    // Socket-path requests for `app` (APP_VETTER, APP_TAGGER, APP_SEEKD) are
    // answered with a path, or with an error; as PilotD does, a service
    // with neither is not installed.
    void set_socket_path(ox::Application app, const std::string& path);
    void set_socket_error(ox::Application app, const ox::Error& error);
    void set_frame_observer(frame_observer_t observer);

    // Starts the daemon. Throws when a daemon was already started.
    void start(const launch_options_t& options);

    // Orders sent at once, each queued on the channel in call order.
    void send_config();
    void send_config(const ox::TRAXDConfig& config, std::uint32_t revision);
    // A settings answer (the current scenario's) ordering a suspension.
    void send_suspension(bool suspended = true);
    void send_message(const ox::Pilotd2TRAXDMessage& message);
    // Bytes as they are, outside any framing.
    void send_raw(const std::string& bytes);
    // A frame around `body`, which need not be a message.
    void send_frame(const std::string& body);
    void close_channel();
    void signal(int number) const;

    // Observation. Every frame received so far, in arrival order.
    std::vector<frame_t> frames() const;
    std::size_t frame_count() const;
    // The first frame at index `from` or later with the tag, waiting until
    // it arrives, the channel ends or the limit passes.
    std::optional<frame_t> wait_for_frame(ox::TRAXD2PilotdMessage::MessageTag tag, std::size_t from = 0,
                                          steady_clock_t::duration limit = 5s);
    // Index of that frame, or nothing.
    std::optional<std::size_t> wait_for_index(ox::TRAXD2PilotdMessage::MessageTag tag, std::size_t from = 0,
                                              steady_clock_t::duration limit = 5s);
    // The daemon's exit status (128 + signal when killed), once it has ended
    // and all its output has been read; nothing when it still runs after
    // the limit.
    std::optional<int> wait_exit(steady_clock_t::duration limit = 10s);
    // Whether the standard error holds the text, waiting up to the limit.
    bool wait_for_stderr(const std::string& text, steady_clock_t::duration limit = 5s);
    std::string stderr_text() const;
    std::string stdout_text() const;
    std::string log_pipe_text() const;
    channel_state_t channel_state() const;
    // Frames from the daemon that did not parse.
    std::size_t malformed_frames() const;
    pid_t pid() const;

private:
    class link_t;

    template <class Predicate>
    bool wait_until(steady_clock_t::duration limit, Predicate&& ready) const
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, std::forward<Predicate>(ready));
    }
    // Runs `work` on the stand-in's thread and waits for it; rethrows.
    void run_on_loop(const std::function<void()>& work);
    // The channel's link; throws std::logic_error before `start`.
    link_t& started_link() const;
    void on_frame(frame_t frame);
    void on_channel_end(channel_state_t state);
    void answer(const ox::TRAXD2PilotdMessage& message);
    ox::Pilotd2TRAXDMessage config_message() const;
    void start_reader(int fd, std::string& into, bool echo);
    void poll_child();

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::shared_ptr<link_t> link_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // Guarded by mutex_.
    std::vector<frame_t> frames_;
    std::size_t malformed_ = 0;
    channel_state_t channel_ = channel_state_t::open;
    std::optional<int> exit_status_;
    // Output pipes not yet at their end: the exit status is reported only
    // once everything the daemon wrote has been read.
    int open_pipes_ = 0;
    std::string stdout_;
    std::string stderr_;
    std::string log_pipe_;
    // The scenario.
    ox::TRAXDConfig config_;
    std::string config_file_;
    std::uint32_t revision_ = 1;
    bool auto_answer_ = true;
    std::map<int, ox::Pilotd2TRAXDMessage> socket_answers_;
    frame_observer_t observer_;

    pid_t pid_ = -1;
    int own_end_ = -1;
    // Declared last: the loop stops before anything it uses goes.
    std::thread thread_;
};

// Text-format settings, as the scenario files hold them; throws
// std::runtime_error naming the first problem.
ox::TRAXDConfig parse_config_text(const std::string& text);

} // namespace standin
