#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kiv::cloud {

/// Collects a request body as it arrives, inflating a gzip or deflate Content-Encoding on the
/// way, and gives up once the body grows past the limit, as sent or as decoded: a small
/// compressed body cannot grow in memory. Keeps only the first `keep` decoded bytes.
/// Thread: the server thread reading the request.
class BodyReader {
public:
    enum class State { reading, done, tooLarge, broken };

    /// Null for a Content-Encoding it cannot read (answered 415).
    static std::unique_ptr<BodyReader> create(std::string_view contentEncoding, std::size_t keep, std::size_t limit);
    /// A reader of a body sent as it is.
    BodyReader(std::size_t keep, std::size_t limit);
    /// Whether create() can read bodies in this Content-Encoding.
    static bool supports(std::string_view contentEncoding);
    ~BodyReader();
    BodyReader(const BodyReader&) = delete;
    BodyReader& operator=(const BodyReader&) = delete;

    /// Takes the next bytes as sent. Once too large or broken, the rest is counted, not decoded.
    State add(std::string_view bytes);
    /// The body is all in: done, or why it is refused (a compressed stream cut short is broken).
    State finish();
    /// Bytes received so far as sent, before any decoding.
    std::size_t received() const { return sent_; }
    const std::string& body() const { return body_; }

private:
    struct Inflater;
    State inflate(std::string_view bytes);
    void take(const char* data, std::size_t size);

    std::unique_ptr<Inflater> inflater_;  // null: the body is not encoded
    std::size_t keep_;
    std::size_t limit_;
    std::size_t sent_ = 0;
    std::size_t decoded_ = 0;
    std::string body_;
    State state_ = State::reading;
};

}  // namespace kiv::cloud
