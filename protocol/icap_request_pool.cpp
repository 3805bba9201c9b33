#include "protocol/icap_request_pool.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "io/recycling_allocator.hpp"

namespace io::icap {

namespace {

struct kept_t {
    std::optional<std::string> uri; // the text the URL was parsed from
    request_t request;
};

// Set once the thread's pool is gone: queries let go of while the thread's
// other objects are destroyed after it are deleted at once.
thread_local bool pool_closed = false;

struct pool_t {
    std::vector<kept_t*> kept;

    ~pool_t()
    {
        pool_closed = true;
        for (kept_t* query : kept) {
            ASAN_UNPOISON_MEMORY_REGION(query, sizeof *query);
            delete query;
        }
    }
};

pool_t& pool()
{
    thread_local pool_t queries;
    return queries;
}

// A head block nothing else sees stays, emptied, for the next query's head.
void keep_head(orx::buffer_t& head) noexcept
{
    if (head.unique() && head.size() <= request_pool_t::max_kept_head)
        head.resize(0);
    else
        head = orx::buffer_t();
}

// The deleter of a query handed out: back to the pool, holding nothing of
// the query, or deleted when the pool is full or gone.
struct recycle_t {
    kept_t* kept;

    void operator()(request_t*) const noexcept
    {
        request_t& request = kept->request;
        if (request.fields.fields().size() > request_pool_t::max_kept_fields)
            request.fields = io::http::param_map_t();
        else
            request.fields.clear();
        request.body.reset();
        request.body_type = body_type_t::null_body;
        keep_head(request.req_head);
        keep_head(request.res_head);
        if (pool_closed) {
            delete kept;
            return;
        }
        // The room for every query that may be kept was made when the first
        // was handed out on this thread: nothing is allocated here.
        auto& queries = pool().kept;
        if (queries.size() == queries.capacity()) {
            delete kept;
            return;
        }
        queries.push_back(kept);
        ASAN_POISON_MEMORY_REGION(kept, sizeof *kept);
    }
};

} // namespace

std::shared_ptr<request_t> request_pool_t::take(const proto::request_line_t& line)
{
    auto& queries = pool().kept;
    if (queries.capacity() == 0)
        queries.reserve(max_kept);
    std::unique_ptr<kept_t> kept;
    if (queries.empty()) {
        kept = std::make_unique<kept_t>();
    } else {
        kept.reset(queries.back());
        queries.pop_back();
        ASAN_UNPOISON_MEMORY_REGION(kept.get(), sizeof *kept);
    }
    request_t& request = kept->request;
    if (kept->uri != line.uri) {
        ox::oxs::url_t url(line.uri);
        // No text stands for the URL until both are in place.
        kept->uri.reset();
        request.url = std::move(url);
        kept->uri = line.uri;
    }
    if (request.method != line.method)
        request.method = line.method;
    request.version = line.major != 0 ? version_t{line.major, line.minor} : version_t{};
    // Should making the shared pointer fail, it hands the query to its
    // deleter: the pointer alone owns it from here on.
    kept_t* const owned = kept.release();
    return std::shared_ptr<request_t>(&owned->request, recycle_t{owned}, io::recycling_allocator_t<request_t>());
}

} // namespace io::icap
