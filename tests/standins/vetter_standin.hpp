#pragma once

// A stand-in for Vetter, the suite's scanning service: it listens on a local
// socket and speaks Vetter's side of the client protocol (HELLO, INIT,
// DATA_CHUNK, SCAN_REQUEST, GET_DATA_REQUEST, RESET in; SCAN_RESPONSE,
// GET_DATA_RESPONSE, DATA_CHUNK, ALARM out). A scan reports a threat for
// every marker string of its table that the scanned bytes contain; the
// bytes read back are the scanned ones, or what a transform makes of them.
// It records every message it receives and can misbehave on purpose: raise
// an ALARM, answer slowly, close in the middle of a job, or break the
// protocol in one of several ways.
//
// It runs on the event loop it is given; the tests run it on the loop of
// the client under test, the program on a loop of its own. The scenario and
// the records are guarded by a mutex, so that another thread may read them.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "schemas/error.pb.h"
#include "schemas/scan_report.pb.h"
#include "schemas/vetter_client_ipc.pb.h"

namespace standin {

// A threat reported when the scanned bytes contain the marker.
struct vetter_threat_t {
    std::string marker;
    ox::VirusType type = ox::SE_KNOWN_VIRUS;
    std::string name;
};

// How the answer to a SCAN_REQUEST (or, for the read-back faults, to a
// GET_DATA_REQUEST) breaks the protocol.
enum class vetter_fault_t {
    none,
    // A frame whose body is no message.
    garbage,
    // A message whose tag Vetter's schema does not have.
    unknown_tag,
    // ADJUST_WINDOW, which the client does not take.
    adjust_window,
    // SCAN_RESPONSE without job_id, or without scan_report.
    no_job_id,
    no_scan_report,
    // ALARM without error.
    alarm_without_error,
    // Two SCAN_RESPONSEs for the job.
    second_response,
    // Read-back: GET_DATA_RESPONSE without data_size.
    no_data_size,
    // Read-back: one byte more than GET_DATA_RESPONSE announced.
    excess_data,
};

struct vetter_scenario_t {
    std::vector<vetter_threat_t> threats{};
    // Applied to a job's bytes before they are read back.
    std::function<std::string(const std::string&)> transform{};
    // Bytes per DATA_CHUNK of the read-back.
    std::size_t piece_size = 65536;
    // Waited before every SCAN_RESPONSE.
    std::chrono::milliseconds answer_delay{0};
    // ALARM for a job once it has received this many DATA_CHUNKs; 0 raises
    // it at the job's SCAN_REQUEST instead of answering.
    std::optional<std::size_t> alarm_after_chunks{};
    ox::ErrorCode alarm_code = ox::EC_UNEXPECTED_ERROR;
    // Sent as the ALARM's `what` when not empty.
    std::string alarm_text{};
    // Close the connection once a job has received this many DATA_CHUNKs;
    // 0 closes it at the job's SCAN_REQUEST instead of answering.
    std::optional<std::size_t> close_after_chunks{};
    vetter_fault_t fault = vetter_fault_t::none;
    // The component information of scans that ask for it.
    std::string se_version = "11.1.9.1";
    std::string core_engine_version = "4.2.7";
    std::uint64_t virus_records = 2718281;
    std::uint64_t base_stamp = 1700000000;
};

// One message as the stand-in received it, with the number of the
// connection it came on (from 0, in accept order).
struct vetter_received_t {
    std::size_t connection;
    vr::ClientMessage message;
};

class vetter_standin_t {
public:
    // Listens at path (an existing file there is removed first).
    vetter_standin_t(boost::asio::io_context& io, std::string path);
    ~vetter_standin_t();
    vetter_standin_t(const vetter_standin_t&) = delete;
    vetter_standin_t& operator=(const vetter_standin_t&) = delete;

    const std::string& path() const { return path_; }

    void set_scenario(const vetter_scenario_t& scenario);
    vetter_scenario_t scenario() const;

    // Everything received so far, in arrival order, while recording is on
    // (the default); a benchmark turns it off.
    std::vector<vetter_received_t> received() const;
    void set_recording(bool on);
    // The tags received so far, in order.
    std::vector<vr::ClientMessage::ClientMessageTag> tags() const;
    // Connections accepted so far.
    std::size_t connections() const;
    // Closes every connection and stops accepting; called by the
    // destructor. Must run on the stand-in's loop.
    void stop();

    // The report of scanning `data` under the scenario.
    static ox::ScanReport make_report(const vetter_scenario_t& scenario, const std::string& data,
                                      bool report_component_info);

private:
    class session_t;

    void accept();
    void record(std::size_t connection, const vr::ClientMessage& message);

    boost::asio::io_context& io_;
    std::string path_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    std::vector<std::weak_ptr<session_t>> sessions_;

    mutable std::mutex mutex_;
    vetter_scenario_t scenario_;
    std::vector<vetter_received_t> received_;
    std::size_t accepted_ = 0;
    bool recording_ = true;
};

} // namespace standin
