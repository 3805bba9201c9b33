#include "standins/vetter_standin.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "common/ipc_link.hpp"

namespace standin {

// One client connection: frames are read through the suite's message link
// and written by the session itself, so that it can also send bytes that
// are no message at all.
class vetter_standin_t::session_t : public cf_ipc_link_t, public std::enable_shared_from_this<session_t> {
public:
    session_t(vetter_standin_t& owner, std::size_t number, boost::asio::local::stream_protocol::socket socket)
        : owner_(&owner), number_(number), io_(owner.io_)
    {
        this->socket = std::make_shared<cf_ipc_socket_t>(std::move(socket));
    }

    void start() { start_read(); }

    // Ends the session; nothing it had pending will reach the owner.
    void stop()
    {
        owner_ = nullptr;
        if (is_open())
            close();
    }

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override
    {
        vr::ClientMessage message;
        if (!owner_ || !message.ParseFromZeroCopyStream(&body))
            return stop();
        owner_->record(number_, message);
        handle(message, owner_->scenario());
    }

    void on_error(const boost::system::error_code&) override { stop(); }
    std::shared_ptr<cf_ipc_link_t> shared_self() override { return shared_from_this(); }

private:
    // The bytes of a job as they came, joined only when needed: a large
    // body then costs one copy, not one per chunk.
    struct job_t {
        std::vector<std::string> chunks;

        std::string data() const
        {
            std::size_t size = 0;
            for (const auto& chunk : chunks)
                size += chunk.size();
            std::string all;
            all.reserve(size);
            for (const auto& chunk : chunks)
                all += chunk;
            return all;
        }
    };

    void handle(vr::ClientMessage& message, const vetter_scenario_t& scenario)
    {
        const std::uint32_t id = message.job_id();
        switch (message.tag()) {
        case vr::ClientMessage::INIT:
            jobs_[id] = job_t();
            return;
        case vr::ClientMessage::DATA_CHUNK: {
            job_t& job = jobs_[id];
            job.chunks.push_back(std::move(*message.mutable_data()));
            if (scenario.close_after_chunks && job.chunks.size() == *scenario.close_after_chunks)
                return stop();
            if (scenario.alarm_after_chunks && job.chunks.size() == *scenario.alarm_after_chunks)
                alarm(id, scenario);
            return;
        }
        case vr::ClientMessage::SCAN_REQUEST:
            if (scenario.close_after_chunks == std::size_t{0})
                return stop();
            if (scenario.alarm_after_chunks == std::size_t{0})
                return alarm(id, scenario);
            return answer_later(id, message.scan_options().report_component_info(), scenario);
        case vr::ClientMessage::GET_DATA_REQUEST:
            return give_back(id, scenario);
        case vr::ClientMessage::RESET:
            jobs_.erase(id);
            return;
        default:
            return;
        }
    }

    void alarm(std::uint32_t id, const vetter_scenario_t& scenario)
    {
        vr::ServerMessage message;
        message.set_tag(vr::ServerMessage::ALARM);
        message.set_job_id(id);
        if (scenario.fault != vetter_fault_t::alarm_without_error) {
            message.mutable_error()->set_code(scenario.alarm_code);
            if (!scenario.alarm_text.empty())
                message.mutable_error()->set_what(scenario.alarm_text);
        }
        send(message);
    }

    void answer_later(std::uint32_t id, bool component_info, const vetter_scenario_t& scenario)
    {
        if (scenario.answer_delay.count() == 0)
            return answer(id, component_info, scenario);
        auto timer = std::make_shared<boost::asio::steady_timer>(io_, scenario.answer_delay);
        timer->async_wait([self = shared_from_this(), timer, id, component_info](const boost::system::error_code&) {
            if (self->owner_)
                self->answer(id, component_info, self->owner_->scenario());
        });
    }

    void answer(std::uint32_t id, bool component_info, const vetter_scenario_t& scenario)
    {
        vr::ServerMessage message;
        message.set_tag(vr::ServerMessage::SCAN_RESPONSE);
        message.set_job_id(id);
        // Only markers need the bytes themselves.
        const std::string data = scenario.threats.empty() ? std::string() : jobs_[id].data();
        *message.mutable_scan_report() = make_report(scenario, data, component_info);
        switch (scenario.fault) {
        case vetter_fault_t::garbage:
            return send_frame(std::string("\xff\xff\xff\xff", 4));
        case vetter_fault_t::unknown_tag:
            message.set_tag(static_cast<vr::ServerMessage::ServerMessageTag>(6));
            break;
        case vetter_fault_t::adjust_window:
            message.Clear();
            message.set_tag(vr::ServerMessage::ADJUST_WINDOW);
            message.set_window_change(1);
            break;
        case vetter_fault_t::no_job_id:
            message.clear_job_id();
            break;
        case vetter_fault_t::no_scan_report:
            message.clear_scan_report();
            break;
        case vetter_fault_t::alarm_without_error:
            return alarm(id, scenario);
        case vetter_fault_t::second_response:
            send(message);
            break;
        default:
            break;
        }
        send(message);
    }

    void give_back(std::uint32_t id, const vetter_scenario_t& scenario)
    {
        std::string returned = jobs_[id].data();
        if (scenario.transform)
            returned = scenario.transform(returned);
        vr::ServerMessage response;
        response.set_tag(vr::ServerMessage::GET_DATA_RESPONSE);
        response.set_job_id(id);
        if (scenario.fault != vetter_fault_t::no_data_size)
            response.set_data_size(returned.size());
        send(response);
        if (scenario.fault == vetter_fault_t::excess_data)
            returned += '!';
        const std::size_t piece = std::max<std::size_t>(scenario.piece_size, 1);
        for (std::size_t at = 0; at < returned.size(); at += piece) {
            vr::ServerMessage chunk;
            chunk.set_tag(vr::ServerMessage::DATA_CHUNK);
            chunk.set_job_id(id);
            chunk.set_data(returned.data() + at, std::min(piece, returned.size() - at));
            send(chunk);
        }
    }

    // Messages go out without the link's checks, so that one lacking a
    // required field can be sent too.
    void send(const vr::ServerMessage& message)
    {
        std::string frame = frame_head(message.ByteSizeLong());
        const std::size_t at = frame.size();
        frame.resize(at + message.GetCachedSize());
        message.SerializePartialToArray(frame.data() + at, message.GetCachedSize());
        queue(std::move(frame));
    }

    void send_frame(const std::string& body) { queue(frame_head(body.size()) + body); }

    static std::string frame_head(std::size_t size)
    {
        const auto length = static_cast<std::uint32_t>(size);
        std::string head(sizeof length, '\0');
        std::memcpy(head.data(), &length, sizeof length);
        return head;
    }

    void queue(std::string frame)
    {
        if (!is_open())
            return;
        output_.push_back(std::move(frame));
        if (output_.size() == 1)
            write_next();
    }

    void write_next()
    {
        boost::asio::async_write(*socket, boost::asio::buffer(output_.front()),
                                 [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                                     if (error || !self->is_open())
                                         return self->stop();
                                     self->output_.pop_front();
                                     if (!self->output_.empty())
                                         self->write_next();
                                 });
    }

    vetter_standin_t* owner_;
    std::size_t number_;
    boost::asio::io_context& io_;
    std::map<std::uint32_t, job_t> jobs_;
    std::deque<std::string> output_;
};

vetter_standin_t::vetter_standin_t(boost::asio::io_context& io, std::string path)
    : io_(io), path_(std::move(path)), acceptor_(io)
{
    ::unlink(path_.c_str());
    const boost::asio::local::stream_protocol::endpoint endpoint(path_);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen();
    accept();
}

vetter_standin_t::~vetter_standin_t()
{
    stop();
    ::unlink(path_.c_str());
}

void vetter_standin_t::stop()
{
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (const auto& weak : sessions_)
        if (const auto session = weak.lock())
            session->stop();
    sessions_.clear();
}

void vetter_standin_t::accept()
{
    acceptor_.async_accept(
        [this](const boost::system::error_code& error, boost::asio::local::stream_protocol::socket socket) {
            if (error)
                return;
            std::size_t number;
            {
                std::lock_guard lock(mutex_);
                number = accepted_++;
            }
            auto session = std::make_shared<session_t>(*this, number, std::move(socket));
            sessions_.push_back(session);
            session->start();
            accept();
        });
}

void vetter_standin_t::set_scenario(const vetter_scenario_t& scenario)
{
    std::lock_guard lock(mutex_);
    scenario_ = scenario;
}

vetter_scenario_t vetter_standin_t::scenario() const
{
    std::lock_guard lock(mutex_);
    return scenario_;
}

void vetter_standin_t::record(std::size_t connection, const vr::ClientMessage& message)
{
    std::lock_guard lock(mutex_);
    if (recording_)
        received_.push_back({connection, message});
}

void vetter_standin_t::set_recording(bool on)
{
    std::lock_guard lock(mutex_);
    recording_ = on;
}

std::vector<vetter_received_t> vetter_standin_t::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<vr::ClientMessage::ClientMessageTag> vetter_standin_t::tags() const
{
    std::lock_guard lock(mutex_);
    std::vector<vr::ClientMessage::ClientMessageTag> tags;
    for (const auto& r : received_)
        tags.push_back(r.message.tag());
    return tags;
}

std::size_t vetter_standin_t::connections() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

ox::ScanReport vetter_standin_t::make_report(const vetter_scenario_t& scenario, const std::string& data,
                                             bool report_component_info)
{
    ox::ScanReport report;
    report.set_object("stream");
    for (const auto& threat : scenario.threats) {
        if (threat.marker.empty() || data.find(threat.marker) == std::string::npos)
            continue;
        ox::Virus* virus = report.add_virus();
        virus->set_type(threat.type);
        virus->set_name(threat.name);
    }
    if (report_component_info) {
        report.set_se_version(scenario.se_version);
        report.set_core_engine_version(scenario.core_engine_version);
        report.set_virus_records(scenario.virus_records);
        report.set_base_stamp(scenario.base_stamp);
    }
    return report;
}

} // namespace standin
