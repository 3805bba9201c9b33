#pragma once

// The process-wide logger: one threshold, one installed output and, until
// the first output is installed, a memory buffer of every record written.
// The daemon only learns where its log goes from its first settings, so
// everything logged before that is held and replayed at installation; if
// the process ends first, the held records go to descriptor 2.
//
// Callers test the threshold before building a text:
//
//     if (cf_log_threshold <= cf_log_notice) {
//         std::ostringstream s;
//         s << "Listening on " << address;
//         cf_log(cf_log_notice, s.str());
//     }
//
// or, equivalently, cf_log_stream(cf_log_notice, "Listening on ", address);

#include <cstddef>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <boost/thread/mutex.hpp>

// Levels are plain ints.
constexpr int cf_log_debug = 0;
constexpr int cf_log_info = 1;
constexpr int cf_log_notice = 2;
constexpr int cf_log_warning = 3;
constexpr int cf_log_error = 4;

// The lowest level that is written; 0 at start.
extern int cf_log_threshold;

// Serialises installing an output, the output callbacks and the console and
// file outputs' writes. Never held while calling an output's write.
extern boost::mutex cf_log_mutex;

using cf_log_callback_t = std::function<void(const std::string&)>;

// An output of the logger. The callbacks receive every record (and every
// raw line) after the output has written it, without a line end; they are
// never empty, an empty function standing for one that ignores its argument.
class cf_log_t {
public:
    cf_log_t(cf_log_callback_t line_callback, cf_log_callback_t raw_callback);
    virtual ~cf_log_t();

    cf_log_t(const cf_log_t&) = delete;
    cf_log_t& operator=(const cf_log_t&) = delete;

    virtual void open() = 0;
    virtual void write(int level, const std::string& text) = 0;
    virtual void write_raw(const std::string& tag, int number, const std::string& text) = 0;
    // Must not allocate: it runs when memory is exhausted.
    virtual void write_out_of_memory() = 0;

    const cf_log_callback_t& line_callback() const { return line_callback_; }
    const cf_log_callback_t& raw_callback() const { return raw_callback_; }
    void set_line_callback(cf_log_callback_t callback);
    void set_raw_callback(cf_log_callback_t callback);

private:
    cf_log_callback_t line_callback_;
    cf_log_callback_t raw_callback_;
};

// Writes one record: held while no output is installed, handed to the output
// once one is, written to descriptor 2 (when at or above the threshold) once
// the process is exiting. Does not test the threshold while holding or with
// an output installed. Never throws: lack of memory is reported through
// cf_log_out_of_memory, a failing output falls back to descriptor 2.
void cf_log(int level, const std::string& text);

// Writes one raw line identified by a tag and a number; without an output it
// becomes an Error record "tag-number: text".
void cf_log_raw(const std::string& tag, int number, const std::string& text);

// Installs an output and replays the held records that are at or above the
// threshold in force now; the others are dropped. An empty pointer keeps the
// installed output, or installs the console output when there is none.
void cf_set_log(std::shared_ptr<cf_log_t> output);

// True once an output is installed.
bool cf_has_log();

// Reports lack of memory without allocating.
void cf_log_out_of_memory();

// Writes the held records to descriptor 2 and sends every later record
// there. Registered to run at exit; calling it earlier is allowed but final.
void cf_flush_log_at_exit();

// "Debug", "Info", "Notice", "Warning", "Error", else "Unknown".
const char* cf_log_level_name(int level);
// Exact names "Debug" 0 to "Warning" 3; any other text 4.
int cf_log_level_from_name(const char* name);
// ox::LogLevel numbers 1 to 5 give 0 to 4; any other number 4.
int cf_log_level_from_proto(unsigned level);

// "Name: text"
std::string cf_format_log_line(int level, const std::string& text);
// "tag-number: text", the raw line as the console and the system log show it
std::string cf_format_tagged_text(const std::string& tag, int number, const std::string& text);
// "[tag-number] text"
std::string cf_format_raw_log_line(const std::string& tag, int number, const std::string& text);

// Writes every byte unless the descriptor fails; retries on EINTR, stops on
// any other failure or a write of 0 bytes. Failures are ignored.
void cf_write_all(int fd, const char* data, std::size_t length);
void cf_write_string(int fd, const std::string& s);
// "Error: Not enough memory" and a line end on descriptor 2; allocates nothing.
void cf_write_out_of_memory();

// Tests the threshold, then streams the parts into one record.
template <class... Parts>
void cf_log_stream(int level, const Parts&... parts)
{
    if (cf_log_threshold > level)
        return;
    std::ostringstream s;
    (s << ... << parts);
    cf_log(level, s.str());
}
