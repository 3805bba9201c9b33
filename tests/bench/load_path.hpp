#pragma once

// The queries a load run sends, one kind per run, and what their answers
// must be. A proxy's everyday traffic in five shapes:
//
//   options              OPTIONS of the service; 200.
//   reqmod-204           REQMOD of a GET without a body, "Allow: 204"; 204.
//   respmod-10k-preview  RESPMOD of 10 KiB with a preview and "Allow: 204";
//                        204 after the preview, or "100 Continue", the
//                        rest, and 200 with the body as sent. The preview
//                        holds 1024 bytes or, as a proxy sends it, the
//                        fewer that the service's OPTIONS answer offers.
//   respmod-10k          RESPMOD of 10 KiB, no 204 allowed; 200 with the
//                        body as sent.
//   respmod-1m           The same with 1 MiB.
//
// Bodies travel in chunks of 16 KiB at most, as a proxy passes on what it
// reads.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct load_path_t {
    std::string name;
    // Sent as the query starts: the whole query, or its head and preview.
    std::string first;
    // Sent after "100 Continue"; empty when the query has no preview.
    std::string rest;
    // The encapsulated body an answer that carries one must carry.
    std::string body;
    // The final status that means the message passed unchanged without a
    // body (204), or with one (200).
    bool answer_204 = false;
    bool answer_200 = false;

    // Whether a final answer with this status and body is right; nothing,
    // or why not.
    std::optional<std::string> judge(unsigned status, bool has_body, bool body_matches) const;
};

// The names above.
const std::vector<std::string>& load_path_names();

// The preview size a query with a preview sends at most.
constexpr std::size_t max_preview = 1024;

// The query of that name for the service (e.g. "/respmod") of the server on
// 127.0.0.1:port, with a preview of that size where it has one; nothing
// for an unknown name.
std::optional<load_path_t> make_load_path(const std::string& name, unsigned port, const std::string& service,
                                          std::size_t preview = max_preview);

} // namespace bench
