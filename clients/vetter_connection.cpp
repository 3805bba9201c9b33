#include "clients/vetter_connection.hpp"

#include <unistd.h>

#include <sstream>
#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/config_holder.hpp"
#include "app/core/inventory.hpp"
#include "clients/vetter_stream.hpp"
#include "common/enum_text.hpp"
#include "common/error_category.hpp"
#include "common/error_convert.hpp"
#include "common/log.hpp"
#include "common/what.hpp"

namespace ic {

namespace {

constexpr std::uint32_t largest_message = 67108864;

using server_tag_t = vr::ServerMessage::ServerMessageTag;

const boost::system::error_code& link_disconnected()
{
    static const boost::system::error_code code = ox::make_error_code(ox::EC_LINK_DISCONNECTED);
    return code;
}

// A required field is missing: "<TAG>: Check failed: <test>".
void require(bool present, const vr::ServerMessage& message, const char* test)
{
    if (!present)
        throw boost::system::system_error(ox::make_error_code(ox::EC_PROTOCOL_VIOLATION),
                                          cf_enum_text(message.tag()) + ": Check failed: " + test);
}

} // namespace

std::shared_ptr<vetter_connection_t> vetter_connection_t::connect(inventory_t& inventory,
                                                                  const boost::filesystem::path& path)
{
    auto socket = std::make_shared<cf_ipc_socket_t>(inventory.io_context);
    const boost::asio::local::stream_protocol::endpoint endpoint(path.string());
    boost::system::error_code error;
    socket->open(boost::asio::local::stream_protocol(), error);
    if (!error)
        socket->connect(endpoint, error);
    if (error)
        throw boost::filesystem::filesystem_error("connect", path, error);

    auto connection = std::make_shared<vetter_connection_t>(inventory);
    connection->socket = std::move(socket);
    connection->start_read();

    vr::ClientMessage hello;
    hello.set_tag(vr::ClientMessage::HELLO);
    hello.set_origin(ox::APP_TRAXD);
    hello.set_origin_pid(static_cast<std::uint32_t>(::getpid()));
    hello.set_soft_error(true);
    connection->send(hello);
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, connection->prefix() + " --> HELLO pid=" + std::to_string(hello.origin_pid()));
    return connection;
}

vetter_connection_t::vetter_connection_t(inventory_t& inventory)
    : inventory_(inventory), executor_(inventory.io_context.get_executor())
{
    max_message_size = largest_message;
    settings_slot_ = inventory.config_holder->changed.connect([this] { load_scan_options(); });
    scan_request_.set_tag(vr::ClientMessage::SCAN_REQUEST);
    scan_request_.mutable_scan_options()->set_cure(false);
    load_scan_options();
}

vetter_connection_t::~vetter_connection_t()
{
    for (auto& [number, job] : jobs_)
        fail_job(job, link_disconnected());
}

std::shared_ptr<cf_ipc_link_t> vetter_connection_t::shared_self()
{
    return shared_from_this();
}

std::string vetter_connection_t::prefix() const
{
    std::ostringstream text;
    text << "Vetter " << static_cast<const void*>(this);
    return text.str();
}

void vetter_connection_t::post(std::function<void()> work)
{
    boost::asio::post(executor_, std::move(work));
}

bool vetter_connection_t::send(const vr::ClientMessage& message)
{
    if (!usable())
        return false;
    async_send_message(message);
    return true;
}

void vetter_connection_t::send_tagged(vr::ClientMessage::ClientMessageTag tag, unsigned job, const char* name)
{
    vr::ClientMessage message;
    message.set_tag(tag);
    message.set_job_id(job);
    if (send(message) && cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, prefix() + " --> " + name + " job_id=" + std::to_string(job));
}

void vetter_connection_t::load_scan_options()
{
    const ox::TRAXDConfig& config = inventory_.config_holder->config;
    vr::ScanOptions* options = scan_request_.mutable_scan_options();
    options->set_scan_timeout_ms(config.scan_timeout());
    options->set_heuristic_analysis(config.heuristic_analysis());
    options->set_packer_max_level(config.packer_max_level());
    options->set_archive_max_level(config.archive_max_level());
    options->set_mail_max_level(config.mail_max_level());
    options->set_container_max_level(config.container_max_level());
    options->set_max_compression_ratio(config.max_compression_ratio());
}

// Numbers go round after 2^32 jobs; 0 and numbers still in use are skipped,
// so that two live jobs never share one.
unsigned vetter_connection_t::next_job_number()
{
    do
        ++job_counter_;
    while (job_counter_ == 0 || jobs_.contains(job_counter_));
    return job_counter_;
}

// What the continuations of one scan need; they hold the connection only
// weakly, and the job's read-back state for themselves.
struct vetter_connection_t::scan_t {
    boost::asio::any_io_executor executor;
    std::weak_ptr<vetter_connection_t> connection;
    unsigned job;
    std::shared_ptr<receive_buffer_t> buffer;
    bool report_component_info;
    scan_callback_t callback;

    // The scan failed: the callback gets the body all the same, `body`
    // being the part of it that was never read (null when all was).
    void fail(const body_t& body, const boost::system::error_code& error) const
    {
        if (const auto self = connection.lock())
            self->mark_handed_over(job);
        callback(ox::ScanReport(), vetter_stream_t::make_after_failure(executor, connection, job, buffer, body),
                 error ? error : link_disconnected());
    }
};

void vetter_connection_t::scan(const body_t& body, bool report_component_info, const scan_callback_t& callback)
{
    const unsigned job = next_job_number();
    send_tagged(vr::ClientMessage::INIT, job, "INIT");
    const auto state = std::make_shared<const scan_t>(scan_t{
        executor_, weak_from_this(), job, std::make_shared<receive_buffer_t>(), report_component_info, callback});
    jobs_[job].buffer = state->buffer;
    send_data(job, body, [state, body](const boost::system::error_code& error) { on_body_sent(state, body, error); });
}

void vetter_connection_t::on_body_sent(const std::shared_ptr<const scan_t>& scan, const body_t& body,
                                       const boost::system::error_code& error)
{
    const auto self = scan->connection.lock();
    if (error || !self)
        return scan->fail(body, error);
    self->send_scan_request(scan->job, scan->report_component_info,
                            [scan](const ox::ScanReport& report, const boost::system::error_code& error) {
                                on_scanned(scan, report, error);
                            });
}

void vetter_connection_t::on_scanned(const std::shared_ptr<const scan_t>& scan, const ox::ScanReport& report,
                                     const boost::system::error_code& error)
{
    if (error || scan->connection.expired())
        return scan->fail(nullptr, error);
    // Vetter holds the body now and answers for it.
    scan->buffer->keeping = false;
    scan->buffer->kept.clear();
    scan->callback(report, vetter_stream_t::make(scan->executor, scan->connection, scan->job, scan->buffer, false),
                   boost::system::error_code());
}

void vetter_connection_t::mark_handed_over(unsigned job)
{
    if (const auto found = jobs_.find(job); found != jobs_.end())
        found->second.handed_over = true;
}

void vetter_connection_t::send_data(unsigned job, const body_t& body, const completion_t& completion)
{
    body->async_receive_chunk([self = shared_from_this(), job, body,
                               completion](io::http::body_chunk_t& chunk, const boost::system::error_code& error) {
        self->on_body_chunk(job, body, completion, chunk, error);
    });
}

void vetter_connection_t::on_body_chunk(unsigned job, const body_t& body, const completion_t& completion,
                                        io::http::body_chunk_t& chunk, const boost::system::error_code& error)
{
    const auto found = jobs_.find(job);
    if (found == jobs_.end())
        return completion(link_disconnected());
    receive_buffer_t& buffer = *found->second.buffer;
    if (error && error != io::end_of_stream)
        return completion(error);
    if (error) {
        buffer.trailers = chunk.trailers;
        buffer.body_ended = true;
        // Every job sends at least one chunk; bytes that came with the end
        // go out too.
        if (!buffer.end && chunk.data.empty())
            return completion(boost::system::error_code());
        if (!chunk.data.empty())
            buffer.end = false;
        return send_data_chunk(job, chunk.data, completion);
    }
    buffer.end = false;
    const std::weak_ptr<vetter_connection_t> weak = weak_from_this();
    send_data_chunk(job, chunk.data, [weak, job, body, completion](const boost::system::error_code& error) {
        const auto self = weak.lock();
        if (!self)
            return completion(link_disconnected());
        if (error)
            return completion(error);
        self->send_data(job, body, completion);
    });
}

void vetter_connection_t::send_data_chunk(unsigned job, const orx::buffer_t& data, const completion_t& completion)
{
    const auto found = jobs_.find(job);
    if (found == jobs_.end()) {
        post([completion] { completion(link_disconnected()); });
        return;
    }
    job_t& state = found->second;
    if (!usable() || (state.error && state.handed_over)) {
        // The chunk stays the job's, to follow what Vetter received.
        state.buffer->unsent = data;
        const boost::system::error_code error = usable() ? state.error : link_disconnected();
        if (completion)
            post([completion, error] { completion(error); });
        return;
    }
    if (chunk_in_flight_) {
        state.waiting_chunk = data;
        state.send_completion = completion;
        state.parked = true;
        waiting_jobs_.push_back(job);
        return;
    }
    vr::ClientMessage message;
    message.set_tag(vr::ClientMessage::DATA_CHUNK);
    message.set_job_id(job);
    message.set_data(data.data(), data.size());
    send(message);
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, prefix() + " --> DATA_CHUNK job_id=" + std::to_string(job) +
                                 " data_size=" + std::to_string(data.size()));
    chunk_in_flight_ = true;
    if (state.buffer->keeping && !data.empty())
        state.buffer->kept.push_back(data);
    if (completion)
        post([completion] { completion(boost::system::error_code()); });
}

void vetter_connection_t::on_output_drained()
{
    chunk_in_flight_ = false;
    while (!waiting_jobs_.empty() && !chunk_in_flight_) {
        const unsigned job = waiting_jobs_.front();
        waiting_jobs_.pop_front();
        const auto found = jobs_.find(job);
        if (found == jobs_.end() || !found->second.parked)
            continue;
        job_t& state = found->second;
        state.parked = false;
        const orx::buffer_t data = std::exchange(state.waiting_chunk, {});
        const completion_t completion = std::exchange(state.send_completion, {});
        send_data_chunk(job, data, completion);
    }
}

void vetter_connection_t::send_scan_request(unsigned job, bool report_component_info, const scan_response_t& completion)
{
    const auto found = jobs_.find(job);
    const boost::system::error_code error =
        !usable() || found == jobs_.end() ? link_disconnected() : found->second.error;
    if (error) {
        post([completion, error] { completion(ox::ScanReport(), error); });
        return;
    }
    found->second.scan_callback = completion;
    scan_request_.set_job_id(job);
    scan_request_.mutable_scan_options()->set_report_component_info(report_component_info);
    send(scan_request_);
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, prefix() + " --> SCAN_REQUEST job_id=" + std::to_string(job));
}

void vetter_connection_t::request_data(unsigned job, const read_handler_t& handler)
{
    const auto found = jobs_.find(job);
    boost::system::error_code error;
    if (!usable() || found == jobs_.end())
        error = link_disconnected();
    else if (found->second.error && !found->second.handed_over)
        error = found->second.error;
    if (error) {
        post([handler, error] { handler(orx::buffer_t(), error); });
        return;
    }
    job_t& state = found->second;
    state.read_handler = handler;
    if (state.buffer->remaining == 0)
        send_tagged(vr::ClientMessage::GET_DATA_REQUEST, job, "GET_DATA_REQUEST");
}

void vetter_connection_t::destroy_job(unsigned job)
{
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, "vetter_connection_t::destroy_job: job_id=" + std::to_string(job));
    const auto found = jobs_.find(job);
    if (found == jobs_.end())
        return;
    if (!found->second.error || found->second.handed_over)
        send_tagged(vr::ClientMessage::RESET, job, "RESET");
    jobs_.erase(found);
}

void vetter_connection_t::fail_job(job_t& job, const boost::system::error_code& error)
{
    if (job.parked) {
        job.parked = false;
        job.buffer->unsent = std::exchange(job.waiting_chunk, {});
    }
    if (job.send_completion)
        post([completion = std::exchange(job.send_completion, {}), error] { completion(error); });
    if (job.scan_callback)
        post([callback = std::exchange(job.scan_callback, {}), error] { callback(ox::ScanReport(), error); });
    else if (job.read_handler)
        post([handler = std::exchange(job.read_handler, {}), error] { handler(orx::buffer_t(), error); });
}

void vetter_connection_t::on_message(google::protobuf::io::ZeroCopyInputStream& body)
{
    if (broken_)
        return;
    std::function<void()> then;
    try {
        vr::ServerMessage message;
        if (!message.ParseFromZeroCopyStream(&body))
            throw boost::system::system_error(ox::make_error_code(ox::EC_BAD_MESSAGE_FORMAT));
        then = dispatch(message);
    } catch (const boost::system::system_error& e) {
        if (cf_log_threshold <= cf_log_warning)
            cf_log(cf_log_warning, prefix() + ": " + cf_what(e));
        on_error(boost::asio::error::eof);
        return;
    }
    if (then)
        then();
}

std::function<void()> vetter_connection_t::dispatch(vr::ServerMessage& message)
{
    switch (message.tag()) {
    case vr::ServerMessage::SCAN_RESPONSE:
        return on_scan_response(message);
    case vr::ServerMessage::GET_DATA_RESPONSE:
        return on_data_response(message);
    case vr::ServerMessage::DATA_CHUNK:
        return on_data_chunk(message);
    case vr::ServerMessage::ALARM:
        on_alarm(message);
        return nullptr;
    default:
        throw boost::system::system_error(ox::make_error_code(ox::EC_INVALID_OPERATION), cf_enum_text(message.tag()));
    }
}

std::function<void()> vetter_connection_t::on_scan_response(vr::ServerMessage& message)
{
    require(message.has_job_id(), message, "message.has_job_id()");
    require(message.has_scan_report(), message, "message.has_scan_report()");
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, prefix() + " <-- SCAN_RESPONSE job_id=" + std::to_string(message.job_id()));
    const auto found = jobs_.find(message.job_id());
    if (found == jobs_.end())
        return nullptr;
    if (!found->second.scan_callback)
        throw boost::system::system_error(ox::make_error_code(ox::EC_UNEXPECTED_MESSAGE));
    auto report = std::make_shared<ox::ScanReport>();
    report->Swap(message.mutable_scan_report());
    return [callback = std::exchange(found->second.scan_callback, {}), report] {
        callback(*report, boost::system::error_code());
    };
}

std::function<void()> vetter_connection_t::on_data_response(const vr::ServerMessage& message)
{
    require(message.has_job_id(), message, "message.has_job_id()");
    require(message.has_data_size(), message, "message.has_data_size()");
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, prefix() + " <-- GET_DATA_RESPONSE job_id=" + std::to_string(message.job_id()) +
                                 " data_size=" + std::to_string(message.data_size()));
    const auto found = jobs_.find(message.job_id());
    if (found == jobs_.end())
        return nullptr;
    job_t& job = found->second;
    job.buffer->remaining = message.data_size();
    if (message.data_size() != 0 || !job.read_handler)
        return nullptr;
    job.buffer->end = true;
    return [handler = std::exchange(job.read_handler, {})] { handler(orx::buffer_t(), io::end_of_stream); };
}

std::function<void()> vetter_connection_t::on_data_chunk(vr::ServerMessage& message)
{
    require(message.has_job_id(), message, "message.has_job_id()");
    require(message.has_data(), message, "message.has_data()");
    const std::size_t length = message.data().size();
    if (cf_log_threshold <= cf_log_debug)
        cf_log(cf_log_debug, prefix() + " <-- DATA_CHUNK job_id=" + std::to_string(message.job_id()) +
                                 " data_size=" + std::to_string(length));
    const auto found = jobs_.find(message.job_id());
    if (found == jobs_.end())
        return nullptr;
    job_t& job = found->second;
    receive_buffer_t& buffer = *job.buffer;
    // More than Vetter announced would be bytes of no answer at all.
    if (length > buffer.remaining)
        throw boost::system::system_error(ox::make_error_code(ox::EC_PROTOCOL_VIOLATION),
                                          "DATA_CHUNK: more data than announced");
    buffer.remaining -= length;
    if (buffer.remaining == 0)
        buffer.end = true;
    orx::buffer_t data(message.data());
    if (!job.read_handler) {
        buffer.buffered.push_back(data);
        return nullptr;
    }
    return [handler = std::exchange(job.read_handler, {}), data] { handler(data, boost::system::error_code()); };
}

void vetter_connection_t::on_alarm(const vr::ServerMessage& message)
{
    require(message.has_job_id(), message, "message.has_job_id()");
    require(message.has_error(), message, "message.has_error()");
    if (cf_log_threshold <= cf_log_warning)
        cf_log(cf_log_warning,
               prefix() + ": ALARM job_id=" + std::to_string(message.job_id()) + ": " + cf_error_text(message.error()));
    const auto found = jobs_.find(message.job_id());
    if (found == jobs_.end())
        return;
    found->second.error = ox::make_error_code(message.error().code());
    fail_job(found->second, found->second.error);
}

void vetter_connection_t::on_error(const boost::system::error_code& error)
{
    if (broken_)
        return;
    broken_ = true;
    const boost::system::error_code reported = error == boost::asio::error::eof ? link_disconnected() : error;
    if (cf_log_threshold <= cf_log_warning)
        cf_log(cf_log_warning, prefix() + ": " + reported.message());
    // Nothing more will come: whatever waits for Vetter fails now rather
    // than when the last holder lets go.
    for (auto& [number, job] : jobs_)
        fail_job(job, link_disconnected());
    closed();
}

} // namespace ic
