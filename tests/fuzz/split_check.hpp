#pragma once

// A push parser must report the same events however its input is cut. The
// fuzz targets run each input whole, one byte at a time and in two at a
// point chosen from the input, and stop the process when the logs differ.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

using pieces_t = std::vector<std::string_view>;

// `run` parses one cut of the input from a fresh parser and returns its log.
template <class Run>
void check_split_invariant(std::string_view input, Run run)
{
    std::string const whole = run(pieces_t{input});
    pieces_t bytes;
    for (std::size_t i = 0; i < input.size(); ++i)
        bytes.push_back(input.substr(i, 1));
    if (bytes.empty())
        bytes.push_back(input);
    std::size_t const at =
        input.empty() ? 0 : (static_cast<unsigned char>(input[0]) * 131u + input.size()) % input.size();
    pieces_t two{input.substr(0, at), input.substr(at)};
    for (const auto* cut : {&bytes, &two}) {
        std::string const log = run(*cut);
        if (log != whole) {
            std::fprintf(stderr, "events differ with %zu pieces\n--- whole\n%s\n--- cut\n%s\n", cut->size(),
                         whole.c_str(), log.c_str());
            std::abort();
        }
    }
}

// Appends body bytes to the log, merging them with the data just before so
// that the log does not depend on how the bytes were sliced.
class data_log_t {
public:
    void event(const std::string& text)
    {
        if (!in_data_.empty())
            log_ += '\n';
        log_ += text;
        log_ += '\n';
        in_data_.clear();
    }

    void data(const std::string& tag, const char* data, std::size_t size)
    {
        if (size == 0)
            return;
        if (in_data_ != tag) {
            log_ += tag + ":";
            in_data_ = tag;
        }
        log_.append(data, size);
    }

    const std::string& text() const { return log_; }

private:
    std::string log_;
    std::string in_data_;
};

} // namespace fuzz
