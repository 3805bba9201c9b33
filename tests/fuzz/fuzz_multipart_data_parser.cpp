// Feeds arbitrary bytes to the multipart body parser. The first byte gives
// the length of the boundary (1 to 8), the boundary follows, the rest is the
// body, which ends with the input. Besides the sanitizers it checks that the
// events do not depend on how the body is cut.

#include "protocol/parsers/multipart_data_parser.hpp"

#include "fuzz/split_check.hpp"

#include <map>

namespace {

using proto::multipart_data_parser_t;

class recorder_t : public multipart_data_parser_t::delegate_t {
public:
    fuzz::data_log_t log;

    void on_part_begin(multipart_data_parser_t& parser, bool closing) override
    {
        log.event("part " + name(&parser) + (closing ? " closing" : ""));
    }
    void on_part_field(multipart_data_parser_t& parser, const proto::field_t& field) override
    {
        log.event("field " + name(&parser) + " " + field.name + ": " + field.value);
    }
    void on_nested_multipart(multipart_data_parser_t& parser, multipart_data_parser_t* nested) override
    {
        if (nested->parent() != &parser)
            std::abort();
        log.event("nested " + name(&parser) + " " + name(nested) + " " + nested->boundary());
    }
    void on_part_data(multipart_data_parser_t& parser, int kind, const char* data, std::size_t size) override
    {
        log.data("data " + name(&parser) + " " + std::to_string(kind), data, size);
    }

private:
    // Parsers by order of appearance, the same in every run.
    std::string name(multipart_data_parser_t* parser)
    {
        const auto [it, added] = names_.emplace(parser, names_.size());
        return "m" + std::to_string(it->second);
    }

    std::map<multipart_data_parser_t*, std::size_t> names_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::size_t const length = 1 + data[0] % 8;
    if (size < 1 + length)
        return 0;
    std::string const boundary(reinterpret_cast<const char*>(data) + 1, length);
    std::string_view const body(reinterpret_cast<const char*>(data) + 1 + length, size - 1 - length);
    fuzz::check_split_invariant(body, [&](const fuzz::pieces_t& pieces) {
        recorder_t recorder;
        multipart_data_parser_t parser(boundary, &recorder);
        std::size_t taken = 0;
        try {
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                taken += parser.feed(pieces[i].data(), pieces[i].size(), i + 1 == pieces.size());
                if (parser.status() != multipart_data_parser_t::running)
                    break;
            }
            recorder.log.event("taken " + std::to_string(taken) + " status " + std::to_string(parser.status()));
        } catch (multipart_data_parser_t::error_t const& e) {
            std::string const message = e.what();
            recorder.log.event("error " + message.substr(0, message.find(": \"")));
        }
        return recorder.log.text();
    });
    return 0;
}
