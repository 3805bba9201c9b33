#include <boost/asio/post.hpp>

#include <charconv>
#include <sstream>
#include <string>
#include <vector>

#include "io/recycling_allocator.hpp"
#include "protocol/body_stream.hpp"

namespace io::http {

namespace {

// The size line of a chunk: lower-case hexadecimal size, the extension
// (line breaks made harmless), CRLF.
void append_size_line(std::string& out, std::size_t size, const std::string& extensions)
{
    char digits[2 * sizeof(std::size_t)];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, size, 16).ptr);
    if (!extensions.empty()) {
        std::ostringstream text;
        text << "; ";
        write_head_text(text, extensions);
        out += text.str();
    }
    out += "\r\n";
}

// What follows the size line of the terminating chunk: its trailers and the
// empty line.
void append_end(std::string& out, const param_map_t& trailers)
{
    if (!trailers.empty()) {
        std::ostringstream text;
        text << trailers;
        out += text.str();
    }
    out += "\r\n";
}

// One chunk in chunked coding: size, extension, data; an empty one is the
// terminating chunk with its trailers.
void append_encoded(orx::buffer_t& out, const body_chunk_t& chunk)
{
    std::string text;
    append_size_line(text, chunk.data.size(), chunk.extensions);
    if (chunk.data.empty()) {
        append_end(text, chunk.trailers);
        out.append(text);
        return;
    }
    out.append(text);
    out.append(chunk.data.data(), chunk.data.size());
    out.append("\r\n", 2);
}

// A stored body in chunked coding as pieces: the data of each chunk as it
// is, and between them the line ends and size lines, slices of one small
// block. The body ends at its first chunk without data, or after its last.
void append_pieces(io::pieces_t& pieces, const body_t& chunks)
{
    std::string framing;
    // Where the framing before each data chunk ends.
    std::vector<std::size_t> cuts;
    const body_chunk_t* end = nullptr;
    for (const body_chunk_t& chunk : chunks) {
        if (chunk.data.empty()) {
            end = &chunk;
            break;
        }
        if (!cuts.empty())
            framing += "\r\n";
        append_size_line(framing, chunk.data.size(), chunk.extensions);
        cuts.push_back(framing.size());
    }
    if (!cuts.empty())
        framing += "\r\n";
    const body_chunk_t none;
    append_size_line(framing, 0, end ? end->extensions : none.extensions);
    append_end(framing, end ? end->trailers : none.trailers);
    const orx::buffer_t block(framing);
    pieces.reserve(pieces.size() + 2 * cuts.size() + 1);
    std::size_t at = 0;
    auto chunk = chunks.begin();
    for (const std::size_t cut : cuts) {
        pieces.push_back(block.sub(at, cut - at));
        pieces.push_back(chunk->data);
        at = cut;
        ++chunk;
    }
    pieces.push_back(block.sub(at, block.size() - at));
}

// Frames each raw read as one chunk; the raw stream's end becomes the
// terminating chunk (left out without write_last_chunk).
class chunked_encoder_t : public body_stream_t, public std::enable_shared_from_this<chunked_encoder_t> {
public:
    chunked_encoder_t(io::stream_t::pointer_t stream, chunk_callback_t callback, bool write_last_chunk)
        : stream_(std::move(stream)), callback_(std::move(callback)), write_last_chunk_(write_last_chunk)
    {
    }

    boost::asio::any_io_executor get_executor() override { return stream_->get_executor(); }
    io::stream_t::pointer_t self() override { return shared_from_this(); }
    io::stream_t::pointer_t release() override { return stream_->self(); }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (done_)
            return post_end(handler, io::end_of_stream);
        stream_->async_receive(
            [self = shared_from_this(), handler](const orx::buffer_t& data, const boost::system::error_code& error) {
                self->encode(handler, data, error);
            });
    }

private:
    void encode(const chunk_handler_t& handler, const orx::buffer_t& data, const boost::system::error_code& error)
    {
        if (data.empty() && !error)
            return async_receive_chunk(handler);
        if (error && error != io::end_of_stream) {
            body_chunk_t chunk;
            return handler(chunk, error);
        }
        // Bytes that come together with the end are a chunk of their own;
        // the end follows on the next read.
        boost::system::error_code const status = data.empty() ? error : boost::system::error_code();
        body_chunk_t chunk;
        chunk.data = data;
        if (callback_)
            callback_(chunk, status);
        if (status && !write_last_chunk_) {
            done_ = true;
            body_chunk_t end;
            return handler(end, io::end_of_stream);
        }
        body_chunk_t encoded;
        append_encoded(encoded.data, chunk);
        if (chunk.data.empty())
            done_ = true;
        handler(encoded, {});
    }

    io::stream_t::pointer_t stream_;
    chunk_callback_t callback_;
    bool done_ = false;
    bool write_last_chunk_;
};

// Frames the chunks of a body stream, each with its extension, and its end
// with the end's extension and trailers.
class chunked_closure_t : public body_stream_t, public std::enable_shared_from_this<chunked_closure_t> {
public:
    explicit chunked_closure_t(pointer_t source) : source_(std::move(source)) {}

    boost::asio::any_io_executor get_executor() override { return source_->get_executor(); }
    io::stream_t::pointer_t self() override { return shared_from_this(); }
    io::stream_t::pointer_t release() override { return source_->release(); }

    void async_receive_chunk(const chunk_handler_t& handler) override
    {
        if (done_)
            return post_end(handler, io::end_of_stream);
        source_->async_receive_chunk(
            [self = shared_from_this(), handler](body_chunk_t& chunk, const boost::system::error_code& error) {
                self->encode(handler, chunk, error);
            });
    }

    bool take_stored_pieces(io::pieces_t& pieces) override
    {
        body_t chunks;
        if (done_ || !source_->take_stored_chunks(chunks))
            return false;
        append_pieces(pieces, chunks);
        done_ = true;
        return true;
    }

private:
    void encode(const chunk_handler_t& handler, body_chunk_t& chunk, const boost::system::error_code& error)
    {
        if (chunk.data.empty() && !error)
            return async_receive_chunk(handler);
        if (error && error != io::end_of_stream) {
            body_chunk_t failed;
            return handler(failed, error);
        }
        body_chunk_t encoded;
        append_encoded(encoded.data, chunk);
        if (chunk.data.empty()) {
            done_ = true;
            return handler(encoded, {});
        }
        // What has been read already goes out with this data, the end above
        // all, not a turn of the loop later: a proxy that has passed the
        // data on may hear from the next hop before the end arrives, and
        // then drops the body as unfinished.
        body_t ready;
        source_->take_ready(ready);
        for (const body_chunk_t& next : ready) {
            append_encoded(encoded.data, next);
            if (next.data.empty()) {
                done_ = true;
                break;
            }
        }
        handler(encoded, {});
    }

    pointer_t source_;
    bool done_ = false;
};

} // namespace

body_stream_t::pointer_t body_stream_t::make_chunked_encoder(const io::stream_t::pointer_t& stream,
                                                             const chunk_callback_t& callback, bool write_last_chunk)
{
    return std::make_shared<chunked_encoder_t>(stream, callback, write_last_chunk);
}

body_stream_t::pointer_t body_stream_t::make_chunked_encoding(const boost::asio::any_io_executor& executor,
                                                              const body_t& body)
{
    // Room for the data and the framing of every chunk, so that the bytes
    // are copied once.
    std::size_t size = 0;
    for (const body_chunk_t& chunk : body)
        size += chunk.data.size() + chunk.extensions.size() + 32;
    orx::buffer_t encoded(size);
    encoded.resize(0);
    // A replay ends at its first chunk without data, or after its last.
    body_chunk_t end;
    for (const body_chunk_t& chunk : body) {
        if (chunk.data.empty()) {
            end = chunk;
            break;
        }
        append_encoded(encoded, chunk);
    }
    append_encoded(encoded, end);
    const auto whole = std::allocate_shared<body_t>(io::recycling_allocator_t<body_t>());
    whole->push_back(body_chunk_t{{}, std::move(encoded), {}});
    return make(executor, whole);
}

body_stream_t::pointer_t body_stream_t::make_chunked_closure(const pointer_t& source)
{
    return std::allocate_shared<chunked_closure_t>(io::recycling_allocator_t<chunked_closure_t>(), source);
}

} // namespace io::http
