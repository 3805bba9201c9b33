#include "standins/squid_proxy.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "standins/child_process.hpp"
#include "standins/icap_client.hpp"

namespace standin {

namespace {

using steady_clock_t = std::chrono::steady_clock;

constexpr auto poll_interval = 20ms;
// Squid reports a port taken by someone else between our choice and its
// bind by ending; it is then tried again on another port.
constexpr int start_attempts = 3;
constexpr const char* listening_text = "Accepting HTTP Socket connections";
constexpr const char* port_taken_text = "Address already in use";

// The user Squid switches to when started as root: it refuses to run as
// root itself.
struct run_as_t {
    std::string name;
    uid_t uid;
    gid_t gid;
};

std::optional<run_as_t> run_as()
{
    if (::geteuid() != 0)
        return std::nullopt;
    for (const char* name : {"proxy", "nobody"})
        if (const passwd* entry = ::getpwnam(name))
            return run_as_t{name, entry->pw_uid, entry->pw_gid};
    throw std::runtime_error("neither the user proxy nor nobody exists for Squid to run as");
}

std::string last_lines(const std::string& text, std::size_t lines)
{
    std::size_t at = text.size();
    if (at > 0 && text[at - 1] == '\n')
        --at;
    for (std::size_t n = 0; n < lines && at > 0; ++n) {
        const std::size_t newline = text.rfind('\n', at - 1);
        at = newline == std::string::npos ? 0 : newline;
    }
    std::string tail = text.substr(at == 0 ? 0 : at + 1);
    if (!tail.empty() && tail.back() != '\n')
        tail += '\n';
    return tail;
}

int open_or_throw(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "open " + path);
    return fd;
}

} // namespace

bool squid_proxy_t::available(const std::string& binary)
{
    return ::access(binary.c_str(), X_OK) == 0;
}

squid_proxy_t::squid_proxy_t(const squid_options_t& options)
    : stop_limit_(options.stop_limit), keep_directory_(options.keep_directory)
{
    char name[] = "/tmp/traxd-squid-XXXXXX";
    if (::mkdtemp(name) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    directory_ = name;
    try {
        start(options);
    } catch (...) {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        throw;
    }
}

squid_proxy_t::~squid_proxy_t()
{
    stop();
    if (keep_directory_)
        return;
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

void squid_proxy_t::write_config(const squid_options_t& options) const
{
    const std::optional<run_as_t> user = run_as();
    const std::string& d = directory_;
    const std::string icap = "icap://127.0.0.1:" + std::to_string(options.icap_port);
    const std::string bypass = options.bypass ? " bypass=on" : " bypass=off";
    std::ostringstream conf;
    conf << "# Squid without a cache in front of orvex-traxd, written by a test.\n"
         << "http_port 127.0.0.1:" << port_ << "\n"
         << "visible_hostname traxd-test-proxy\n";
    if (user)
        conf << "cache_effective_user " << user->name << "\n";

    // Everything Squid writes stays in the directory; no helper processes.
    conf << "pid_filename " << d << "/squid.pid\n"
         << "cache_log " << d << "/cache.log\n"
         << "logformat traxd %ts.%03tu %6tr %>a %Ss/%03>Hs %<st %rm %ru %Sh/%<a %mt %master_xaction %>p "
            "%err_code/%err_detail\n"
         << "logformat traxd_icap %ts.%03tu %6icap::tr %>A %icap::to/%03icap::Hs %icap::<st %icap::rm %icap::ru "
            "%master_xaction %icap::>st %icap::<bs\n"
         << "access_log stdio:" << d << "/access.log logformat=traxd\n"
         << "icap_log stdio:" << d << "/icap.log traxd_icap\n"
         << "cache_store_log none\n"
         << "logfile_rotate 0\n"
         << "coredump_dir " << d << "\n"
         << "netdb_filename none\n"
         << "pinger_enable off\n"
         << "digest_generation off\n"
         << "shutdown_lifetime 0 seconds\n";
    if (!options.debug_options.empty())
        conf << "debug_options " << options.debug_options << "\n";

    // No cache on disk or in memory: every request reaches the origin.
    conf << "cache deny all\n"
         << "cache_mem 0 MB\n"
         << "acl loopback src 127.0.0.0/8\n"
         << "http_access allow loopback\n"
         << "http_access deny all\n";

    // Every transaction tries the service: it is never suspended after
    // failures, and a service that does not answer fails the transaction
    // before the test's client gives up.
    // Squid 5.7 takes a client for gone and drops its upload when its
    // request buffer fills while the next hop (the service, or the origin)
    // has not taken the body yet, even without any ICAP service; the buffer
    // holds the largest upload, so that what is left to see is the daemon's
    // doing.
    conf << "client_request_buffer_max_size 16 MB\n";

    conf << "icap_enable on\n"
         << "icap_persistent_connections on\n"
         << "icap_preview_enable " << (options.preview ? "on" : "off") << "\n"
         << "icap_preview_size " << options.preview_size << "\n"
         << "icap_service_failure_limit -1\n"
         << "icap_io_timeout 20 seconds\n";
    if (options.services)
        conf << *options.services << (options.services->ends_with('\n') ? "" : "\n");
    else
        conf << "icap_service traxd_reqmod reqmod_precache " << icap << "/reqmod" << bypass << "\n"
             << "icap_service traxd_respmod respmod_precache " << icap << "/respmod" << bypass << "\n"
             << "adaptation_access traxd_reqmod allow all\n"
             << "adaptation_access traxd_respmod allow all\n";
    if (!options.extra_config.empty())
        conf << options.extra_config << (options.extra_config.ends_with('\n') ? "" : "\n");

    const std::string path = d + "/squid.conf";
    std::ofstream out(path, std::ios::trunc);
    out << conf.str();
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    // Squid writes its logs after it has switched to its user.
    if (user && ::chown(d.c_str(), user->uid, user->gid) != 0)
        throw std::system_error(errno, std::generic_category(), "chown " + d);
}

void squid_proxy_t::start(const squid_options_t& options)
{
    if (!available(options.binary))
        throw std::runtime_error(options.binary + " is not there (scripts/install-deps installs Debian's squid)");
    const auto deadline = steady_clock_t::now() + options.start_limit;
    for (int attempt = 1;; ++attempt) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(directory_))
            std::filesystem::remove_all(entry.path(), ignored);
        port_ = free_port();
        status_.reset();
        write_config(options);

        spawn_request_t request;
        request.binary = options.binary;
        // Squid names its shared memory segments after its service name;
        // two at once under the default name collide, and the later one
        // ends, even after it has begun to listen. The directory's own
        // letters make the name unique.
        request.arguments = {"-N", "-n", service_name(), "-f", directory_ + "/squid.conf"};
        const int input = open_or_throw("/dev/null", O_RDONLY);
        int output = -1;
        try {
            output = open_or_throw(directory_ + "/squid.out", O_WRONLY | O_CREAT | O_TRUNC);
        } catch (...) {
            ::close(input);
            throw;
        }
        request.descriptors = {{0, input}, {1, output}, {2, output}};
        try {
            pid_ = spawn_process(request);
        } catch (...) {
            ::close(input);
            ::close(output);
            throw;
        }
        ::close(input);
        ::close(output);

        for (;;) {
            if (const auto status = reap(steady_clock_t::now())) {
                if (attempt < start_attempts && cache_log().find(port_taken_text) != std::string::npos)
                    break;
                throw std::runtime_error("Squid ended with status " + std::to_string(*status) + " while starting\n" +
                                         failure_report());
            }
            if (cache_log().find(listening_text) != std::string::npos)
                return;
            if (steady_clock_t::now() >= deadline)
                throw std::runtime_error("Squid did not listen on 127.0.0.1:" + std::to_string(port_) + " within " +
                                         std::to_string(options.start_limit.count()) + " ms\n" + failure_report());
            std::this_thread::sleep_for(poll_interval);
        }
    }
}

std::optional<int> squid_proxy_t::reap(steady_clock_t::time_point deadline)
{
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_ || (reaped < 0 && errno == ECHILD)) {
            status_ = reaped == pid_ ? decode_wait_status(status) : -1;
            return status_;
        }
        if (steady_clock_t::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(poll_interval);
    }
}

std::optional<int> squid_proxy_t::stop()
{
    if (status_ || pid_ <= 0)
        return status_;
    ::kill(pid_, SIGTERM);
    if (const auto status = reap(steady_clock_t::now() + stop_limit_))
        return status;
    ::kill(pid_, SIGKILL);
    return reap(steady_clock_t::now() + 5s);
}

std::string squid_proxy_t::service_name() const
{
    // Squid takes letters and digits only, as mkdtemp's.
    return "traxd" + directory_.substr(directory_.rfind('-') + 1);
}

std::string squid_proxy_t::read_file(const std::string& name) const
{
    std::ifstream in(directory_ + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string squid_proxy_t::config_text() const
{
    return read_file("squid.conf");
}

std::string squid_proxy_t::cache_log() const
{
    return read_file("cache.log");
}

std::string squid_proxy_t::access_log() const
{
    return read_file("access.log");
}

std::string squid_proxy_t::icap_log() const
{
    return read_file("icap.log");
}

bool squid_proxy_t::wait_for_cache_log(const std::string& text, std::chrono::milliseconds limit) const
{
    const auto deadline = steady_clock_t::now() + limit;
    for (;;) {
        if (cache_log().find(text) != std::string::npos)
            return true;
        if (steady_clock_t::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll_interval);
    }
}

std::string squid_proxy_t::read_tail(const std::string& name, std::size_t bytes) const
{
    std::ifstream in(directory_ + "/" + name, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    if (size <= 0)
        return {};
    const std::streamoff start = size > static_cast<std::streamoff>(bytes) ? size - bytes : 0;
    in.seekg(start);
    std::string tail(static_cast<std::size_t>(size - start), '\0');
    in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
    tail.resize(static_cast<std::size_t>(in.gcount()));
    return tail;
}

std::string squid_proxy_t::failure_report(std::size_t lines) const
{
    // Only the end is read: with debug options the log grows to gigabytes.
    const std::size_t tail_bytes = 64 * 1024;
    return "--- Squid's cache.log (" + directory_ + ", last " + std::to_string(lines) + " lines) ---\n" +
           last_lines(read_tail("cache.log", tail_bytes), lines) + "--- Squid's standard output and error ---\n" +
           last_lines(read_tail("squid.out", tail_bytes), lines) + "---\n";
}

} // namespace standin
