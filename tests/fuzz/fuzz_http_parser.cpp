// Feeds arbitrary bytes to the HTTP head parser as one message ending with
// the input. Besides the sanitizers it checks that the parser never reports
// more body bytes than it took and that the events do not depend on how the
// input is cut.

#include "protocol/parsers/http_parser.hpp"

#include "fuzz/split_check.hpp"

#include <cstdlib>
#include <map>

namespace {

using proto::multipart_data_parser_t;
using proto::http::parser_t;

class recorder_t : public parser_t::delegate_t {
public:
    fuzz::data_log_t log;
    std::size_t data_bytes = 0;

    void on_request_line(parser_t&, const proto::request_line_t& line) override
    {
        log.event("request " + line.method + " " + line.uri + " " + std::to_string(line.major) + "." +
                  std::to_string(line.minor));
    }
    void on_status_line(parser_t&, const proto::status_line_t& line) override
    {
        log.event("status " + std::to_string(line.code) + " " + line.reason + " " + std::to_string(line.major) + "." +
                  std::to_string(line.minor));
    }
    void on_field(parser_t&, const proto::field_t& field) override
    {
        log.event("field " + field.name + ": " + field.value);
    }
    void on_head_end(parser_t&, std::int64_t content_length) override
    {
        log.event("head end " + std::to_string(content_length));
    }
    void on_chunk(parser_t&, std::int64_t size, const std::string& extension) override
    {
        log.event("chunk " + std::to_string(size) + ";" + extension);
    }
    void on_part_begin(parser_t&, multipart_data_parser_t* multipart, bool closing) override
    {
        log.event("part " + name(multipart) + (closing ? " closing" : ""));
    }
    void on_nested_multipart(parser_t&, multipart_data_parser_t* multipart, multipart_data_parser_t* nested) override
    {
        log.event("nested " + name(multipart) + " " + name(nested));
    }
    void on_data(parser_t&, multipart_data_parser_t* multipart, int kind, const char* data, std::size_t size) override
    {
        data_bytes += size;
        log.data("data " + name(multipart) + " " + std::to_string(kind), data, size);
    }

private:
    // Multipart parsers by order of appearance, the same in every run.
    std::string name(multipart_data_parser_t* multipart)
    {
        if (!multipart)
            return "-";
        const auto [it, added] = names_.emplace(multipart, names_.size());
        return "m" + std::to_string(it->second);
    }

    std::map<multipart_data_parser_t*, std::size_t> names_;
};

std::string run(const fuzz::pieces_t& pieces)
{
    recorder_t recorder;
    parser_t parser(&recorder);
    std::size_t offered = 0;
    std::size_t taken = 0;
    try {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            offered += pieces[i].size();
            taken += parser.feed(pieces[i].data(), pieces[i].size(), i + 1 == pieces.size());
            if (parser.status() != parser_t::running)
                break;
        }
        if (taken > offered || recorder.data_bytes > taken)
            std::abort();
        recorder.log.event("taken " + std::to_string(taken) + " status " + std::to_string(parser.status()));
    } catch (const parser_t::error_t& e) {
        std::string const message = e.what();
        recorder.log.event("error " + message.substr(0, message.find(": \"")));
    }
    return recorder.log.text();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::check_split_invariant(std::string_view(reinterpret_cast<const char*>(data), size), run);
    return 0;
}
