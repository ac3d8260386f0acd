#pragma once
// A request as the routes see it and the answer they give, apart from the server that carries them.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::cloud {

/// Header lines in the order they were sent or are to be written, names as given.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// One request: its head, the connection's peer and, once read, its decoded body.
/// Thread: plain value.
struct HttpRequest {
    std::string method;
    std::string path;    ///< percent-decoded, without the query
    std::string target;  ///< as sent: path and query, undecoded
    HeaderList headers;
    std::string peer;  ///< numeric address of the connection's other end
    std::string body;  ///< decoded, cut to what the route asked to keep
    /// The status the server refuses the request with (body too large, unknown method, ...);
    /// 0 when it does not.
    int refusal = 0;

    /// The first line's value of a header (name in any case); empty when there is none.
    std::string header(std::string_view name) const;
    std::size_t headerCount(std::string_view name) const;
    bool hasHeader(std::string_view name) const { return headerCount(name) > 0; }
    /// Every line of a header, in order, joined with ", " as one list.
    std::string joinedHeader(std::string_view name) const;
    /// The raw text after "?" (empty when none).
    std::string_view rawQuery() const;
};

/// A body produced piece by piece while it is written, so that it need not be held whole.
/// Thread: the server thread writing the answer.
class BodySource {
public:
    enum class Step { piece, end, failed };
    virtual ~BodySource() = default;
    /// Replaces piece by the next bytes (piece), or tells the body is over (end) or cannot be
    /// finished (failed: the connection closes mid-body so the client sees it is cut).
    virtual Step next(std::string& piece) = 0;
};

/// What a route answers. Thread: plain value.
struct HttpAnswer {
    int status = 200;
    HeaderList headers;
    std::string body;
    std::shared_ptr<BodySource> stream;  ///< when set, the body comes from it instead
    bool close = false;                  ///< close the connection after this answer

    /// Sets a header, replacing any line of that name.
    void setHeader(std::string_view name, std::string value);
    void setContent(std::string content, std::string contentType);
};

/// ASCII case-insensitive equality, as header names compare.
bool sameLetters(std::string_view a, std::string_view b);

}  // namespace kiv::cloud
