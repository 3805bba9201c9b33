#include "standins/pilotd_standin.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

#include "common/ipc_link.hpp"
#include "schemas/application.pb.h"
#include "standins/child_process.hpp"
#include "standins/run_on_loop.hpp"

namespace standin {

namespace {

constexpr auto child_poll_interval = std::chrono::milliseconds(20);

// Collects the parser's complaints so that a bad scenario file names them.
class parse_errors_t : public google::protobuf::io::ErrorCollector {
public:
    void AddError(int line, int column, const std::string& message) override
    {
        text += "line " + std::to_string(line + 1) + ", column " + std::to_string(column + 1) + ": " + message + "\n";
    }
    std::string text;
};

// Reads a pipe until its end, handing every piece to the sink; the pending
// read keeps the reader alive.
struct pipe_reader_t : std::enable_shared_from_this<pipe_reader_t> {
    pipe_reader_t(boost::asio::io_context& io, int fd) : descriptor(io, fd) {}

    void read()
    {
        descriptor.async_read_some(boost::asio::buffer(chunk),
                                   [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                                       if (n > 0)
                                           self->sink(self->chunk.data(), n);
                                       if (!ec)
                                           self->read();
                                       else
                                           self->end();
                                   });
    }

    boost::asio::posix::stream_descriptor descriptor;
    std::array<char, 4096> chunk;
    std::function<void(const char*, std::size_t)> sink;
    std::function<void()> end;
};

int make_pipe(int& read_end)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    read_end = ends[0];
    return ends[1];
}

} // namespace

ox::TRAXDConfig parse_config_text(const std::string& text)
{
    ox::TRAXDConfig config;
    parse_errors_t errors;
    google::protobuf::TextFormat::Parser parser;
    parser.RecordErrorsTo(&errors);
    if (!parser.ParseFromString(text, &config))
        throw std::runtime_error("settings do not parse: " + errors.text);
    return config;
}

// The stand-in's end of the channel: the suite's own message link.
class pilotd_standin_t::link_t : public cf_ipc_link_t, public std::enable_shared_from_this<link_t> {
public:
    link_t(pilotd_standin_t& owner, int fd) : owner_(owner)
    {
        socket = std::make_shared<cf_ipc_socket_t>(owner.io_.get_executor());
        socket->assign(boost::asio::local::stream_protocol(), fd);
    }

    void start() { start_read(); }

    void write_raw(const std::string& bytes)
    {
        if (is_open())
            boost::asio::write(*socket, boost::asio::buffer(bytes));
    }

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override
    {
        frame_t frame;
        frame.arrival = steady_clock_t::now();
        if (!frame.message.ParseFromZeroCopyStream(&body)) {
            std::lock_guard lock(owner_.mutex_);
            ++owner_.malformed_;
            owner_.changed_.notify_all();
            return;
        }
        owner_.on_frame(std::move(frame));
    }

    void on_error(const boost::system::error_code& ec) override
    {
        owner_.on_channel_end(ec == boost::asio::error::eof ? channel_state_t::closed_by_daemon
                                                            : channel_state_t::failed);
    }

    std::shared_ptr<cf_ipc_link_t> shared_self() override { return shared_from_this(); }

private:
    pilotd_standin_t& owner_;
};

pilotd_standin_t::pilotd_standin_t() : work_(io_.get_executor()), thread_([this] { io_.run(); }) {}

pilotd_standin_t::~pilotd_standin_t()
{
    if (pid_ > 0 && !wait_exit(0s)) {
        ::kill(pid_, SIGKILL);
        wait_exit(10s);
    }
    run_on_loop([this] {
        if (link_ && link_->is_open())
            link_->close();
        link_.reset();
    });
    work_.reset();
    io_.stop();
    thread_.join();
}

void pilotd_standin_t::run_on_loop(const std::function<void()>& work)
{
    standin::run_on_loop(io_, work);
}

pilotd_standin_t::link_t& pilotd_standin_t::started_link() const
{
    if (!link_)
        throw std::logic_error("the daemon was not started");
    return *link_;
}

void pilotd_standin_t::set_config(const ox::TRAXDConfig& config, std::uint32_t revision)
{
    std::lock_guard lock(mutex_);
    config_.CopyFrom(config);
    config_file_.clear();
    revision_ = revision;
}

void pilotd_standin_t::set_config_text(const std::string& text, std::uint32_t revision)
{
    set_config(parse_config_text(text), revision);
}

void pilotd_standin_t::set_config_file(const std::string& path, std::uint32_t revision)
{
    std::lock_guard lock(mutex_);
    config_file_ = path;
    revision_ = revision;
}

void pilotd_standin_t::set_auto_answer(bool on)
{
    std::lock_guard lock(mutex_);
    auto_answer_ = on;
}

void pilotd_standin_t::set_socket_path(ox::Application app, const std::string& path)
{
    std::lock_guard lock(mutex_);
    ox::Pilotd2TRAXDMessage& answer = socket_answers_[app];
    answer.Clear();
    answer.set_socket_path(path);
}

void pilotd_standin_t::set_socket_error(ox::Application app, const ox::Error& error)
{
    std::lock_guard lock(mutex_);
    ox::Pilotd2TRAXDMessage& answer = socket_answers_[app];
    answer.Clear();
    answer.mutable_error()->CopyFrom(error);
}

void pilotd_standin_t::set_frame_observer(frame_observer_t observer)
{
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void pilotd_standin_t::start(const launch_options_t& options)
{
    if (pid_ > 0)
        throw std::logic_error("the daemon was already started");

    spawn_request_t request;
    request.binary = options.binary;
    request.arguments = options.arguments;
    request.descriptor_limit = options.descriptor_limit;
    request.environment["COM_ORVEX_MONITOR"] = std::nullopt;
    request.environment["COM_ORVEX_ADD_LOG_PIPE"] = std::nullopt;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    own_end_ = ends[0];
    const int daemon_end = ends[1];
    if (options.pass_channel) {
        const int number = options.channel_descriptor >= 0 ? options.channel_descriptor : daemon_end;
        request.descriptors[number] = daemon_end;
        request.environment["COM_ORVEX_MONITOR"] = std::to_string(number);
    }
    if (options.monitor_text)
        request.environment["COM_ORVEX_MONITOR"] = *options.monitor_text;

    int out_read = -1;
    int err_read = -1;
    int log_read = -1;
    const int out_write = make_pipe(out_read);
    const int err_write = make_pipe(err_read);
    request.descriptors[1] = out_write;
    request.descriptors[2] = err_write;
    int log_write = -1;
    if (options.log_pipe) {
        log_write = make_pipe(log_read);
        request.descriptors[log_write] = log_write;
        request.environment["COM_ORVEX_ADD_LOG_PIPE"] = std::to_string(log_write);
    }

    const auto close_all = [](std::initializer_list<int> fds) {
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    };
    try {
        pid_ = spawn_process(request);
    } catch (...) {
        close_all({own_end_, out_read, err_read, log_read});
        close_all({daemon_end, out_write, err_write, log_write});
        throw;
    }
    // The child holds its own copies now.
    close_all({daemon_end, out_write, err_write, log_write});

    run_on_loop([&] {
        link_ = std::make_shared<link_t>(*this, own_end_);
        link_->start();
        start_reader(out_read, stdout_, false);
        start_reader(err_read, stderr_, options.echo_stderr);
        if (log_read >= 0)
            start_reader(log_read, log_pipe_, false);
        poll_child();
    });
}

void pilotd_standin_t::start_reader(int fd, std::string& into, bool echo)
{
    auto reader = std::make_shared<pipe_reader_t>(io_, fd);
    reader->sink = [this, &into, echo](const char* data, std::size_t n) {
        if (echo)
            std::cerr.write(data, static_cast<std::streamsize>(n)).flush();
        std::lock_guard lock(mutex_);
        into.append(data, n);
        changed_.notify_all();
    };
    reader->end = [this] {
        std::lock_guard lock(mutex_);
        --open_pipes_;
        changed_.notify_all();
    };
    {
        std::lock_guard lock(mutex_);
        ++open_pipes_;
    }
    reader->read();
}

void pilotd_standin_t::poll_child()
{
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
        std::lock_guard lock(mutex_);
        exit_status_ = decode_wait_status(status);
        changed_.notify_all();
        return;
    }
    auto timer = std::make_shared<boost::asio::steady_timer>(io_, child_poll_interval);
    timer->async_wait([this, timer](const boost::system::error_code& ec) {
        if (!ec)
            poll_child();
    });
}

void pilotd_standin_t::on_frame(frame_t frame)
{
    frame_observer_t observer;
    {
        std::lock_guard lock(mutex_);
        frames_.push_back(frame);
        observer = observer_;
        changed_.notify_all();
    }
    try {
        answer(frame.message);
    } catch (const std::exception& e) {
        // A scenario that cannot be read (a settings file edited into
        // something unparsable) leaves the request unanswered.
        std::cerr << "pilotd-standin: cannot answer " << ox::TRAXD2PilotdMessage::MessageTag_Name(frame.message.tag())
                  << ": " << e.what() << std::endl;
    }
    if (observer)
        observer(frame);
}

void pilotd_standin_t::on_channel_end(channel_state_t state)
{
    std::lock_guard lock(mutex_);
    if (channel_ == channel_state_t::open)
        channel_ = state;
    changed_.notify_all();
}

ox::Pilotd2TRAXDMessage pilotd_standin_t::config_message() const
{
    ox::TRAXDConfig config;
    std::uint32_t revision = 0;
    std::string file;
    {
        std::lock_guard lock(mutex_);
        config.CopyFrom(config_);
        revision = revision_;
        file = config_file_;
    }
    if (!file.empty()) {
        std::ifstream in(file);
        if (!in)
            throw std::runtime_error("cannot read the settings file " + file);
        std::ostringstream text;
        text << in.rdbuf();
        config = parse_config_text(text.str());
    }
    ox::Pilotd2TRAXDMessage message;
    message.set_tag(ox::Pilotd2TRAXDMessage::GET_CONFIG_RESPONSE);
    message.set_config_revision(revision);
    message.mutable_config()->Swap(&config);
    return message;
}

void pilotd_standin_t::answer(const ox::TRAXD2PilotdMessage& message)
{
    using tag_t = ox::TRAXD2PilotdMessage;
    std::optional<ox::Pilotd2TRAXDMessage> reply;
    {
        std::lock_guard lock(mutex_);
        const auto socket_answer = [&](ox::Application app, ox::Pilotd2TRAXDMessage::MessageTag tag) {
            const auto found = socket_answers_.find(app);
            if (found == socket_answers_.end()) {
                reply.emplace();
                reply->mutable_error()->set_code(ox::EC_NOT_INSTALLED);
            } else {
                reply = found->second;
            }
            reply->set_tag(tag);
        };
        switch (message.tag()) {
        case tag_t::GET_CONFIG_REQUEST:
            if (!auto_answer_)
                return;
            break;
        case tag_t::GET_VETTER_REQUEST:
            socket_answer(ox::APP_VETTER, ox::Pilotd2TRAXDMessage::GET_VETTER_RESPONSE);
            break;
        case tag_t::GET_TAGGER_REQUEST:
            socket_answer(ox::APP_TAGGER, ox::Pilotd2TRAXDMessage::GET_TAGGER_RESPONSE);
            break;
        case tag_t::GET_SEEKD_REQUEST:
            socket_answer(ox::APP_SEEKD, ox::Pilotd2TRAXDMessage::GET_SEEKD_RESPONSE);
            break;
        default:
            return;
        }
    }
    if (message.tag() == tag_t::GET_CONFIG_REQUEST)
        reply = config_message();
    if (reply && link_ && link_->is_open())
        link_->async_send_message(*reply);
}

void pilotd_standin_t::send_config()
{
    run_on_loop([this] { started_link().async_send_message(config_message()); });
}

void pilotd_standin_t::send_config(const ox::TRAXDConfig& config, std::uint32_t revision)
{
    set_config(config, revision);
    send_config();
}

void pilotd_standin_t::send_suspension(bool suspended)
{
    run_on_loop([this, suspended] {
        ox::Pilotd2TRAXDMessage message = config_message();
        message.mutable_control()->set_app(ox::APP_TRAXD);
        message.mutable_control()->set_suspended(suspended);
        started_link().async_send_message(message);
    });
}

void pilotd_standin_t::send_message(const ox::Pilotd2TRAXDMessage& message)
{
    run_on_loop([this, &message] { started_link().async_send_message(message); });
}

void pilotd_standin_t::send_raw(const std::string& bytes)
{
    run_on_loop([this, &bytes] { started_link().write_raw(bytes); });
}

void pilotd_standin_t::send_frame(const std::string& body)
{
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    send_raw(frame + body);
}

void pilotd_standin_t::close_channel()
{
    run_on_loop([this] {
        {
            std::lock_guard lock(mutex_);
            if (channel_ == channel_state_t::open)
                channel_ = channel_state_t::closed_by_standin;
        }
        if (started_link().is_open())
            link_->close();
    });
}

void pilotd_standin_t::signal(int number) const
{
    if (pid_ > 0)
        ::kill(pid_, number);
}

std::vector<frame_t> pilotd_standin_t::frames() const
{
    std::lock_guard lock(mutex_);
    return frames_;
}

std::size_t pilotd_standin_t::frame_count() const
{
    std::lock_guard lock(mutex_);
    return frames_.size();
}

std::optional<std::size_t> pilotd_standin_t::wait_for_index(ox::TRAXD2PilotdMessage::MessageTag tag, std::size_t from,
                                                            steady_clock_t::duration limit)
{
    std::optional<std::size_t> found;
    wait_until(limit, [&] {
        for (std::size_t i = from; i < frames_.size(); ++i)
            if (frames_[i].message.tag() == tag) {
                found = i;
                return true;
            }
        return channel_ != channel_state_t::open;
    });
    return found;
}

std::optional<frame_t> pilotd_standin_t::wait_for_frame(ox::TRAXD2PilotdMessage::MessageTag tag, std::size_t from,
                                                        steady_clock_t::duration limit)
{
    const auto index = wait_for_index(tag, from, limit);
    if (!index)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    return frames_[*index];
}

std::optional<int> pilotd_standin_t::wait_exit(steady_clock_t::duration limit)
{
    if (pid_ <= 0)
        return std::nullopt;
    std::optional<int> status;
    wait_until(limit, [&] {
        if (open_pipes_ == 0)
            status = exit_status_;
        return status.has_value();
    });
    return status;
}

bool pilotd_standin_t::wait_for_stderr(const std::string& text, steady_clock_t::duration limit)
{
    return wait_until(limit, [&] { return stderr_.find(text) != std::string::npos; });
}

std::string pilotd_standin_t::stderr_text() const
{
    std::lock_guard lock(mutex_);
    return stderr_;
}

std::string pilotd_standin_t::stdout_text() const
{
    std::lock_guard lock(mutex_);
    return stdout_;
}

std::string pilotd_standin_t::log_pipe_text() const
{
    std::lock_guard lock(mutex_);
    return log_pipe_;
}

channel_state_t pilotd_standin_t::channel_state() const
{
    std::lock_guard lock(mutex_);
    return channel_;
}

std::size_t pilotd_standin_t::malformed_frames() const
{
    std::lock_guard lock(mutex_);
    return malformed_;
}

pid_t pilotd_standin_t::pid() const
{
    return pid_;
}

} // namespace standin
