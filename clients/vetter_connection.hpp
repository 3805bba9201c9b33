#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

#include "common/buffer.hpp"
#include "common/ipc_link.hpp"
#include "protocol/body_stream.hpp"
#include "protocol/param_map.hpp"
#include "schemas/application.pb.h"
#include "schemas/scan_report.pb.h"
#include "schemas/vetter_client_ipc.pb.h"

namespace ic {

class inventory_t;

// The client of Vetter, the suite's scanning service. Each scan is a job of
// its own on the one connection: the body goes to Vetter chunk by chunk,
// Vetter answers with a report, and the scanned bytes are read back through
// the job's read-back stream, whose destruction ends the job. At most one
// DATA_CHUNK waits in the link's output at any time; jobs that have a chunk
// ready take turns in the order they had to wait.
//
// A failed scan still hands out the body: what Vetter received (read back
// from Vetter while the link works, else the bytes this client handed it),
// then the chunk that could not be sent, then the rest of the body as the
// body stream decodes it, ending with the body's own end.
class vetter_connection_t : public cf_ipc_link_t, public std::enable_shared_from_this<vetter_connection_t> {
public:
    using body_t = std::shared_ptr<io::http::body_stream_t>;
    using scan_callback_t = std::function<void(const ox::ScanReport&, const body_t&, const boost::system::error_code&)>;
    using completion_t = std::function<void(const boost::system::error_code&)>;
    using read_handler_t = io::stream_t::receive_handler_t;

    // What a job's read-back needs; shared between the connection and the
    // job's read-back stream, so that it outlives the connection.
    struct receive_buffer_t {
        // No more bytes will come from Vetter: set until the first body
        // chunk is read for sending, and again once the announced bytes
        // have all arrived.
        bool end = true;
        // Bytes still to come from Vetter: the announced size less what
        // arrived.
        std::uint64_t remaining = 0;
        // Bytes from Vetter that no read has taken yet, as they came; the
        // next read takes them all in one piece.
        std::vector<orx::buffer_t> buffered;
        // The trailer fields of the sent body's end, replayed at the end of
        // the read-back body.
        io::http::param_map_t trailers;
        // The body stream reported its end.
        bool body_ended = false;
        // Until Vetter has answered the scan, or has returned the first
        // byte after a failure, every byte handed to it is kept here too,
        // so that a Vetter that goes away takes no byte of the body along.
        bool keeping = true;
        std::vector<orx::buffer_t> kept;
        // A chunk read from the body that never reached the link.
        orx::buffer_t unsent;
    };

    // The service whose socket path PilotD gives.
    static ox::Application application() { return ox::APP_VETTER; }

    // Connects to the socket at path (blocking), starts reading and greets
    // Vetter. A path too long for a local socket throws
    // boost::system::system_error (name_too_long); a failed connect throws
    // boost::filesystem::filesystem_error "connect" with the path.
    static std::shared_ptr<vetter_connection_t> connect(inventory_t& inventory, const boost::filesystem::path& path);

    explicit vetter_connection_t(inventory_t& inventory);
    // Every live job's pending step gets EC_LINK_DISCONNECTED.
    ~vetter_connection_t() override;

    // Scans a body as a new job. The callback is called once, never inside
    // this call, with the report, the body as read back (re-encoded in
    // chunked coding) and the outcome; on failure with an empty report and,
    // still, the whole body.
    void scan(const body_t& body, bool report_component_info, const scan_callback_t& callback);
    // Streams the body to Vetter for a job, one DATA_CHUNK per body chunk
    // and at least one. The completion gets success once the last chunk is
    // in the link's output, or the first error.
    void send_data(unsigned job, const body_t& body, const completion_t& completion);
    // One read of a job's read-back bytes, for its read-back stream: the
    // handler gets bytes from Vetter, the end, or an error.
    void request_data(unsigned job, const read_handler_t& handler);
    // Ends a job: RESET unless an ALARM ended it first, then forgets it.
    void destroy_job(unsigned job);

    // The link is open and has not failed: messages can still be sent and
    // answers still come.
    bool usable() const { return is_open() && !broken_; }

    // Emitted once when the link fails; the owner drops the connection.
    boost::signals2::signal<void()> closed;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
    void on_error(const boost::system::error_code& error) override;
    std::shared_ptr<cf_ipc_link_t> shared_self() override;
    void on_output_drained() override;

private:
    using scan_response_t = std::function<void(const ox::ScanReport&, const boost::system::error_code&)>;

    struct scan_t;

    // The body is out (or failed to go out): the scan request follows.
    static void on_body_sent(const std::shared_ptr<const scan_t>& scan, const body_t& body,
                             const boost::system::error_code& error);
    // Vetter's answer, or the failure that stands for it.
    static void on_scanned(const std::shared_ptr<const scan_t>& scan, const ox::ScanReport& report,
                           const boost::system::error_code& error);

    struct job_t {
        // Completion of the parked chunk.
        completion_t send_completion;
        scan_response_t scan_callback;
        read_handler_t read_handler;
        // A chunk waiting for the output to drain.
        orx::buffer_t waiting_chunk;
        bool parked = false;
        std::shared_ptr<receive_buffer_t> buffer;
        // Set by an ALARM for the job.
        boost::system::error_code error;
        // The scan callback already got a failure with a read-back stream.
        bool handed_over = false;
    };

    unsigned next_job_number();
    void on_body_chunk(unsigned job, const body_t& body, const completion_t& completion, io::http::body_chunk_t& chunk,
                       const boost::system::error_code& error);
    void send_data_chunk(unsigned job, const orx::buffer_t& data, const completion_t& completion);
    void send_scan_request(unsigned job, bool report_component_info, const scan_response_t& completion);
    // The job's reads go on to Vetter despite an ALARM, and its end sends
    // RESET: its scan callback got a failure with a read-back stream.
    void mark_handed_over(unsigned job);
    void load_scan_options();

    // Each returns what is to be called once the message has been taken
    // in, outside the handling of protocol faults.
    std::function<void()> dispatch(vr::ServerMessage& message);
    std::function<void()> on_scan_response(vr::ServerMessage& message);
    std::function<void()> on_data_response(const vr::ServerMessage& message);
    std::function<void()> on_data_chunk(vr::ServerMessage& message);
    void on_alarm(const vr::ServerMessage& message);

    // Fails whatever the job waits for with the error. A parked chunk is
    // not sent any more: it is kept for the body handed out.
    void fail_job(job_t& job, const boost::system::error_code& error);
    // Sends a message; false when the link cannot take it.
    bool send(const vr::ClientMessage& message);
    void send_tagged(vr::ClientMessage::ClientMessageTag tag, unsigned job, const char* name);
    void post(std::function<void()> work);
    // "Vetter " and this object's address.
    std::string prefix() const;

    inventory_t& inventory_;
    boost::asio::any_io_executor executor_;
    boost::signals2::scoped_connection settings_slot_;
    std::uint32_t job_counter_ = 0;
    bool chunk_in_flight_ = false;
    std::deque<unsigned> waiting_jobs_;
    std::map<unsigned, job_t> jobs_;
    vr::ClientMessage scan_request_;
    bool broken_ = false;
};

} // namespace ic
